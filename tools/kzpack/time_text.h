// Times as people write them: YYYY-MM-DD, YYYY-MM-DDTHH:MM:SS[Z], or seconds.
#pragma once

#include <cstdint>
#include <string>

namespace kzpack {

// Seconds since 1970 (UTC); ToolError naming `what` when the text is not a
// time or does not fit 32 bits.
int32_t ParseTimeText(const std::string& text, const std::string& what);
// "YYYY-MM-DD HH:MM:SS UTC".
std::string FormatTime(int64_t seconds);
// Days since 1970-01-01 of a civil date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);

}  // namespace kzpack
