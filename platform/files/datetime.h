// Date-time values: days since 30 December 1899 00:00 as a double, the
// fraction being the time of day, always local time.
#pragma once

#include <cstdint>
#include <string>

namespace chronark {

using TDateTime = double;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Now in local time, with milliseconds.
TDateTime Now();

// Broken-down parts of a value, rounded to the nearest millisecond. False for
// values no date-time text can represent: NaN, infinities, and anything
// outside 01.01.0001 00:00:00.000 to 31.12.9999 23:59:59.999.
bool DecodeDateTime(TDateTime Value, TDateTimeParts& Parts);

// False for parts out of range (month 1-12, day of that month, hour 0-23,
// minute and second 0-59, millisecond 0-999, year 1-9999).
bool TryEncodeDateTime(const TDateTimeParts& Parts, TDateTime& Value);

// The user's short date and long time formats, in strftime notation.
struct TFormatSettings {
  std::string ShortDateFormat = "%d.%m.%Y";
  std::string LongTimeFormat = "%H:%M:%S";
};

// LC_TIME's D_FMT and T_FMT (nl_langinfo); the German formats under the C,
// C.UTF-8 or POSIX locale. Read once, on first use.
TFormatSettings SystemFormatSettings();
const TFormatSettings& FormatSettings();
// Pins the formats (tests, tools); ResetFormatSettings goes back to the system's.
void SetFormatSettings(const TFormatSettings& Settings);
void ResetFormatSettings();

// Formats Parts with a strftime-style format; the result is Windows-1252.
std::string FormatDateTimeParts(const std::string& Format, const TDateTimeParts& Parts);

// Date-time text: short date, and, unless the time of day is exactly
// 00:00:00 (milliseconds do not count), a blank and the long time.
// Unrepresentable values give "(ungültig)" (Windows-1252 bytes).
std::string DateTimeToStr(TDateTime Value);
extern const char* const InvalidDateTimeText;  // "(ung\xFCltig)"

// UTC offset in seconds (local minus UTC) that the local time zone's rules
// give the local date-time Value; false when Value is unrepresentable.
// A local time that occurs twice takes the earlier (daylight-saving) reading,
// one that does not occur the offset before the change.
bool LocalUtcOffset(TDateTime Value, int64_t& OffsetSeconds);

// Real elapsed time from From to To in whole milliseconds: the difference
// of the two local date-times, rounded to milliseconds, corrected by the
// change of UTC offset between them. Where either value is unrepresentable
// no correction is made; NaN gives 0, huge differences saturate.
int64_t ElapsedMilliseconds(TDateTime From, TDateTime To);

}  // namespace chronark
