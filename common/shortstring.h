// Short string: one length byte (0 to 255) followed by room for 255 8-bit
// characters, as stored in project records and passed to the libraries.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace chronark {

struct TShortString {
  uint8_t Length = 0;
  char Chars[255] = {};

  // Text longer than 255 characters is cut to its first 255.
  void Assign(std::string_view Text) {
    const size_t n = std::min<size_t>(Text.size(), sizeof Chars);
    std::memcpy(Chars, Text.data(), n);
    std::memset(Chars + n, 0, sizeof Chars - n);
    Length = static_cast<uint8_t>(n);
  }
  std::string Str() const { return std::string(Chars, Length); }
  std::string_view View() const { return std::string_view(Chars, Length); }
};
static_assert(sizeof(TShortString) == 256);

// A copy of a short string passed by reference (length byte, then the
// characters); a null reference gives the empty text.
inline TShortString CopyShortString(const unsigned char* Source) {
  TShortString Copy;
  if (Source) Copy.Assign(std::string_view(reinterpret_cast<const char*>(Source) + 1, Source[0]));
  return Copy;
}

}  // namespace chronark
