#include "app/settings.h"

#include "common/cstring.h"
#include "platform/files/paths.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace chronark {

namespace {

std::vector<std::string_view> FolderNames(std::string_view Folder) {
  std::vector<std::string_view> Names;
  size_t Start = 0;
  while (Start <= Folder.size()) {
    size_t End = Folder.find('/', Start);
    if (End == std::string_view::npos) End = Folder.size();
    if (End > Start) Names.push_back(Folder.substr(Start, End - Start));
    Start = End + 1;
  }
  return Names;
}

std::string ConfigFolder() {
  if (const char* Xdg = std::getenv("XDG_CONFIG_HOME"); Xdg && *Xdg == '/')
    return std::string(Xdg) + "/chronark/";
  return HomeFolder() + "/.config/chronark/";
}

}  // namespace

std::string SettingsFileNameFor(const std::string& ProgramFile) {
  const std::string Folder = ExtractFilePath(ProgramFile);
  const std::string Name = ExtractFileName(ProgramFile) + ".ini";
  if (::access(Folder.empty() ? "." : Folder.c_str(), W_OK) == 0) return Folder + Name;
  return ConfigFolder() + Name;
}

std::string ExtractRelativePath(std::string_view Base, std::string_view Dest) {
  const bool BaseAbsolute = !Base.empty() && Base.front() == '/';
  const bool DestAbsolute = !Dest.empty() && Dest.front() == '/';
  if (BaseAbsolute != DestAbsolute) return std::string(Dest);
  const std::string BaseFolder = ExtractFilePath(Base);
  const std::string DestFolder = ExtractFilePath(Dest);
  const auto BaseNames = FolderNames(BaseFolder);
  const auto DestNames = FolderNames(DestFolder);
  size_t Common = 0;
  while (Common < BaseNames.size() && Common < DestNames.size() &&
         BaseNames[Common] == DestNames[Common])
    ++Common;
  std::string Result;
  for (size_t I = Common; I < BaseNames.size(); ++I) Result += "../";
  for (size_t I = Common; I < DestNames.size(); ++I) {
    Result += DestNames[I];
    Result += '/';
  }
  return Result + ExtractFileName(Dest);
}

std::string ProjectPathFromSetting(const std::string& ProgramFolder, const std::string& Value) {
  if (!Value.empty() && Value.front() == '/') return Value;
  return ProgramFolder + Value;
}

std::string ProjectSettingValue(const std::string& ProgramFolder, const std::string& SettingsFile,
                                const std::string& Project) {
  const bool Inside = Project.compare(0, ProgramFolder.size(), ProgramFolder) == 0;
  if (ExtractFilePath(SettingsFile) == ProgramFolder || Inside)
    return ExtractRelativePath(ProgramFolder, Project);
  if (!Project.empty() && Project.front() == '/') return Project;
  std::error_code Ignored;
  return (std::filesystem::current_path(Ignored) / Project).string();
}

bool IsStartSwitch(std::string_view FirstArgument) {
  return AsciiLowerCase(FirstArgument) == "/start";
}

void EnsureFolderOf(const std::string& FileName) {
  const std::string Folder = ExtractFilePath(FileName);
  if (Folder.empty()) return;
  std::error_code Ignored;
  std::filesystem::create_directories(Folder, Ignored);
}

}  // namespace chronark
