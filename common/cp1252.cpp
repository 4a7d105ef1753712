#include "common/cp1252.h"

namespace chronark {

namespace {

// 0x80 to 0x9F; the rest of the code page equals ISO 8859-1.
constexpr char16_t High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void AppendUtf8(std::string& Out, char32_t C) {
  if (C < 0x80) {
    Out.push_back(char(C));
  } else if (C < 0x800) {
    Out.push_back(char(0xC0 | (C >> 6)));
    Out.push_back(char(0x80 | (C & 0x3F)));
  } else {
    Out.push_back(char(0xE0 | (C >> 12)));
    Out.push_back(char(0x80 | ((C >> 6) & 0x3F)));
    Out.push_back(char(0x80 | (C & 0x3F)));
  }
}

char FromUnicode(char32_t C) {
  if (C < 0x80 || (C >= 0xA0 && C <= 0xFF)) return char(C);
  for (int I = 0; I < 32; ++I)
    if (High[I] == C) return char(0x80 + I);
  return '?';
}

// Length of the well-formed UTF-8 sequence at S[I] and its code point; 0 when malformed.
size_t DecodeUtf8(std::string_view S, size_t I, char32_t& C) {
  const unsigned char B = S[I];
  size_t Len;
  char32_t Min;
  if (B < 0x80) {
    C = B;
    return 1;
  }
  if (B >= 0xC2 && B <= 0xDF) {
    Len = 2;
    C = B & 0x1F;
    Min = 0x80;
  } else if (B >= 0xE0 && B <= 0xEF) {
    Len = 3;
    C = B & 0x0F;
    Min = 0x800;
  } else if (B >= 0xF0 && B <= 0xF4) {
    Len = 4;
    C = B & 0x07;
    Min = 0x10000;
  } else
    return 0;
  if (I + Len > S.size()) return 0;
  for (size_t K = 1; K < Len; ++K) {
    const unsigned char T = S[I + K];
    if ((T & 0xC0) != 0x80) return 0;
    C = (C << 6) | (T & 0x3F);
  }
  if (C < Min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) return 0;
  return Len;
}

}  // namespace

char32_t Cp1252ToUnicode(unsigned char C) {
  return (C >= 0x80 && C < 0xA0) ? char32_t(High[C - 0x80]) : char32_t(C);
}

std::string Cp1252ToUtf8(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size() + Text.size() / 8);
  for (unsigned char C : Text) AppendUtf8(Out, Cp1252ToUnicode(C));
  return Out;
}

std::string Utf8ToCp1252(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    char32_t C;
    const size_t Len = DecodeUtf8(Text, I, C);
    if (Len == 0) {
      Out.push_back('?');
      ++I;
    } else {
      Out.push_back(FromUnicode(C));
      I += Len;
    }
  }
  return Out;
}

}  // namespace chronark
