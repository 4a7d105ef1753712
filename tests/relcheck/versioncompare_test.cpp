#include "relcheck/versioncompare.h"

#include "common/cstring.h"
#include "common/exceptions.h"

#include <gtest/gtest.h>

#include <optional>

namespace chronark::relcheck {
namespace {

struct TCompareCase {
  const char* Candidate;
  const char* Current;
  bool Newer;
  const char* Error;  // the EConvertError message, or nullptr
};

class IsNewerVersionTable : public testing::TestWithParam<TCompareCase> {};

TEST_P(IsNewerVersionTable, ComparesPartByPart) {
  const auto& C = GetParam();
  if (C.Error) {
    try {
      IsNewerVersion(C.Candidate, C.Current);
      FAIL() << "no EConvertError";
    } catch (const EConvertError& E) {
      EXPECT_STREQ(E.what(), C.Error);
    }
  } else {
    EXPECT_EQ(IsNewerVersion(C.Candidate, C.Current), C.Newer);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, IsNewerVersionTable,
    testing::Values(
        TCompareCase{"1.0.2002.625", "1.0.2002.624", true, nullptr},
        TCompareCase{"1.0.2002.624", "1.0.2002.624", false, nullptr},
        TCompareCase{"1.0.2002.623", "1.0.2002.624", false, nullptr},
        TCompareCase{"1.10.0.0", "1.9.0.0", true, nullptr},
        TCompareCase{"1.9.0.0", "1.10.0.0", false, nullptr},
        TCompareCase{"01.2.3.4", "1.2.3.4", false, nullptr},
        TCompareCase{"1.2.3.4.9", "1.2.3.4", false, nullptr},
        TCompareCase{"1.2.3.4", "1.2.3.4.x", false, nullptr},
        TCompareCase{"2", "1.9.9.9", true, nullptr}, TCompareCase{"3", "2.5.1.0", true, nullptr},
        TCompareCase{"0", "1.0.0.0", false, nullptr},
        TCompareCase{"0.0.0.0", "0.0.0.0", false, nullptr},
        TCompareCase{"0.0.0.0", "1.0.2002.624", false, nullptr},
        TCompareCase{"-1.0.0.0", "0.0.0.0", false, nullptr},
        TCompareCase{" 2.0.0.0", "1.0.0.0", true, nullptr},
        TCompareCase{"$A.0.0.0", "9.0.0.0", true, nullptr},
        TCompareCase{"1.0.0.0x10", "1.0.0.15", true, nullptr},
        TCompareCase{"1.2", "1.2.0.0", false, "'' is not a valid integer value"},
        TCompareCase{"1.0.0.0", "", false, "'' is not a valid integer value"},
        TCompareCase{"1.0.0.0 ", "1.0.0.0", false, "'0 ' is not a valid integer value"},
        TCompareCase{"4 beta", "1.0.0.0", false, "'4 beta' is not a valid integer value"},
        TCompareCase{"1.0.0.0", "1.0.0.0 ", false, "'0 ' is not a valid integer value"},
        // The candidate's part is converted first and named first.
        TCompareCase{"a.0", "b.0", false, "'a' is not a valid integer value"},
        TCompareCase{"<html>", "1.0.0.0", false, "'<html>' is not a valid integer value"}));

struct TIntCase {
  const char* Text;
  std::optional<int32_t> Value;
};

class StrToIntTable : public testing::TestWithParam<TIntCase> {};

TEST_P(StrToIntTable, ConvertsOrNamesTheText) {
  const auto& C = GetParam();
  if (C.Value) {
    EXPECT_EQ(StrToInt(C.Text), *C.Value);
  } else {
    try {
      StrToInt(C.Text);
      FAIL() << "no EConvertError for '" << C.Text << "'";
    } catch (const EConvertError& E) {
      EXPECT_EQ(std::string(E.what()),
                "'" + std::string(C.Text) + "' is not a valid integer value");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StrToIntTable,
    testing::Values(
        TIntCase{"0", 0}, TIntCase{"624", 624}, TIntCase{"+5", 5}, TIntCase{"-5", -5},
        TIntCase{"   7", 7}, TIntCase{"007", 7}, TIntCase{"$ff", 255}, TIntCase{"$A", 10},
        TIntCase{"0x1F", 31}, TIntCase{"0X1f", 31}, TIntCase{"x10", 16}, TIntCase{"X10", 16},
        TIntCase{"$FFFFFFFF", -1}, TIntCase{"-$10", -16}, TIntCase{" +0x7fffffff", INT32_MAX},
        TIntCase{"2147483647", INT32_MAX}, TIntCase{"-2147483648", INT32_MIN},
        TIntCase{"", std::nullopt}, TIntCase{" ", std::nullopt}, TIntCase{"+", std::nullopt},
        TIntCase{"-", std::nullopt}, TIntCase{"$", std::nullopt}, TIntCase{"0x", std::nullopt},
        TIntCase{"2147483648", std::nullopt}, TIntCase{"-2147483649", std::nullopt},
        TIntCase{"99999999999999999999", std::nullopt}, TIntCase{"$123456789", std::nullopt},
        TIntCase{"1 ", std::nullopt}, TIntCase{"1a", std::nullopt}, TIntCase{"\t1", std::nullopt},
        TIntCase{"$G", std::nullopt}, TIntCase{"+-1", std::nullopt}, TIntCase{"1.5", std::nullopt},
        TIntCase{"0x-1", std::nullopt}));

struct TFieldCase {
  const char* Text;
  uint8_t Index;
  const char* Field;
};

class ExtractFieldTable : public testing::TestWithParam<TFieldCase> {};

TEST_P(ExtractFieldTable, SplitsAtTheSeparator) {
  const auto& C = GetParam();
  EXPECT_EQ(ExtractField(C.Text, '.', C.Index), C.Field);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ExtractFieldTable,
    testing::Values(TFieldCase{"one.two.three", 1, "one"}, TFieldCase{"one.two.three", 2, "two"},
                    TFieldCase{"one.two.three", 3, "three"}, TFieldCase{"one.two.three", 4, ""},
                    TFieldCase{"one..three", 2, ""}, TFieldCase{"one..three", 3, "three"},
                    TFieldCase{"", 1, ""}, TFieldCase{"", 0, ""}, TFieldCase{"abc", 0, ""},
                    TFieldCase{"abc", 1, "abc"}, TFieldCase{"abc", 2, ""}, TFieldCase{"a.", 1, "a"},
                    TFieldCase{"a.", 2, ""}, TFieldCase{"a.", 3, ""}, TFieldCase{".a", 1, ""},
                    TFieldCase{".a", 2, "a"}, TFieldCase{"1.2.3.4.5", 255, ""}));

}  // namespace
}  // namespace chronark::relcheck
