#include "common/cstring.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

namespace chronark {
namespace {

struct TReplaceCase {
  const char* Name;
  std::string S, Pattern, Value;
  bool CaseSensitive;
  std::string Expected;
};
void PrintTo(const TReplaceCase& C, std::ostream* Os) { *Os << C.Name; }

class StrReplaceTable : public testing::TestWithParam<TReplaceCase> {};

TEST_P(StrReplaceTable, Replaces) {
  const TReplaceCase& C = GetParam();
  std::string S = C.S;
  StrReplace(S, C.Pattern, C.Value, C.CaseSensitive);
  EXPECT_EQ(S, C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrReplaceTable,
    testing::Values(TReplaceCase{"Every", "a$x$b$X$c", "$x$", "1", false, "a1b1c"},
                    TReplaceCase{"CaseSensitive", "a$x$b$X$c", "$x$", "1", true, "a1b$X$c"},
                    TReplaceCase{"EmptyPattern", "abc", "", "x", false, "abc"},
                    TReplaceCase{"NoOccurrence", "abc", "$d$", "x", false, "abc"},
                    TReplaceCase{"EmptyValue", "a$x$$x$b", "$x$", "", false, "ab"},
                    TReplaceCase{"UmlautsKeepTheirCase",
                                 "\xC4"
                                 "x\xE4"
                                 "x",
                                 "\xE4"
                                 "X",
                                 "1", false,
                                 "\xC4"
                                 "x1"},
                    // The search restarts at the beginning, so a replaced value can meet
                    // its neighbours and form a new occurrence.
                    TReplaceCase{"RestartFindsNewOccurrence", "aabb", "ab", "", false, ""},
                    TReplaceCase{"RestartAcrossValue", "$$x$$", "$x$", "x", false, "x"},
                    TReplaceCase{"RestartShrinking", "aaab", "AB", "b", false, "b"},
                    // Where the restarting search never ends, each original occurrence is
                    // replaced once.
                    TReplaceCase{"ValueHoldsPattern", "a $Comment$ b", "$comment$", "$COMMENT$!",
                                 false, "a $COMMENT$! b"},
                    TReplaceCase{"FileNameInItsName", "<$filename$>", "$filename$",
                                 "$filename$.htm", false, "<$filename$.htm>"},
                    TReplaceCase{"GrowsForever", "$$Comment$", "$Comment$", "Comment$$Comment",
                                 false, "$Comment$$Comment"},
                    TReplaceCase{"SwapOnce", "ab", "ab", "ba", false, "ba"}),
    [](const testing::TestParamInfo<TReplaceCase>& I) { return I.param.Name; });

TEST(StringsReplace, EachLineByItself) {
  TStrings L = {"$a", "$", "a$", "$a$$A$"};
  StringsReplace(L, "$a$", "x", false);
  EXPECT_EQ(L, (TStrings{"$a", "$", "a$", "xx"}));
  TStrings Empty;
  StringsReplace(Empty, "$a$", "x", false);
  EXPECT_TRUE(Empty.empty());
}

// The restarting search as described, with a step limit: nullopt when it
// has not ended within the limit.
std::optional<std::string> Restarting(std::string S, const std::string& P, const std::string& V,
                                      size_t Limit) {
  const std::string K = AsciiLowerCase(P);
  for (size_t Step = 0; Step <= Limit; ++Step) {
    const size_t At = AsciiLowerCase(S).find(K);
    if (At == std::string::npos) return S;
    S.replace(At, P.size(), V);
    if (S.size() > 256) return std::nullopt;
  }
  return std::nullopt;
}

// Wherever the restarting search ends, StrReplace gives its result; where it
// does not, StrReplace still ends.
TEST(StrReplace, EqualsTheRestartingSearchWhereverThatEnds) {
  std::mt19937 Rng(7);
  const char Alphabet[] = "aAb$";
  auto Word = [&](size_t MaxLen) {
    std::string W;
    for (size_t N = Rng() % (MaxLen + 1); N > 0; --N) W.push_back(Alphabet[Rng() % 4]);
    return W;
  };
  int Ended = 0, Endless = 0;
  for (int I = 0; I < 6000; ++I) {
    const std::string S = Word(12), P = Word(3), V = Word(5);
    if (P.empty()) continue;
    std::string Got = S;
    StrReplace(Got, P, V, false);
    if (const auto Want = Restarting(S, P, V, 300)) {
      ASSERT_EQ(Got, *Want) << "S=" << S << " P=" << P << " V=" << V;
      ++Ended;
    } else {
      ++Endless;
    }
  }
  EXPECT_GT(Ended, 1000);
  EXPECT_GT(Endless, 30);
}

std::string Repeat(const std::string& Part, size_t Times) {
  std::string S;
  S.reserve(Part.size() * Times);
  while (Times--) S += Part;
  return S;
}

// Lines far longer than 64 KiB, whose restarting search takes tens of
// thousands of steps and ends with a result the single pass would not give.
struct TLongCase {
  const char* Name;
  std::string S, Pattern, Value, Expected;
};
void PrintTo(const TLongCase& C, std::ostream* Os) { *Os << C.Name; }

class StrReplaceLongLine : public testing::TestWithParam<TLongCase> {};

TEST_P(StrReplaceLongLine, EndsAsTheRestartingSearchDoes) {
  const TLongCase& C = GetParam();
  std::string S = C.S;
  StrReplace(S, C.Pattern, C.Value, false);
  ASSERT_EQ(S.size(), C.Expected.size());
  EXPECT_TRUE(S == C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrReplaceLongLine,
    testing::Values(
        // Shorter value: each of 20,000 steps re-creates the pattern from
        // what follows.
        TLongCase{"ShrinkingChain", Repeat("$Hours", 20000) + "$", "$hours$", "$", "$"},
        // Value as long as the pattern: 100,000 steps, each consuming one
        // character of the line.
        TLongCase{"EqualLengthChain", std::string(100000, 'a') + "b", "ab", "bb",
                  std::string(100001, 'b')},
        // Longer value, 20,000 placeholders, each starting a chain of three
        // steps; the line grows from 120,000 to 180,000 characters.
        TLongCase{"GrowingChains", Repeat("$$$X$ ", 20000), "$x$", "x$yy",
                  Repeat("x$yyyyyy ", 20000)},
        // Many placeholders with values that meet nothing.
        TLongCase{"ManyPlaceholders", Repeat("<td>$StartTime$</td>", 5000), "$starttime$",
                  "07.12.2026 09:15:03", Repeat("<td>07.12.2026 09:15:03</td>", 5000)}),
    [](const testing::TestParamInfo<TLongCase>& I) { return I.param.Name; });

// A restarting search that would end only after billions of steps (the
// pattern bubbles through the line) is cut short and each original
// occurrence is replaced once.
TEST(StrReplace, EndsOnALongLineWhoseRestartingSearchTakesTooLong) {
  std::string S = std::string(50000, 'a') + std::string(50000, 'b');
  StrReplace(S, "ab", "ba", false);
  EXPECT_TRUE(S == std::string(49999, 'a') + "ba" + std::string(49999, 'b'));
}

TEST(AsciiText, FoldsOnlyAToZ) {
  EXPECT_EQ(AsciiLowerCase("AZaz@[\xC4\xD6"), "azaz@[\xC4\xD6");
  EXPECT_TRUE(SameTextAscii("Main", "mAIN"));
  EXPECT_FALSE(SameTextAscii("\xC4", "\xE4"));
}

}  // namespace
}  // namespace chronark
