#include "tools/kzpack/time_text.h"

#include <cstdio>

#include "tools/kzpack/cli_support.h"

namespace kzpack {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int32_t ParseTimeText(const std::string& text, const std::string& what) {
  int64_t seconds = 0;
  int year, month, day, hour = 0, minute = 0, second = 0, used = 0;
  bool ok = false;
  if (!text.empty() && text.find_first_not_of("-0123456789") == std::string::npos && text.find('-', 1) == std::string::npos) {
    try {
      size_t end = 0;
      seconds = std::stoll(text, &end);
      ok = end == text.size();
    } catch (const std::exception&) {
      ok = false;
    }
  } else if (sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 && month >= 1 && month <= 12 &&
             day >= 1 && day <= 31) {
    std::string rest = text.substr(static_cast<size_t>(used));
    int more = 0;
    if (rest.empty()) {
      ok = true;
    } else if ((rest[0] == 'T' || rest[0] == ' ') &&
               sscanf(rest.c_str() + 1, "%2d:%2d:%2d%n", &hour, &minute, &second, &more) == 3) {
      rest = rest.substr(1 + static_cast<size_t>(more));
      ok = rest.empty() || rest == "Z";
    }
    seconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
              minute * 60 + second;
  }
  if (!ok) throw ToolError(what + ": \"" + text + "\" is not a date (YYYY-MM-DD[THH:MM:SS]) or a number of seconds");
  if (seconds < INT32_MIN || seconds > INT32_MAX)
    throw ToolError(what + ": \"" + text + "\" does not fit a signed 32-bit time (1901..2038)");
  return static_cast<int32_t>(seconds);
}

std::string FormatTime(int64_t t) {
  int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  const int64_t secs = t - days * 86400;
  // Civil date from days (inverse of DaysFromCivil).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  char text[64];
  snprintf(text, sizeof text, "%04lld-%02u-%02u %02d:%02d:%02d UTC", static_cast<long long>(y + (m <= 2)), m, d,
           static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return text;
}

}  // namespace kzpack
