// LocalTime.h - local time as text, for log lines and time-stamp values.
#pragma once

#include <ctime>
#include <string>

namespace quarvex {

// Formats the time t (seconds since 1970) as local time with strftime's
// format; an empty string when the result does not fit 255 bytes or the time
// cannot be broken down.
std::string FormatLocalTime(const char* pszFormat, std::time_t t);

// The same for the current moment.
std::string FormatLocalTimeNow(const char* pszFormat);

} // namespace quarvex
