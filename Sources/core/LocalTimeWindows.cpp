#include "core/LocalTime.h"

bool toLocalTime(std::time_t instant, std::tm& out) {
    return localtime_s(&out, &instant) == 0;
}
