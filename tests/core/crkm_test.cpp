#include "core/crkm.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include "support/testfs.h"
#include "support/testdatetime.h"

namespace chronark {
namespace {

using test::DT;

class CoreTest : public test::TGermanFormats {};

struct TDurationCase {
  const char* Name;
  TDateTime Start, End;
  int32_t Hours, Minutes;
};
void PrintTo(const TDurationCase& C, std::ostream* Os) { *Os << C.Name; }

class Duration : public CoreTest, public testing::WithParamInterface<TDurationCase> {};

TEST_P(Duration, RoundsEveryBegunMinuteUp) {
  const TDurationCase& C = GetParam();
  TChronarkMan M;
  M.AddEntry(C.Start, C.End, "");
  ASSERT_EQ(M.Entries().size(), 1u);
  EXPECT_EQ(M.Entries()[0].Hours, C.Hours);
  EXPECT_EQ(M.Entries()[0].Minutes, C.Minutes);
  // Swapped, the duration is the same.
  int32_t H, Mi;
  ComputeDuration(C.End, C.Start, H, Mi);
  EXPECT_EQ(H, C.Hours);
  EXPECT_EQ(Mi, C.Minutes);
}

const TDateTime Base = 46363.0 + (9 * 3600 + 15 * 60 + 3) / 86400.0;  // 07.12.2026 09:15:03

INSTANTIATE_TEST_SUITE_P(
    Intervals, Duration,
    testing::Values(
        TDurationCase{"Zero", Base, Base, 0, 0},
        TDurationCase{"OneSecond", DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 9, 15, 4), 0, 1},
        TDurationCase{"HalfSecond", DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 9, 15, 3, 500), 0,
                      1},
        TDurationCase{"OneMillisecond", DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 9, 15, 3, 1), 0,
                      1},
        TDurationCase{"FiftyNineFiftyNine", DT(2026, 12, 7, 9), DT(2026, 12, 7, 9, 59, 59), 1, 0},
        TDurationCase{"SixtyOneOhOne", DT(2026, 12, 7, 9), DT(2026, 12, 7, 10, 1, 1), 1, 2},
        TDurationCase{"ExactlyOneHour", DT(2026, 12, 7, 9, 15, 3, 123),
                      DT(2026, 12, 7, 10, 15, 3, 123), 1, 0},
        TDurationCase{"Example", DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 10, 20, 41), 1, 6},
        TDurationCase{"OverMidnight", DT(2026, 12, 7, 23, 50), DT(2026, 12, 8, 0, 10), 0, 20},
        TDurationCase{"Days", DT(2026, 12, 1), DT(2026, 12, 3, 1, 0, 0, 1), 49, 1},
        // Real elapsed time across the changes of the UTC offset (TZ=Europe/Berlin).
        TDurationCase{"SpringForward", DT(2020, 3, 29, 1, 49), DT(2020, 3, 29, 3, 15), 0, 26},
        TDurationCase{"FallBack", DT(2020, 10, 25, 1, 30), DT(2020, 10, 25, 3, 30), 3, 0},
        TDurationCase{"WholeSummer", DT(2020, 3, 1), DT(2020, 11, 1), 5880, 0},
        TDurationCase{"IntoSummer", DT(2020, 3, 1), DT(2020, 6, 1), 2207, 0},
        TDurationCase{"NaN", std::nan(""), Base, 0, 0},
        TDurationCase{"Infinite", 0, std::numeric_limits<double>::infinity(), INT32_MAX, 59}),
    [](const testing::TestParamInfo<TDurationCase>& I) { return I.param.Name; });

