#include "platform/files/datetime.h"

#include "common/civildate.h"
#include "common/cstring.h"

#include <langinfo.h>
#include <clocale>
#include <ctime>

#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>

namespace chronark {

const char* const InvalidDateTimeText =
    "(ung\xFC"
    "ltig)";

namespace {

constexpr int64_t MsPerDay = 86400000;
constexpr int64_t DaysTo1970 = 25569;  // 30.12.1899 -> 01.01.1970
constexpr int64_t MinDay = -693593;    // 01.01.0001
constexpr int64_t MaxDay = 2958465;    // 31.12.9999

bool IsLeap(int Y) { return (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0; }
int DaysInMonth(int Y, int M) {
  static const int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return M == 2 && IsLeap(Y) ? 29 : Days[M - 1];
}

// The moment of a value as whole milliseconds since 30.12.1899 00:00 on the
// local clock. Negative values count their fraction as a positive time of
// day (-1.25 is 29.12.1899 06:00).
bool ToLocalMs(TDateTime Value, int64_t& Ms) {
  if (!std::isfinite(Value) || Value <= double(MinDay - 1) || Value >= double(MaxDay + 1))
    return false;
  const double Day = std::trunc(Value);
  const int64_t TimeMs = std::llround(std::fabs(Value - Day) * double(MsPerDay));
  Ms = int64_t(Day) * MsPerDay + TimeMs;
  return Ms >= MinDay * MsPerDay && Ms < (MaxDay + 1) * MsPerDay;
}

int64_t FloorDiv(int64_t A, int64_t B) { return A / B - ((A % B != 0) && ((A < 0) != (B < 0))); }

std::mutex SettingsLock;
std::optional<TFormatSettings> Pinned, System;

// Locale texts (month and day names, AM/PM) are in the locale's character
// set; Windows-1252 shares Latin-1's letters, which covers those names.
std::string LocaleText(nl_item Item) {
  const char* S = nl_langinfo(Item);
  std::string In = S ? S : "";
  const char* Codeset = nl_langinfo(CODESET);
  if (!Codeset || std::strcmp(Codeset, "UTF-8") != 0) return In;
  std::string Out;
  for (size_t I = 0; I < In.size(); ++I) {
    const unsigned char B = In[I];
    if (B < 0x80) {
      Out.push_back(char(B));
    } else if ((B == 0xC2 || B == 0xC3) && I + 1 < In.size()) {
      Out.push_back(char(((B & 0x03) << 6) | (In[++I] & 0x3F)));
    } else {
      Out.push_back('?');
      while (I + 1 < In.size() && (In[I + 1] & 0xC0) == 0x80) ++I;
    }
  }
  return Out;
}

void Pad(std::string& Out, int64_t V, int Width, char Fill = '0') {
  char Buf[24];
  int N = 0;
  const bool Neg = V < 0;
  uint64_t U = Neg ? uint64_t(0) - uint64_t(V) : uint64_t(V);
  do {
    Buf[N++] = char('0' + U % 10);
    U /= 10;
  } while (U);
  if (Neg) Out.push_back('-');
  for (int I = N; I < Width; ++I) Out.push_back(Fill);
  while (N) Out.push_back(Buf[--N]);
}

void Format(std::string& Out, const char* F, const TDateTimeParts& P, int Depth) {
  for (; *F; ++F) {
    if (*F != '%' || !F[1]) {
      Out.push_back(*F);
      continue;
    }
    ++F;
    if ((*F == 'E' || *F == 'O') && F[1]) ++F;  // alternative digits/eras: plain ones
    const int Hour12 = P.Hour % 12 == 0 ? 12 : P.Hour % 12;
    const int64_t Days = DaysFromCivil(P.Year, unsigned(P.Month), unsigned(P.Day));
    const int WDay = int(((Days % 7) + 11) % 7);  // 01.01.1970 was a Thursday (4)
    switch (*F) {
      case 'd': Pad(Out, P.Day, 2); break;
      case 'e': Pad(Out, P.Day, 2, ' '); break;
      case 'm': Pad(Out, P.Month, 2); break;
      case 'Y': Pad(Out, P.Year, 4); break;
      case 'y': Pad(Out, P.Year % 100, 2); break;
      case 'C': Pad(Out, P.Year / 100, 2); break;
      case 'H': Pad(Out, P.Hour, 2); break;
      case 'k': Pad(Out, P.Hour, 2, ' '); break;
      case 'I': Pad(Out, Hour12, 2); break;
      case 'l': Pad(Out, Hour12, 2, ' '); break;
      case 'M': Pad(Out, P.Minute, 2); break;
      case 'S': Pad(Out, P.Second, 2); break;
      case 'j': Pad(Out, Days - DaysFromCivil(P.Year, 1, 1) + 1, 3); break;
      case 'u': Pad(Out, WDay == 0 ? 7 : WDay, 1); break;
      case 'w': Pad(Out, WDay, 1); break;
      case 'p': Out += LocaleText(P.Hour < 12 ? AM_STR : PM_STR); break;
      case 'P': {
        Out += AsciiLowerCase(LocaleText(P.Hour < 12 ? AM_STR : PM_STR));
        break;
      }
      case 'a': Out += LocaleText(nl_item(ABDAY_1 + WDay)); break;
      case 'A': Out += LocaleText(nl_item(DAY_1 + WDay)); break;
      case 'b':
      case 'h': Out += LocaleText(nl_item(ABMON_1 + P.Month - 1)); break;
      case 'B': Out += LocaleText(nl_item(MON_1 + P.Month - 1)); break;
      case 'T': Format(Out, "%H:%M:%S", P, Depth); break;
      case 'R': Format(Out, "%H:%M", P, Depth); break;
      case 'D': Format(Out, "%m/%d/%y", P, Depth); break;
      case 'F': Format(Out, "%Y-%m-%d", P, Depth); break;
      case 'r':
        if (Depth < 2) Format(Out, LocaleText(T_FMT_AMPM).c_str(), P, Depth + 1);
        break;
      case 'x':
        if (Depth < 2) Format(Out, FormatSettings().ShortDateFormat.c_str(), P, Depth + 1);
        break;
      case 'X':
        if (Depth < 2) Format(Out, FormatSettings().LongTimeFormat.c_str(), P, Depth + 1);
        break;
      case 'n': Out.push_back('\n'); break;
      case 't': Out.push_back('\t'); break;
      case '%': Out.push_back('%'); break;
      default:  // not a date or time part: kept as written
        Out.push_back('%');
        Out.push_back(*F);
    }
  }
}

int64_t OffsetAt(int64_t UnixSeconds) {
  const time_t T = time_t(UnixSeconds);
  struct tm Tm;
  if (!localtime_r(&T, &Tm)) return 0;
  return Tm.tm_gmtoff;
}

}  // namespace

TDateTime Now() {
  struct timespec Ts;
  clock_gettime(CLOCK_REALTIME, &Ts);
  struct tm Tm;
  localtime_r(&Ts.tv_sec, &Tm);
  TDateTimeParts P;
  P.Year = Tm.tm_year + 1900;
  P.Month = Tm.tm_mon + 1;
  P.Day = Tm.tm_mday;
  P.Hour = Tm.tm_hour;
  P.Minute = Tm.tm_min;
  P.Second = Tm.tm_sec > 59 ? 59 : Tm.tm_sec;  // a leap second stays in its minute
  P.Millisecond = int(Ts.tv_nsec / 1000000);
  TDateTime V = 0;
  TryEncodeDateTime(P, V);
  return V;
}

bool DecodeDateTime(TDateTime Value, TDateTimeParts& Parts) {
  int64_t Ms;
  if (!ToLocalMs(Value, Ms)) return false;
  const int64_t Day = FloorDiv(Ms, MsPerDay);
  int64_t Time = Ms - Day * MsPerDay;
  CivilFromDays(Day - DaysTo1970, Parts.Year, Parts.Month, Parts.Day);
  Parts.Millisecond = int(Time % 1000);
  Time /= 1000;
  Parts.Second = int(Time % 60);
  Time /= 60;
  Parts.Minute = int(Time % 60);
  Parts.Hour = int(Time / 60);
  return true;
}

bool TryEncodeDateTime(const TDateTimeParts& P, TDateTime& Value) {
  if (P.Year < 1 || P.Year > 9999 || P.Month < 1 || P.Month > 12 || P.Day < 1 ||
      P.Day > DaysInMonth(P.Year, P.Month) || P.Hour < 0 || P.Hour > 23 || P.Minute < 0 ||
      P.Minute > 59 || P.Second < 0 || P.Second > 59 || P.Millisecond < 0 || P.Millisecond > 999)
    return false;
  const int64_t Day = DaysFromCivil(P.Year, unsigned(P.Month), unsigned(P.Day)) + DaysTo1970;
  const double Time =
      double(((int64_t(P.Hour) * 60 + P.Minute) * 60 + P.Second) * 1000 + P.Millisecond) /
      double(MsPerDay);
  Value = Day >= 0 ? double(Day) + Time : double(Day) - Time;
  return true;
}

TFormatSettings SystemFormatSettings() {
  TFormatSettings S;
  const char* Name = std::setlocale(LC_TIME, nullptr);
  const std::string N = Name ? Name : "C";
  if (N == "C" || N == "POSIX" || N.rfind("C.", 0) == 0) return S;  // German
  const char* D = nl_langinfo(D_FMT);
  const char* T = nl_langinfo(T_FMT);
  if (D && *D) S.ShortDateFormat = D;
  if (T && *T) S.LongTimeFormat = T;
  return S;
}

const TFormatSettings& FormatSettings() {
  std::lock_guard<std::mutex> G(SettingsLock);
  if (Pinned) return *Pinned;
  if (!System) System = SystemFormatSettings();
  return *System;
}

void SetFormatSettings(const TFormatSettings& Settings) {
  std::lock_guard<std::mutex> G(SettingsLock);
  Pinned = Settings;
}

void ResetFormatSettings() {
  std::lock_guard<std::mutex> G(SettingsLock);
  Pinned.reset();
  System.reset();
}

std::string FormatDateTimeParts(const std::string& Fmt, const TDateTimeParts& Parts) {
  std::string Out;
  Format(Out, Fmt.c_str(), Parts, 0);
  return Out;
}

std::string DateTimeToStr(TDateTime Value) {
  TDateTimeParts P;
  if (!DecodeDateTime(Value, P)) return InvalidDateTimeText;
  const TFormatSettings& S = FormatSettings();
  std::string Out;
  Out.reserve(20);
  Format(Out, S.ShortDateFormat.c_str(), P, 0);
  if (P.Hour != 0 || P.Minute != 0 || P.Second != 0) {
    Out.push_back(' ');
    Format(Out, S.LongTimeFormat.c_str(), P, 0);
  }
  return Out;
}

bool LocalUtcOffset(TDateTime Value, int64_t& OffsetSeconds) {
  int64_t Ms;
  if (!ToLocalMs(Value, Ms)) return false;
  // The wall clock read as if it were UTC; the real instant is Wall - offset.
  const int64_t Wall = FloorDiv(Ms, 1000) - DaysTo1970 * 86400;
  const int64_t Before = OffsetAt(Wall - 86400), After = OffsetAt(Wall + 86400);
  const bool BeforeFits = OffsetAt(Wall - Before) == Before;
  const bool AfterFits = OffsetAt(Wall - After) == After;
  if (BeforeFits && AfterFits)
    OffsetSeconds = Before > After ? Before : After;  // twice: the earlier instant
  else if (AfterFits)
    OffsetSeconds = After;
  else
    OffsetSeconds = Before;  // in the gap of a change, or the same offset throughout
  return true;
}

int64_t ElapsedMilliseconds(TDateTime From, TDateTime To) {
  constexpr double Limit = 4.0e18;  // saturate far from int64's end
  const double D = To - From;
  if (std::isnan(D)) return 0;
  const double Abs = std::fabs(D) * double(MsPerDay);
  int64_t Ms = Abs >= Limit ? int64_t(Limit) : std::llround(Abs);
  if (D < 0) Ms = -Ms;
  int64_t OffFrom, OffTo;
  if (LocalUtcOffset(From, OffFrom) && LocalUtcOffset(To, OffTo)) Ms -= (OffTo - OffFrom) * 1000;
  return Ms;
}

}  // namespace chronark
