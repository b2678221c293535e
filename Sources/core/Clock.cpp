#include "core/Clock.h"

Clock::~Clock() = default;
