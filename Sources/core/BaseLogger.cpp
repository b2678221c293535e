#include "core/BaseLogger.h"

#include "core/LocalTime.h"

#include <chrono>
#include <cstdio>

namespace {
// Fixed English names: the line and the file name must not follow the locale.
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
} // namespace

BaseLogger::~BaseLogger() = default;

void BaseLogger::TimeDescription::updateTime() {
    const auto now = std::chrono::system_clock::now();
    updateTime(std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(now)));
}

void BaseLogger::TimeDescription::updateTime(std::time_t instant) {
    std::tm tm{};
    if (!toLocalTime(instant, tm)) {
        tm = std::tm{};
        tm.tm_mday = 1;
        tm.tm_year = 70;
    }
    char buf[16];
    day = std::to_string(tm.tm_mday);
    month = kMonths[(tm.tm_mon % 12 + 12) % 12];
    year = std::to_string(tm.tm_year + 1900);
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    time = buf;
}