// Day counts in doubles put most intervals of exactly N minutes a hair above
// or below N minutes; each must still give N.
TEST_F(CoreTest, ExactMinutesAreNeverRoundedUpByTheDoubleError) {
  int Checked = 0;
  for (int Ms : {0, 1, 123, 500, 999}) {
    for (int Minute = 0; Minute < 60; Minute += 7) {
      const TDateTime Start = DT(2026, 12, 7, 9, Minute, 3, Ms);
      for (int N = 1; N <= 24 * 60; N += 1) {
        int32_t H, M;
        TDateTime End;
        TDateTimeParts P;
        ASSERT_TRUE(DecodeDateTime(Start + N / 1440.0, P));
        ASSERT_TRUE(TryEncodeDateTime(P, End));
        ComputeDuration(Start, End, H, M);
        ASSERT_EQ(H * 60 + M, N) << "start minute " << Minute << " ms " << Ms;
        ++Checked;
      }
    }
  }
  EXPECT_GT(Checked, 10000);
}

TEST_F(CoreTest, EntryKeepsTheTimesAsPassed) {
  TChronarkMan M;
  const TDateTime A = DT(2020, 3, 29, 3, 15), B = DT(2020, 3, 29, 1, 49);
  M.AddEntry(A, B, "x");
  EXPECT_EQ(M.Entries()[0].StartTime, A);
  EXPECT_EQ(M.Entries()[0].EndTime, B);
  EXPECT_EQ(M.GetComment(0), "x");
}

TEST_F(CoreTest, RemarkIsCutTo255Characters) {
  TChronarkMan M;
  M.AddEntry(Base, Base, std::string(300, 'r'));
  EXPECT_EQ(M.GetComment(0), std::string(255, 'r'));
  M.SetComment(0, std::string(256, 's'));
  EXPECT_EQ(M.GetComment(0), std::string(255, 's'));
}

TCREntry Record(int32_t Hours, int32_t Minutes, std::string_view Comment = "") {
  TCREntry E;
  E.StartTime = Base;
  E.EndTime = Base;
  E.Hours = Hours;
  E.Minutes = Minutes;
  E.Comment.Assign(Comment);
  return E;
}

struct TTotalCase {
  const char* Name;
  std::vector<std::pair<int32_t, int32_t>> Entries;
  int64_t Hours, Minutes;
  const char* Text;
};
void PrintTo(const TTotalCase& C, std::ostream* Os) { *Os << C.Name; }

class Total : public testing::TestWithParam<TTotalCase> {};

