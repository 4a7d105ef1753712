// What chronark-cli prints about a project: totals per day, ISO week or
// month, JSON, and intervals for Timewarrior. Entries hold Windows-1252
// remarks; every text made here is UTF-8.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/crkm.h"

namespace chronark::cli {

enum class TPeriodKind { Day, Week, Month };

// A local date as the sortable number YYYYMMDD.
constexpr int64_t DateKey(int Year, int Month, int Day) {
  return int64_t(Year) * 10000 + Month * 100 + Day;
}

// ISO 8601 week of a date: weeks start on Monday, and week 1 is the one
// holding the year's first Thursday, so 1 January may still belong to the
// last week of the year before.
void IsoWeek(int Year, int Month, int Day, int& WeekYear, int& Week);

// The period a date falls into, as a number that sorts like the periods
// (YYYYMMDD, YYYYWW or YYYYMM), and its label: "07.12.2026",
// "KW 49/2026", "Dezember 2026".
int64_t PeriodKey(TPeriodKind Kind, int Year, int Month, int Day);
std::string PeriodLabel(TPeriodKind Kind, int64_t Key);

// Entries, hours and minutes of a group, summed like the window's total:
// in 64 bits, minutes above 59 carried into hours at the end.
struct TTotal {
  int64_t Count = 0;
  int64_t Hours = 0;
  int64_t Minutes = 0;
  void Add(const TCREntry& E) {
    ++Count;
    Hours += E.Hours;
    Minutes += E.Minutes;
  }
  void Carried(int64_t& H, int64_t& M) const;
};

// Hours and minutes as decimal hours with two places and a decimal comma,
// "1,75 h"; rounded to the nearest hundredth (a minute is never a half).
std::string DecimalHours(int64_t Hours, int64_t Minutes);

struct TSummaryOptions {
  TPeriodKind By = TPeriodKind::Day;
  int64_t From = 0;        // first date (DateKey) taken in
  int64_t To = INT64_MAX;  // last date taken in
};

// One aligned line per period that has entries, by period; then a line
// "(ungültig)" for entries whose start no date can represent (whatever
// the window); then "Gesamt:". An entry counts in the period of its start.
std::string Summary(const TCRList& Entries, const TSummaryOptions& Options);

// ISO 8601 local time with the UTC offset the time zone gives it,
// milliseconds only when there are some; empty when unrepresentable.
std::string IsoDateTime(TDateTime Value);

// A JSON string literal of UTF-8 text; control characters (C1 included)
// are escaped, so the result is safe on a terminal too.
std::string JsonString(std::string_view Utf8);

// The entries as a JSON array in file order: index (from 1), start, end,
// hours, minutes, remark; null for a date-time no text can represent.
void WriteJson(const TCRList& Entries, std::ostream& Out);

// The entries in the interval format of Timewarrior's export and import:
// start and end in UTC as YYYYMMDDTHHMMSSZ (the earlier one first, widened
// to whole seconds), the remark as annotation. Entries whose date-times
// cannot be given are left out; their indexes (from 1) are returned.
std::vector<size_t> WriteTimewarrior(const TCRList& Entries, std::ostream& Out);

// Windows-1252 text with its control characters shown as '?': C0, DEL and
// the bytes the code page leaves to the C1 controls. What a terminal gets
// can then neither move its cursor nor forge a line.
std::string WithoutControls(std::string_view Cp1252);

}  // namespace chronark::cli
