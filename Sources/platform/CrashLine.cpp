#include "platform/CrashLine.h"

namespace {

void putDigits(char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

void CrashLine::put(char c) {
    // One byte stays free for the newline.
    if (length + 1 < kCapacity)
        buffer[length++] = c;
}

CrashLine& CrashLine::append(const char* text) {
    if (text == nullptr)
        return *this;
    while (*text != '\0')
        put(*text++);
    return *this;
}

CrashLine& CrashLine::appendDecimal(std::uint64_t value) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        put(digits[--count]);
    return *this;
}

CrashLine& CrashLine::appendHex(std::uint64_t value, bool prefix) {
    static const char kDigits[] = "0123456789abcdef";
    if (prefix)
        append("0x");
    char digits[16];
    int count = 0;
    do {
        digits[count++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (count > 0)
        put(digits[--count]);
    return *this;
}

void CrashLine::formatTimestamp(std::int64_t unixSeconds, char* out) {
    // Days to a civil date in the proleptic Gregorian calendar (H. Hinnant's algorithm):
    // plain integer arithmetic, valid for every instant a clock can show.
    std::int64_t days = unixSeconds / 86400;
    std::int64_t secondsOfDay = unixSeconds % 86400;
    if (secondsOfDay < 0) {
        secondsOfDay += 86400;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    putDigits(out, static_cast<unsigned>(year < 0 ? 0 : year % 10000), 4);
    out[4] = '-';
    putDigits(out + 5, month, 2);
    out[7] = '-';
    putDigits(out + 8, day, 2);
    out[10] = 'T';
    putDigits(out + 11, static_cast<unsigned>(secondsOfDay / 3600), 2);
    out[13] = ':';
    putDigits(out + 14, static_cast<unsigned>(secondsOfDay / 60 % 60), 2);
    out[16] = ':';
    putDigits(out + 17, static_cast<unsigned>(secondsOfDay % 60), 2);
    out[19] = 'Z';
}

CrashLine CrashLine::begin(std::int64_t unixSeconds, const char* level, const char* domain) {
    CrashLine line;
    char stamp[kTimestampLength + 1];
    formatTimestamp(unixSeconds, stamp);
    stamp[kTimestampLength] = '\0';
    line.append(stamp).append(" [").append(level).append("]");
    if (domain != nullptr && *domain != '\0')
        line.append(" [").append(domain).append("]");
    line.append(" ");
    return line;
}

const char* CrashLine::data() {
    if (!finished) {
        buffer[length++] = '\n';
        finished = true;
    }
    return buffer;
}

std::size_t CrashLine::size() {
    data();
    return length;
}
