// Unit cstring: string helpers shared by the program and the library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace chronark {

// A list of text lines, each line 8-bit text (Windows-1252 bytes).
using TStrings = std::vector<std::string>;

// The Index-th field (counting from 1) of S split at Separator: empty past the
// last field, for Index 0 and for an empty S; the last field is the text after
// the last separator, and two adjacent separators enclose an empty field.
// (Defined in cstring_field.cpp.)
std::string ExtractField(std::string_view S, char Separator, uint8_t Index);

// Replaces every occurrence of Pattern in S by Value. Without CaseSensitive
// only the ASCII letters A to Z are folded. The search restarts at the
// beginning of S after every replacement, so a replaced value may form a new
// occurrence with its surroundings. Where that restarting search would never
// end (the value holds the pattern, or the text keeps feeding it), the
// occurrences of the original S are replaced once, left to right, instead; a
// search that would take more than a few times the work of S and its
// single-pass result counts as never ending. An empty Pattern changes nothing.
void StrReplace(std::string& S, std::string_view Pattern, std::string_view Value,
                bool CaseSensitive);

// StrReplace on every line by itself; occurrences never span lines.
void StringsReplace(TStrings& Lines, std::string_view Pattern, std::string_view Value,
                    bool CaseSensitive);

// ASCII-only case folding (A-Z and a-z); every other byte, umlauts too,
// unchanged, whatever the locale.
constexpr char AsciiLower(char C) { return C >= 'A' && C <= 'Z' ? char(C - 'A' + 'a') : C; }
constexpr char AsciiUpper(char C) { return C >= 'a' && C <= 'z' ? char(C - 'a' + 'A') : C; }
std::string AsciiLowerCase(std::string_view S);
std::string AsciiUpperCase(std::string_view S);
bool SameTextAscii(std::string_view A, std::string_view B);
bool StartsTextAscii(std::string_view S, std::string_view Prefix);

// Character sets for Trim: blanks and tabs; those and line ends; every
// control character and the blank (bytes 0 to 32).
inline constexpr std::string_view SpaceTab = " \t";
inline constexpr std::string_view Whitespace = " \t\r\n";
inline constexpr auto ControlsAndSpaceBytes = [] {
  std::array<char, 33> Bytes{};
  for (size_t I = 0; I < Bytes.size(); ++I) Bytes[I] = char(I);
  return Bytes;
}();
inline constexpr std::string_view ControlsAndSpace(ControlsAndSpaceBytes.data(),
                                                   ControlsAndSpaceBytes.size());

// S without the leading and trailing bytes that are in Set.
std::string_view Trim(std::string_view S, std::string_view Set);

}  // namespace chronark
