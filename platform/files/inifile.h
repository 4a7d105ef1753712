// Private-profile (INI) files with the Windows semantics:
// "[Section]" lines and "key=value" lines; section and key names are matched
// without regard to ASCII case; blanks around names and values are trimmed;
// one pair of enclosing double or single quotes is removed from a value;
// lines starting with ';' are comments; the first matching section and key
// win; a value read through the lookup is cut to 2047 characters. Line ends
// may be CR LF, LF or CR. Values are bytes (no character conversion).
#pragma once

#include <string>
#include <string_view>

namespace chronark {

constexpr size_t MaxProfileValueLength = 2047;

// The value of Key in Section, or Default when the file, the section or the
// key does not exist (also when the file cannot be read). *WasCut, when
// given, tells whether the value was longer than MaxProfileValueLength and
// comes back cut, so that a caller can refuse a half value.
std::string ReadPrivateProfileString(const std::string& FileName, std::string_view Section,
                                     std::string_view Key, std::string_view Default,
                                     bool* WasCut = nullptr);

// The same lookup over INI text already in memory.
std::string ReadProfileStringFromText(std::string_view Text, std::string_view Section,
                                      std::string_view Key, std::string_view Default,
                                      bool* WasCut = nullptr);

// Sets Key in Section to Value: the first matching key line is replaced, a
// missing key is added at the end of its section, a missing section at the
// end of the file; every other line stays byte for byte. The file is replaced
// atomically (TSafeFileWriter). Throws EIniFileException with the message
// "Unable to write to <FileName>"; Reason() of the exception's ErrorCode
// (strerror) tells why.
void WritePrivateProfileString(const std::string& FileName, std::string_view Section,
                               std::string_view Key, std::string_view Value);

// The same edit on INI text in memory; returns the new text.
std::string WriteProfileStringToText(std::string_view Text, std::string_view Section,
                                     std::string_view Key, std::string_view Value);

}  // namespace chronark
