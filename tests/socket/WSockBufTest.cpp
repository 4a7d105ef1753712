#include "net/WSockBuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace chronark {
namespace {

TEST(TBuffer, NonPositiveSizeMeansAnEthernetFrame) {
  TBuffer B(0);
  EXPECT_EQ(B.Capacity(), 1514);
  B.SetBufSize(-5);
  EXPECT_EQ(B.Capacity(), 1514);
}

TEST(TBuffer, AppendFillsUpToCapacityAndThenTakesNothing) {
  TBuffer B(10);
  EXPECT_EQ(B.Append("abcdefgh", 8), 8);
  EXPECT_EQ(B.Append("ijklmn", 6), 2);
  EXPECT_EQ(B.Append("x", 1), 0);
  int32_t Len = 0;
  const uint8_t* P = B.UnsentPart(Len);
  ASSERT_EQ(Len, 10);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(P), 10), "abcdefghij");
}

TEST(TBuffer, ConsumeAdvancesAndRewindsWhenAllIsSent) {
  TBuffer B(8);
  B.Append("abcdef", 6);
  B.Consume(4);
  int32_t Len = 0;
  const uint8_t* P = B.UnsentPart(Len);
  ASSERT_EQ(Len, 2);
  EXPECT_EQ(std::memcmp(P, "ef", 2), 0);
  B.Consume(100);  // never beyond the unsent part
  EXPECT_EQ(B.UnsentPart(Len), nullptr);
  EXPECT_EQ(Len, 0);
  EXPECT_EQ(B.ReadPos(), 0);
  EXPECT_EQ(B.WritePos(), 0);
  EXPECT_EQ(B.Append("12345678", 8), 8) << "the whole block is free again";
}

TEST(TBuffer, ResizingKeepsTheWrittenBytes) {
  TBuffer B(4);
  B.Append("abcd", 4);
  B.SetBufSize(16);
  EXPECT_EQ(B.Capacity(), 16);
  EXPECT_EQ(B.Append("efgh", 4), 4);
  int32_t Len = 0;
  const uint8_t* P = B.UnsentPart(Len);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(P), static_cast<size_t>(Len)), "abcdefgh");
  B.SetBufSize(3);  // smaller than what it holds: keeps what fits
  P = B.UnsentPart(Len);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(P), static_cast<size_t>(Len)), "abc");
}

}  // namespace
}  // namespace chronark
