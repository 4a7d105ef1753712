// chronark-cli's reports on entries in memory: periods, carries, JSON.
#include "tools/chronark-cli/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "support/testfs.h"

namespace chronark::cli {
namespace {

TDateTime At(int Y, int Mo, int D, int H = 0, int Mi = 0, int S = 0, int Ms = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDateTime({Y, Mo, D, H, Mi, S, Ms}, V));
  return V;
}

TCREntry Entry(TDateTime Start, int32_t Hours, int32_t Minutes, std::string_view Remark = "") {
  TCREntry E;
  E.StartTime = Start;
  E.EndTime = Start;
  E.Hours = Hours;
  E.Minutes = Minutes;
  E.Comment.Assign(Remark);
  return E;
}

TEST(IsoWeek, YearBoundariesAndLeapWeeks) {
  struct {
    int Y, M, D, WeekYear, Week;
  } const Cases[] = {
      {2026, 12, 7, 2026, 50},  {2026, 12, 31, 2026, 53}, {2027, 1, 3, 2026, 53},
      {2027, 1, 4, 2027, 1},    {2024, 12, 30, 2025, 1},  {2021, 1, 3, 2020, 53},
      {1, 1, 1, 1, 1},          {1800, 1, 1, 1800, 1},    {1899, 12, 30, 1899, 52},
      {9999, 12, 31, 9999, 52},
  };
  for (const auto& C : Cases) {
    int WY = 0, W = 0;
    IsoWeek(C.Y, C.M, C.D, WY, W);
    EXPECT_EQ(WY * 100 + W, C.WeekYear * 100 + C.Week) << C.Y << '-' << C.M << '-' << C.D;
  }
  EXPECT_EQ(PeriodLabel(TPeriodKind::Week, PeriodKey(TPeriodKind::Week, 2027, 1, 5)), "KW 01/2027");
  EXPECT_EQ(PeriodLabel(TPeriodKind::Month, PeriodKey(TPeriodKind::Month, 2026, 3, 9)),
            "März 2026");
  EXPECT_EQ(PeriodLabel(TPeriodKind::Day, PeriodKey(TPeriodKind::Day, 812, 1, 9)), "09.01.0812");
}

TEST(DecimalHours, RoundsToHundredthsWithComma) {
  EXPECT_EQ(DecimalHours(1, 45), "1,75 h");
  EXPECT_EQ(DecimalHours(0, 0), "0,00 h");
  EXPECT_EQ(DecimalHours(0, 1), "0,02 h");    // 1,67 hundredths
  EXPECT_EQ(DecimalHours(2, 59), "2,98 h");   // 98,33
  EXPECT_EQ(DecimalHours(0, 2), "0,03 h");    // 3,33
  EXPECT_EQ(DecimalHours(0, -5), "-0,08 h");  // loaded records may hold anything
  EXPECT_EQ(DecimalHours(-2, 15), "-1,75 h");
  EXPECT_EQ(DecimalHours(-1, -30), "-1,50 h");
  EXPECT_EQ(DecimalHours(1, 130), "3,17 h");
  EXPECT_EQ(DecimalHours(4000000000000LL, 30), "4000000000000,50 h");
}

TEST(Summary, CarriesPerPeriodLikeTheWindowsTotal) {
  TCRList L;
  L.push_back(Entry(At(2026, 12, 7, 9), 1, 40));
  L.push_back(Entry(At(2026, 12, 7, 23, 59, 59, 999), 0, 20));  // 60 minutes carry
  L.push_back(Entry(At(2026, 12, 8), 0, 59));                   // 59 do not
  L.push_back(Entry(At(2026, 12, 9, 8), 0, 75));                // as loaded: carried
  L.push_back(Entry(At(2026, 12, 6, 8), 2147483647, 59));       // out of order, huge
  // Rounded to the millisecond, as the list shows it: the next day.
  L.push_back(Entry(At(2026, 12, 9, 23, 59, 59, 999) + 0.6 / 86400000, 0, 1));
  EXPECT_EQ(Summary(L, {}),
            "06.12.2026  1 Eintrag   2147483647 Std, 59 Min  2147483647,98 h\n"
            "07.12.2026  2 Einträge            2 Std, 0 Min           2,00 h\n"
            "08.12.2026  1 Eintrag            0 Std, 59 Min           0,98 h\n"
            "09.12.2026  1 Eintrag            1 Std, 15 Min           1,25 h\n"
            "10.12.2026  1 Eintrag             0 Std, 1 Min           0,02 h\n"
            "Gesamt:     6 Einträge  2147483652 Std, 14 Min  2147483652,23 h\n");
}

TEST(Summary, WindowIsInclusiveAndUnrepresentableStartsStayVisible) {
  TCRList L;
  L.push_back(Entry(At(2026, 10, 31, 23, 59, 59), 1, 0));  // before the window
  L.push_back(Entry(At(2026, 11, 1), 0, 30));
  L.push_back(Entry(std::nan(""), 3, 0));
  L.push_back(Entry(At(2026, 11, 30, 23, 59, 59), 0, 45));
  L.push_back(Entry(At(2026, 12, 1), 2, 0));  // after it
  L.push_back(Entry(1e300, 0, 5));
  TSummaryOptions O;
  O.By = TPeriodKind::Month;
  O.From = DateKey(2026, 11, 1);
  O.To = DateKey(2026, 11, 30);
  EXPECT_EQ(Summary(L, O),
            "November 2026  2 Einträge  1 Std, 15 Min  1,25 h\n"
            "(ungültig)     2 Einträge   3 Std, 5 Min  3,08 h\n"
            "Gesamt:        4 Einträge  4 Std, 20 Min  4,33 h\n");
  O.From = DateKey(2027, 1, 1);
  O.To = INT64_MAX;
  L.erase(L.begin() + 2);
  L.pop_back();
  EXPECT_EQ(Summary(L, O), "Gesamt:  0 Einträge  0 Std, 0 Min  0,00 h\n");
}

TEST(Json, FileOrderNullsAndEscapes) {
  TCRList L;
  TCREntry E = Entry(At(2026, 7, 1, 10, 0, 0, 250), 1, 2, "\x80 \"a\\b\"\t\x1b[2J\r\n\x81\x9B");
  E.EndTime = std::nan("");
  L.push_back(E);
  L.push_back(Entry(At(2026, 12, 7, 9, 15, 3), -3, 75));
  std::ostringstream Out;
  WriteJson(L, Out);
  EXPECT_EQ(
      Out.str(),
      "[\n"
      "{\"index\":1,\"start\":\"2026-07-01T10:00:00.250+02:00\",\"end\":null,\"hours\":1,"
      "\"minutes\":2,\"remark\":\"€ \\\"a\\\\b\\\"\\t\\u001b[2J\\r\\n\\u0081›\"},\n"
      "{\"index\":2,\"start\":\"2026-12-07T09:15:03+01:00\",\"end\":\"2026-12-07T09:15:03+01:00\","
      "\"hours\":-3,\"minutes\":75,\"remark\":\"\"}\n"
      "]\n");
  std::ostringstream Empty;
  WriteJson({}, Empty);
  EXPECT_EQ(Empty.str(), "[\n]\n");
}

TEST(Timewarrior, UtcWholeSecondsEarlierFirstAndSkips) {
  TCRList L;
  TCREntry Summer = Entry(At(2026, 7, 1, 10, 0, 0, 250), 0, 0, "Kunde \"A\"");
  Summer.EndTime = At(2026, 7, 1, 11, 0, 0, 1);  // widened to the next second
  TCREntry Back = Entry(At(2026, 12, 7, 10), 1, 0);
  Back.EndTime = At(2026, 12, 7, 9);
  TCREntry Twice = Entry(At(2026, 10, 25, 2, 30), 0, 0);  // the earlier reading
  TCREntry Broken = Entry(std::nan(""), 0, 0);
  TCREntry Year0 = Entry(At(1, 1, 1, 0, 30), 0, 0);  // before year 1 in UTC
  L.push_back(Summer);
  L.push_back(Broken);
  L.push_back(Back);
  L.push_back(Year0);
  L.push_back(Twice);
  std::ostringstream Out;
  EXPECT_EQ(WriteTimewarrior(L, Out), (std::vector<size_t>{2, 4}));
  EXPECT_EQ(Out.str(),
            "[\n"
            "{\"start\":\"20260701T080000Z\",\"end\":\"20260701T090001Z\","
            "\"annotation\":\"Kunde \\\"A\\\"\"},\n"
            "{\"start\":\"20261207T080000Z\",\"end\":\"20261207T090000Z\"},\n"
            "{\"start\":\"20261025T003000Z\",\"end\":\"20261025T003000Z\"}\n"
            "]\n");
}

TEST(WithoutControls, OnlyControlsBecomeQuestionMarks) {
  EXPECT_EQ(WithoutControls(std::string("a\tb\x1b[31m\r\nG\x7F\x81\x8D\x8F\x90\x9D\0z", 19)),
            "a?b?[31m??G???????z");
  EXPECT_EQ(WithoutControls("\x80\x9B\xE4 <&>"), "\x80\x9B\xE4 <&>");  // € › ä are text
}

}  // namespace
}  // namespace chronark::cli
