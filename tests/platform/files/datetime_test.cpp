#include "platform/files/datetime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/testfs.h"
#include "support/testdatetime.h"

namespace chronark {
namespace {

using test::DT;

class DateTimeText : public test::TGermanFormats {};

TEST_F(DateTimeText, KnownValues) {
  EXPECT_EQ(DT(1899, 12, 30), 0.0);
  EXPECT_EQ(DT(1900, 1, 1, 12), 2.5);
  EXPECT_EQ(DT(2026, 12, 7), 46363.0);
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7, 9, 15, 3)), "07.12.2026 09:15:03");
  EXPECT_EQ(DateTimeToStr(-1.25), "29.12.1899 06:00:00");
}

TEST_F(DateTimeText, MidnightShowsTheDateAlone) {
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7)), "07.12.2026");
  // Milliseconds do not count as time of day.
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7, 0, 0, 0, 999)), "07.12.2026");
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7, 0, 0, 1)), "07.12.2026 00:00:01");
}

TEST_F(DateTimeText, RoundsToTheNearestMillisecond) {
  // 23:59:59.9996 rounds into the next day.
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7) + (86399999.6 / 86400000.0)), "08.12.2026");
}

TEST_F(DateTimeText, OtherFormats) {
  SetFormatSettings({"%m/%d/%Y", "%I:%M:%S %p"});
  EXPECT_EQ(DateTimeToStr(DT(2026, 12, 7, 21, 5, 3)), "12/07/2026 09:05:03 PM");
  SetFormatSettings({"%F", "%T"});
  EXPECT_EQ(DateTimeToStr(DT(5, 1, 2, 3, 4, 5)), "0005-01-02 03:04:05");
  SetFormatSettings({"%e.%m.%y", "%R"});
  EXPECT_EQ(DateTimeToStr(DT(2026, 3, 7, 8, 9)), " 7.03.26 08:09");
}

TEST(DateTimeFormats, GermanUnderTheCLocale) {
  ResetFormatSettings();
  const TFormatSettings S = SystemFormatSettings();  // the tests run under C.UTF-8
  EXPECT_EQ(S.ShortDateFormat, "%d.%m.%Y");
  EXPECT_EQ(S.LongTimeFormat, "%H:%M:%S");
}

class Unrepresentable : public DateTimeText, public testing::WithParamInterface<double> {};

TEST_P(Unrepresentable, ShowsInvalid) {
  TDateTimeParts P;
  EXPECT_FALSE(DecodeDateTime(GetParam(), P));
  EXPECT_EQ(DateTimeToStr(GetParam()), "(ung\xFCltig)");
}

INSTANTIATE_TEST_SUITE_P(Values, Unrepresentable,
                         testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(), 1e300, -1e300,
                                         2958466.0,           // 01.01.10000
                                         2958465.9999999999,  // rounds to 01.01.10000
                                         -693594.0, std::numeric_limits<double>::max(),
                                         std::numeric_limits<double>::lowest()));

TEST_F(DateTimeText, RangeEndsAreRepresentable) {
  EXPECT_EQ(DateTimeToStr(-693593.0), "01.01.0001");
  EXPECT_EQ(DateTimeToStr(DT(9999, 12, 31, 23, 59, 59, 999)), "31.12.9999 23:59:59");
  EXPECT_EQ(DateTimeToStr(std::numeric_limits<double>::denorm_min()), "30.12.1899");
}

TEST(DateTimeEncode, RejectsPartsOutOfRange) {
  TDateTime V;
  EXPECT_FALSE(TryEncodeDateTime({2026, 2, 29}, V));
  EXPECT_TRUE(TryEncodeDateTime({2024, 2, 29}, V));
  EXPECT_FALSE(TryEncodeDateTime({2026, 13, 1}, V));
  EXPECT_FALSE(TryEncodeDateTime({0, 1, 1}, V));
  EXPECT_FALSE(TryEncodeDateTime({2026, 1, 1, 24}, V));
  EXPECT_FALSE(TryEncodeDateTime({2026, 1, 1, 0, 0, 0, 1000}, V));
}

TEST(DateTimeEncode, DecodeRoundTrips) {
  for (TDateTime V :
       {DT(2026, 12, 7, 9, 15, 3, 123), DT(1, 1, 1, 0, 0, 0, 1), DT(1850, 6, 1, 23, 59, 59, 999)}) {
    TDateTimeParts P;
    ASSERT_TRUE(DecodeDateTime(V, P));
    TDateTime Back;
    ASSERT_TRUE(TryEncodeDateTime(P, Back));
    EXPECT_EQ(Back, V);
  }
}

TEST(DateTimeNow, IsTodayWithMilliseconds) {
  const TDateTime A = Now();
  TDateTimeParts P;
  ASSERT_TRUE(DecodeDateTime(A, P));
  EXPECT_GE(P.Year, 2024);
  EXPECT_LE(std::fabs(Now() - A), 1.0 / 86400.0);
}

// The tests run with TZ=Europe/Berlin.
TEST(LocalUtcOffset, FollowsTheTimeZoneRules) {
  int64_t Off;
  ASSERT_TRUE(LocalUtcOffset(DT(2026, 12, 7, 9), Off));
  EXPECT_EQ(Off, 3600);
  ASSERT_TRUE(LocalUtcOffset(DT(2026, 7, 7, 9), Off));
  EXPECT_EQ(Off, 7200);
  // 02:30 does not occur on 29.03.2020: the offset before the change.
  ASSERT_TRUE(LocalUtcOffset(DT(2020, 3, 29, 2, 30), Off));
  EXPECT_EQ(Off, 3600);
  // 02:30 occurs twice on 25.10.2020: the earlier, summer-time reading.
  ASSERT_TRUE(LocalUtcOffset(DT(2020, 10, 25, 2, 30), Off));
  EXPECT_EQ(Off, 7200);
  EXPECT_FALSE(LocalUtcOffset(std::nan(""), Off));
}

TEST(ElapsedMilliseconds, CountsRealTime) {
  EXPECT_EQ(ElapsedMilliseconds(DT(2020, 3, 29, 1, 49), DT(2020, 3, 29, 3, 15)), 26 * 60000);
  EXPECT_EQ(ElapsedMilliseconds(DT(2020, 3, 29, 3, 15), DT(2020, 3, 29, 1, 49)), -26 * 60000);
  EXPECT_EQ(ElapsedMilliseconds(DT(2020, 10, 25, 1, 30), DT(2020, 10, 25, 3, 30)), 3 * 3600000);
  EXPECT_EQ(ElapsedMilliseconds(DT(2026, 12, 7, 9, 15, 3, 1), DT(2026, 12, 7, 10, 15, 3, 1)),
            3600000);
  EXPECT_EQ(ElapsedMilliseconds(0, std::nan("")), 0);
  EXPECT_GT(ElapsedMilliseconds(0, std::numeric_limits<double>::infinity()), int64_t(1) << 61);
}

}  // namespace
}  // namespace chronark
