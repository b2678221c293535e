#pragma once

#include <ctime>

// Thread-safe conversion of an instant to local broken-down time (the C library's
// localtime is not re-entrant). Returns false when the instant cannot be converted.
bool toLocalTime(std::time_t instant, std::tm& out);
