// Proleptic Gregorian dates as day counts since 01.01.1970 and back
// (Hinnant's algorithms); shared by the date-time texts and the HTTP dates.
#pragma once

#include <cstdint>

namespace chronark {

constexpr int64_t DaysFromCivil(int64_t Y, unsigned M, unsigned D) {
  Y -= M <= 2;
  const int64_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const unsigned Yoe = unsigned(Y - Era * 400);
  const unsigned Doy = (153 * (M > 2 ? M - 3 : M + 9) + 2) / 5 + D - 1;
  const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
  return Era * 146097 + int64_t(Doe) - 719468;
}

constexpr void CivilFromDays(int64_t Z, int& Y, int& M, int& D) {
  Z += 719468;
  const int64_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const unsigned Doe = unsigned(Z - Era * 146097);
  const unsigned Yoe = (Doe - Doe / 1460 + Doe / 36524 - Doe / 146096) / 365;
  const unsigned Doy = Doe - (365 * Yoe + Yoe / 4 - Yoe / 100);
  const unsigned Mp = (5 * Doy + 2) / 153;
  D = int(Doy - (153 * Mp + 2) / 5 + 1);
  M = int(Mp < 10 ? Mp + 3 : Mp - 9);
  Y = int(int64_t(Yoe) + Era * 400 + (M <= 2));
}

}  // namespace chronark
