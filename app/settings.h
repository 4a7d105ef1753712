#pragma once
// The settings file and the project path stored in it. Plain C++, no Qt.

#include <string>
#include <string_view>

namespace chronark {

// The settings file of the program file ProgramFile: its full path with
// ".ini" appended ("chronark" -> "chronark.ini"), beside it. When that folder
// may not be written (a system-wide install), the same name in
// $XDG_CONFIG_HOME/chronark/ (default ~/.config/chronark/) instead.
std::string SettingsFileNameFor(const std::string& ProgramFile);

// The path of the file Dest relative to the folder Base (a path ending in
// "/"): one "../" for each folder name of Base that Dest does not share, then
// the remaining folder names of Dest, then its file name. Folder names are
// compared with regard to case. Dest that equals Base gives "". When only one
// of the two is absolute, Dest is returned unchanged.
std::string ExtractRelativePath(std::string_view Base, std::string_view Dest);

// The project path of a stored value: an absolute value as it is, any other
// after the program folder, joined as plain text ("../x.crf" stays so).
std::string ProjectPathFromSetting(const std::string& ProgramFolder, const std::string& Value);

// The value stored for Project in SettingsFile: relative to the program
// folder (ExtractRelativePath) while the settings file lies there, and for
// a project inside the program folder; otherwise (a settings file under
// ~/.config/chronark/) the absolute path, which no move of the program breaks.
std::string ProjectSettingValue(const std::string& ProgramFolder, const std::string& SettingsFile,
                                const std::string& Project);

// The first command-line argument starts the timer when it is "/start",
// with the ASCII letters in any case.
bool IsStartSwitch(std::string_view FirstArgument);

// Creates the folder of FileName and its parents when missing; errors are
// left to the write that follows.
void EnsureFolderOf(const std::string& FileName);

}  // namespace chronark
