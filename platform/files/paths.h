// The program file, its folder, and splitting of POSIX paths.
#pragma once

#include <string>
#include <string_view>

namespace chronark {

// /proc/self/exe with links resolved.
std::string ProgramFileName();
// Its folder, with a trailing '/'.
std::string ProgramFolder();

// The text after the last '/' ("/home/a/woche.htm" -> "woche.htm").
std::string ExtractFileName(std::string_view Path);
// The text up to and including the last '/' ("" when there is none).
std::string ExtractFilePath(std::string_view Path);

// strerror of an errno value, independent of the thread's locale quirks.
std::string SysErrorMessage(int Error);

bool FileExists(const std::string& FileName);  // an existing non-directory

}  // namespace chronark