TEST_P(Total, SumsAndCarries) {
  TChronarkMan M;
  for (auto [H, Mi] : GetParam().Entries) M.AddRecord(Record(H, Mi));
  int64_t H, Mi;
  M.GetTotal(H, Mi);
  EXPECT_EQ(H, GetParam().Hours);
  EXPECT_EQ(Mi, GetParam().Minutes);
  EXPECT_EQ(M.GetTotalText(), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(
    Sums, Total,
    testing::Values(TTotalCase{"Empty", {}, 0, 0, "0 Std, 0 Min"},
                    TTotalCase{"FortyAndForty", {{0, 40}, {0, 40}}, 1, 20, "1 Std, 20 Min"},
                    TTotalCase{"FiftyNineDoesNotCarry", {{1, 30}, {2, 29}}, 3, 59, "3 Std, 59 Min"},
                    TTotalCase{"SixtyCarries", {{0, 30}, {0, 30}}, 1, 0, "1 Std, 0 Min"},
                    TTotalCase{"LoadedSeventyFive", {{0, 75}}, 1, 15, "1 Std, 15 Min"},
                    TTotalCase{"Negative", {{-2, -5}, {1, 0}}, -1, -5, "-1 Std, -5 Min"},
                    // Loaded records may hold anything; 32-bit sums would overflow.
                    TTotalCase{"HoursBeyond32Bit",
                               {{INT32_MAX, 0}, {INT32_MAX, 0}},
                               4294967294LL,
                               0,
                               "4294967294 Std, 0 Min"},
                    TTotalCase{"MinutesBeyond32Bit",
                               {{0, INT32_MAX}, {0, INT32_MAX}},
                               71582788,
                               14,
                               "71582788 Std, 14 Min"},
                    TTotalCase{"Lowest",
                               {{INT32_MIN, INT32_MIN}, {INT32_MIN, 0}},
                               -4294967296LL,
                               INT32_MIN,
                               "-4294967296 Std, -2147483648 Min"}),
    [](const testing::TestParamInfo<TTotalCase>& I) { return I.param.Name; });

TEST_F(CoreTest, DisplayLine) {
  TChronarkMan M;
  M.AddEntry(DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 10, 20, 41), "");
  M.AddEntry(DT(2026, 12, 7), DT(2026, 12, 7, 0, 30),
             "Gr\xFC\xDF"
             "e & <Kunde>");
  TStrings Lines = {"old line"};
  M.FillStrings(Lines);
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_EQ(Lines[0],
            "07.12.2026 09:15:03 - 07.12.2026 10:20:41 = 1 Std, 6 Min -- Bemerkung: (Keine)");
  EXPECT_EQ(Lines[1],
            "07.12.2026 - 07.12.2026 00:30:00 = 0 Std, 30 Min -- Bemerkung: Gr\xFC\xDF"
            "e & <Kunde>");
  EXPECT_EQ(M.GetComment(0), "");
}

TEST_F(CoreTest, DisplayLineOfUnrepresentableTimes) {
  TCREntry E = Record(-3, 75, "x");
  E.StartTime = std::nan("");
  E.EndTime = 1e12;
  EXPECT_EQ(DisplayLine(E), "(ung\xFCltig) - (ung\xFCltig) = -3 Std, 75 Min -- Bemerkung: x");
}

TEST_F(CoreTest, FillStringsOfAnEmptyListEmptiesTheTarget) {
  TChronarkMan M;
  TStrings Lines = {"a", "b"};
  M.FillStrings(Lines);
  EXPECT_TRUE(Lines.empty());
}

std::vector<std::string> Comments(const TChronarkMan& M) {
  std::vector<std::string> R;
  for (const TCREntry& E : M.Entries()) R.push_back(E.Comment.Str());
  return R;
}

TEST(CoreIndex, DeleteIgnoresIndexesOutsideTheList) {
  TChronarkMan M;
  for (const char* C : {"a", "b", "c"}) M.AddRecord(Record(0, 1, C));
  M.Delete(-1);
  M.Delete(3);
  M.Delete(INT32_MIN);
  EXPECT_EQ(Comments(M), (std::vector<std::string>{"a", "b", "c"}));
  M.Delete(2);
  EXPECT_EQ(Comments(M), (std::vector<std::string>{"a", "b"}));
  M.AddRecord(Record(0, 1, "c"));
  M.Delete(0);
  EXPECT_EQ(Comments(M), (std::vector<std::string>{"b", "c"}));
}

TEST(CoreIndex, CommentsOutsideTheListAreEmptyAndUnchangeable) {
  TChronarkMan M;
  M.AddRecord(Record(2, 5, "a"));
  EXPECT_EQ(M.GetComment(-1), "");
  EXPECT_EQ(M.GetComment(1), "");
  M.SetComment(1, "x");
  M.SetComment(-1, "x");
  EXPECT_EQ(Comments(M), (std::vector<std::string>{"a"}));
  M.SetComment(0, "neu");
  EXPECT_EQ(M.GetComment(0), "neu");
  EXPECT_EQ(M.Entries()[0].Hours, 2);
  EXPECT_EQ(M.Entries()[0].Minutes, 5);
  M.SetComment(0, "");
  EXPECT_EQ(M.GetComment(0), "");
}

TEST(CoreIndex, ClearKeepsTheExportName) {
  test::TTempDir D;
  TChronarkMan M;
  M.AddRecord(Record(0, 1));
  M.SetTemplateFolder(D / "none/");
  M.ExportHTML(D / "out.htm");
  M.Clear();
  EXPECT_TRUE(M.Entries().empty());
  EXPECT_EQ(M.ExportFileName(), D / "out.htm");
}

}  // namespace
}  // namespace chronark
