// Date-time helpers of the core and file-layer tests: a local date-time from
// its parts, and a fixture that pins the German formats instead of relying on
// the installed locales.
#pragma once

#include <gtest/gtest.h>

#include "platform/files/datetime.h"

namespace chronark::test {

inline TDateTime DT(int Y, int Mo, int D, int H = 0, int Mi = 0, int S = 0, int Ms = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDateTime({Y, Mo, D, H, Mi, S, Ms}, V));
  return V;
}

class TGermanFormats : public testing::Test {
protected:
  void SetUp() override { SetFormatSettings({"%d.%m.%Y", "%H:%M:%S"}); }
  void TearDown() override { ResetFormatSettings(); }
};

}  // namespace chronark::test
