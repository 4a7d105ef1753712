#include "tools/chronark-cli/report.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "common/cp1252.h"

namespace chronark::cli {

namespace {

const char* const MonthNames[12] = {"Januar",    "Februar", "März",     "April",
                                    "Mai",       "Juni",    "Juli",     "August",
                                    "September", "Oktober", "November", "Dezember"};

// Days since 30.12.1899 of a valid date (the integral date-time value).
int64_t DaySerial(int Year, int Month, int Day) {
  TDateTimeParts P;
  P.Year = Year;
  P.Month = Month;
  P.Day = Day;
  TDateTime V = 0;
  TryEncodeDateTime(P, V);
  return int64_t(V);
}

int64_t FloorMod(int64_t A, int64_t B) { return ((A % B) + B) % B; }

// Blanks to Width characters; the texts are UTF-8, so continuation bytes
// take no room.
size_t Chars(const std::string& S) {
  size_t N = 0;
  for (unsigned char C : S) N += (C & 0xC0) != 0x80;
  return N;
}
void PadRight(std::string& Out, const std::string& S, size_t Width) {
  Out += S;
  for (size_t I = Chars(S); I < Width; ++I) Out += ' ';
}
void PadLeft(std::string& Out, const std::string& S, size_t Width) {
  for (size_t I = Chars(S); I < Width; ++I) Out += ' ';
  Out += S;
}

struct TRow {
  std::string Label, Count, Noun, Total, Decimal;
};

TRow MakeRow(std::string Label, const TTotal& T) {
  int64_t H, M;
  T.Carried(H, M);
  return {std::move(Label), IntToStr(T.Count), T.Count == 1 ? "Eintrag" : "Einträge",
          TotalText(H, M), DecimalHours(H, M)};
}

std::string FormatRows(const std::vector<TRow>& Rows) {
  size_t W[4] = {0, 0, 0, 0};
  for (const TRow& R : Rows) {
    W[0] = std::max(W[0], Chars(R.Label));
    W[1] = std::max(W[1], Chars(R.Count));
    W[2] = std::max(W[2], Chars(R.Total));
    W[3] = std::max(W[3], Chars(R.Decimal));
  }
  std::string Out;
  Out.reserve(Rows.size() * (W[0] + W[1] + W[2] + W[3] + 20));
  for (const TRow& R : Rows) {
    PadRight(Out, R.Label, W[0]);
    Out += "  ";
    PadLeft(Out, R.Count, W[1]);
    Out += ' ';
    PadRight(Out, R.Noun, 8);
    Out += "  ";
    PadLeft(Out, R.Total, W[2]);
    Out += "  ";
    PadLeft(Out, R.Decimal, W[3]);
    Out += '\n';
  }
  return Out;
}

std::string Offset(int64_t Off) {
  const char Sign = Off < 0 ? '-' : '+';
  if (Off < 0) Off = -Off;
  char Buf[16];
  if (Off % 60)
    std::snprintf(Buf, sizeof Buf, "%c%02d:%02d:%02d", Sign, int(Off / 3600), int(Off / 60 % 60),
                  int(Off % 60));
  else
    std::snprintf(Buf, sizeof Buf, "%c%02d:%02d", Sign, int(Off / 3600), int(Off / 60 % 60));
  return Buf;
}

// The UTC moment of a local date-time as YYYYMMDDTHHMMSSZ, milliseconds
// dropped or, with Up, rounded up to the next second; empty when there
// is no such moment between the years 1 and 9999.
std::string UtcStamp(TDateTime Value, bool Up) {
  TDateTimeParts P;
  int64_t Off;
  if (!DecodeDateTime(Value, P) || !LocalUtcOffset(Value, Off)) return std::string();
  int64_t Utc = DaySerial(P.Year, P.Month, P.Day) * 86400 +
                ((int64_t(P.Hour) * 60 + P.Minute) * 60 + P.Second) - Off;
  if (Up && P.Millisecond) ++Utc;
  const int64_t Day = (Utc - FloorMod(Utc, 86400)) / 86400;
  const int64_t Secs = FloorMod(Utc, 86400);
  TDateTimeParts U;
  if (!DecodeDateTime(double(Day), U)) return std::string();
  char Buf[24];
  std::snprintf(Buf, sizeof Buf, "%04d%02d%02dT%02d%02d%02dZ", U.Year, U.Month, U.Day,
                int(Secs / 3600), int(Secs / 60 % 60), int(Secs % 60));
  return Buf;
}

// Output is gathered and handed on in pieces of about this size.
constexpr size_t FlushSize = 1 << 20;

void FlushIfFull(std::string& Buf, std::ostream& Out) {
  if (Buf.size() < FlushSize) return;
  Out.write(Buf.data(), std::streamsize(Buf.size()));
  Buf.clear();
}

}  // namespace

void IsoWeek(int Year, int Month, int Day, int& WeekYear, int& Week) {
  const int64_t S = DaySerial(Year, Month, Day);
  const int64_t WeekDay = FloorMod(S + 5, 7) + 1;  // 30.12.1899 was a Saturday (6)
  // The week belongs to the year its Thursday lies in.
  const int64_t Thursday = S - WeekDay + 4;
  TDateTimeParts T;
  DecodeDateTime(double(Thursday), T);
  WeekYear = T.Year;
  Week = int((Thursday - DaySerial(T.Year, 1, 1)) / 7 + 1);
}

int64_t PeriodKey(TPeriodKind Kind, int Year, int Month, int Day) {
  switch (Kind) {
    case TPeriodKind::Week: {
      int WeekYear, Week;
      IsoWeek(Year, Month, Day, WeekYear, Week);
      return int64_t(WeekYear) * 100 + Week;
    }
    case TPeriodKind::Month: return int64_t(Year) * 100 + Month;
    case TPeriodKind::Day: break;
  }
  return DateKey(Year, Month, Day);
}

std::string PeriodLabel(TPeriodKind Kind, int64_t Key) {
  char Buf[32];
  switch (Kind) {
    case TPeriodKind::Week:
      std::snprintf(Buf, sizeof Buf, "KW %02d/%04d", int(Key % 100), int(Key / 100));
      break;
    case TPeriodKind::Month:
      std::snprintf(Buf, sizeof Buf, "%s %04d", MonthNames[(Key % 100) - 1], int(Key / 100));
      break;
    case TPeriodKind::Day:
      std::snprintf(Buf, sizeof Buf, "%02d.%02d.%04d", int(Key % 100), int(Key / 100 % 100),
                    int(Key / 10000));
      break;
  }
  return Buf;
}

void TTotal::Carried(int64_t& H, int64_t& M) const {
  H = Hours;
  M = Minutes;
  if (M > 59) {
    H += M / 60;
    M %= 60;
  }
}

std::string DecimalHours(int64_t Hours, int64_t Minutes) {
  // Minutes brought into 0 to 59 first (damaged records may hold any).
  int64_t H = Hours + (Minutes - FloorMod(Minutes, 60)) / 60;
  int64_t M = FloorMod(Minutes, 60);
  const bool Negative = H < 0;
  uint64_t Whole = Negative ? uint64_t(0) - uint64_t(H) : uint64_t(H);
  if (Negative && M) {  // -2 h + 15 min is -1,75 h
    --Whole;
    M = 60 - M;
  }
  // A minute is 1,666... hundredths, so the rounding never meets a half,
  // and 59 minutes give 98: the whole hours never change.
  char Buf[48];
  std::snprintf(Buf, sizeof Buf, "%s%llu,%02d h", Negative ? "-" : "",
                static_cast<unsigned long long>(Whole), int((M * 100 + 30) / 60));
  return Buf;
}

std::string Summary(const TCRList& Entries, const TSummaryOptions& Options) {
  std::unordered_map<int64_t, TTotal> Periods;
  TTotal Invalid, All;
  // Entries mostly come in order, many on one day: the day last seen and
  // its period's total are kept at hand.
  int64_t LastDate = -1;
  TTotal* Last = nullptr;
  for (const TCREntry& E : Entries) {
    TDateTimeParts P;
    if (!DecodeDateTime(E.StartTime, P)) {
      Invalid.Add(E);
      All.Add(E);
      continue;
    }
    const int64_t Date = DateKey(P.Year, P.Month, P.Day);
    if (Date < Options.From || Date > Options.To) continue;
    if (Date != LastDate) {
      LastDate = Date;
      Last = &Periods[PeriodKey(Options.By, P.Year, P.Month, P.Day)];
    }
    Last->Add(E);
    All.Add(E);
  }

  std::vector<int64_t> Keys;
  Keys.reserve(Periods.size());
  for (const auto& KV : Periods) Keys.push_back(KV.first);
  std::sort(Keys.begin(), Keys.end());
  std::vector<TRow> Rows;
  Rows.reserve(Keys.size() + 2);
  for (int64_t K : Keys) Rows.push_back(MakeRow(PeriodLabel(Options.By, K), Periods[K]));
  if (Invalid.Count) Rows.push_back(MakeRow(Cp1252ToUtf8(InvalidDateTimeText), Invalid));
  Rows.push_back(MakeRow("Gesamt:", All));
  return FormatRows(Rows);
}

std::string IsoDateTime(TDateTime V) {
  TDateTimeParts P;
  int64_t Off;
  if (!DecodeDateTime(V, P) || !LocalUtcOffset(V, Off)) return std::string();
  std::string S = FormatDateTimeParts("%Y-%m-%dT%H:%M:%S", P);
  if (P.Millisecond) {
    char Ms[8];
    std::snprintf(Ms, sizeof Ms, ".%03d", P.Millisecond);
    S += Ms;
  }
  return S + Offset(Off);
}

std::string JsonString(std::string_view Utf8) {
  std::string Out = "\"";
  for (size_t I = 0; I < Utf8.size(); ++I) {
    const unsigned char C = Utf8[I];
    unsigned Control = 0x100;  // none
    if (C < 0x20 || C == 0x7F)
      Control = C;
    else if (C == 0xC2 && I + 1 < Utf8.size() && (unsigned char)Utf8[I + 1] < 0xA0)
      Control = (unsigned char)Utf8[++I];  // U+0080 to U+009F
    if (Control == 0x100) {
      if (C == '"' || C == '\\') Out += '\\';
      Out += char(C);
      continue;
    }
    switch (Control) {
      case '\n': Out += "\\n"; break;
      case '\r': Out += "\\r"; break;
      case '\t': Out += "\\t"; break;
      default: {
        char Buf[8];
        std::snprintf(Buf, sizeof Buf, "\\u%04x", Control);
        Out += Buf;
      }
    }
  }
  return Out + '"';
}

void WriteJson(const TCRList& Entries, std::ostream& Out) {
  std::string Buf = "[";
  for (size_t I = 0; I < Entries.size(); ++I) {
    const TCREntry& E = Entries[I];
    const std::string Start = IsoDateTime(E.StartTime), End = IsoDateTime(E.EndTime);
    Buf += I ? ",\n{\"index\":" : "\n{\"index\":";
    Buf += IntToStr(int64_t(I) + 1);
    Buf += ",\"start\":";
    Buf += Start.empty() ? "null" : '"' + Start + '"';
    Buf += ",\"end\":";
    Buf += End.empty() ? "null" : '"' + End + '"';
    Buf += ",\"hours\":";
    Buf += IntToStr(E.Hours);
    Buf += ",\"minutes\":";
    Buf += IntToStr(E.Minutes);
    Buf += ",\"remark\":";
    Buf += JsonString(Cp1252ToUtf8(E.Comment.View()));
    Buf += '}';
    FlushIfFull(Buf, Out);
  }
  Buf += "\n]\n";
  Out.write(Buf.data(), std::streamsize(Buf.size()));
}

std::vector<size_t> WriteTimewarrior(const TCRList& Entries, std::ostream& Out) {
  std::vector<size_t> Skipped;
  std::string Buf = "[";
  bool First = true;
  for (size_t I = 0; I < Entries.size(); ++I) {
    const TCREntry& E = Entries[I];
    // Chronark counts an interval whose end precedes its start as the span
    // between them; Timewarrior wants the earlier moment first.
    const bool Swap = E.EndTime < E.StartTime;
    const std::string Start = UtcStamp(Swap ? E.EndTime : E.StartTime, false);
    const std::string End = UtcStamp(Swap ? E.StartTime : E.EndTime, true);
    if (Start.empty() || End.empty()) {
      Skipped.push_back(I + 1);
      continue;
    }
    Buf += First ? "\n{\"start\":\"" : ",\n{\"start\":\"";
    First = false;
    Buf += Start;
    Buf += "\",\"end\":\"";
    Buf += End;
    Buf += '"';
    if (E.Comment.Length) {
      Buf += ",\"annotation\":";
      Buf += JsonString(Cp1252ToUtf8(E.Comment.View()));
    }
    Buf += '}';
    FlushIfFull(Buf, Out);
  }
  Buf += "\n]\n";
  Out.write(Buf.data(), std::streamsize(Buf.size()));
  return Skipped;
}

std::string WithoutControls(std::string_view Cp1252) {
  std::string Out(Cp1252);
  for (char& Ch : Out) {
    const unsigned char C = Ch;
    if (C < 0x20 || C == 0x7F || C == 0x81 || C == 0x8D || C == 0x8F || C == 0x90 || C == 0x9D)
      Ch = '?';
  }
  return Out;
}

}  // namespace chronark::cli
