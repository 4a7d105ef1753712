#include "common/cp1252.h"

#include <gtest/gtest.h>

namespace chronark {
namespace {

TEST(Cp1252, EveryByteRoundTrips) {
  std::string All;
  for (int C = 1; C < 256; ++C) All.push_back(char(C));
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(All)), All);
}

TEST(Cp1252, KnownCharacters) {
  EXPECT_EQ(Cp1252ToUtf8("Gr\xFC\xDF"
                         "e \x80 \x96 \x84\x93 \x9F"),
            "Grüße € – „“ Ÿ");
  EXPECT_EQ(Utf8ToCp1252("Grüße € – „“ Ÿ"),
            "Gr\xFC\xDF"
            "e \x80 \x96 \x84\x93 \x9F");
  EXPECT_EQ(Cp1252ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp1252, UnmappableBecomesQuestionMark) {
  EXPECT_EQ(Utf8ToCp1252("Ω ✓ 😀 x"), "? ? ? x");
  EXPECT_EQ(Utf8ToCp1252("\xC2\x80"), "?") << "U+0080 is not in the code page";
}

TEST(Cp1252, MalformedUtf8BecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1252("a\xFF"
                         "b"),
            "a?b");
  EXPECT_EQ(Utf8ToCp1252("\xC3"), "?");
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF"), "??") << "overlong";
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80"), "???") << "surrogate";
}

}  // namespace
}  // namespace chronark
