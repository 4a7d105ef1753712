#include "relcheck/versioncompare.h"

#include "common/cstring.h"
#include "common/exceptions.h"

namespace chronark::relcheck {
namespace {

[[noreturn]] void NotAnInteger(std::string_view S) { throw EConvertError(InvalidIntegerText(S)); }

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool IsNewerFromPart(std::string_view Candidate, std::string_view Current, uint8_t Part) {
  // The candidate first, so that its unreadable part is the one reported.
  const int32_t x = StrToInt(ExtractField(Candidate, '.', Part));
  const int32_t y = StrToInt(ExtractField(Current, '.', Part));
  if (x != y) return x > y;
  return Part < 4 && IsNewerFromPart(Candidate, Current, Part + 1);
}

}  // namespace

int32_t StrToInt(std::string_view S) {
  size_t i = 0;
  while (i < S.size() && S[i] == ' ') ++i;
  bool Negative = false;
  if (i < S.size() && (S[i] == '+' || S[i] == '-')) Negative = S[i++] == '-';
  const std::string_view Rest = S.substr(i);
  size_t Prefix = 0;
  if (Rest.starts_with('$') || Rest.starts_with('x') || Rest.starts_with('X'))
    Prefix = 1;
  else if (Rest.starts_with("0x") || Rest.starts_with("0X"))
    Prefix = 2;
  const std::string_view Digits = Rest.substr(Prefix);
  if (Digits.empty()) NotAnInteger(S);

  if (Prefix != 0) {
    // Eight hexadecimal digits fill 32 bits; the sign applies to that pattern.
    if (Digits.size() > 8) NotAnInteger(S);
    uint32_t Value = 0;
    for (char C : Digits) {
      const int d = HexDigit(C);
      if (d < 0) NotAnInteger(S);
      Value = Value << 4 | static_cast<uint32_t>(d);
    }
    return static_cast<int32_t>(Negative ? 0u - Value : Value);
  }
  int64_t Value = 0;
  for (char C : Digits) {
    if (C < '0' || C > '9') NotAnInteger(S);
    Value = Value * 10 + (C - '0');
    if (Value > int64_t{INT32_MAX} + 1) NotAnInteger(S);
  }
  if (Negative) Value = -Value;
  if (Value > INT32_MAX || Value < INT32_MIN) NotAnInteger(S);
  return static_cast<int32_t>(Value);
}

bool IsNewerVersion(std::string_view Candidate, std::string_view Current) {
  return IsNewerFromPart(Candidate, Current, 1);
}

}  // namespace chronark::relcheck
