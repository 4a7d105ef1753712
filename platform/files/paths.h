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

// Something is there under FileName that a load should be tried on (and fail
// clearly for): any existing object, or a link chain the kernel refuses.
// A dangling link is not there: saving creates its target.
bool PathPresent(const std::string& FileName);

// The user's home folder: $HOME, or the password database's entry when HOME
// is unset or empty. No trailing '/'.
std::string HomeFolder();

// $XDG_DATA_HOME (when absolute), else HomeFolder() + "/.local/share". No trailing '/'.
std::string UserDataFolder();

}  // namespace chronark
