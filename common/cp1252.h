// Windows-1252 <-> UTF-8 with the full code page table. Stored texts
// (remarks, templates, exported pages, INI values) stay Windows-1252 bytes;
// these convert them at the edges (Qt, terminals, command lines).
#pragma once

#include <string>
#include <string_view>

namespace chronark {

// Every byte maps to one character; the five bytes the code page leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 controls of the
// same number, as the system's converter does.
std::string Cp1252ToUtf8(std::string_view Text);

// Characters the code page cannot hold, and malformed UTF-8 sequences
// (one '?' per bad byte), become '?'.
std::string Utf8ToCp1252(std::string_view Text);

// The Unicode code point of one Windows-1252 byte.
char32_t Cp1252ToUnicode(unsigned char C);

}  // namespace chronark
