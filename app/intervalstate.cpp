#include "app/intervalstate.h"

#include "app/settings.h"
#include "platform/files/inifile.h"
#include "platform/files/paths.h"
#include "platform/files/projectlock.h"
#include "platform/files/safefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <system_error>

namespace chronark {

namespace {

constexpr const char Section[] = "Running";

void SyncFolder(const std::string& Folder) {
  const int Dir = ::open(Folder.empty() ? "." : Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir < 0) return;
  ::fsync(Dir);
  ::close(Dir);
}

}  // namespace

std::string IntervalStateFileName(const std::string& SettingsFile, const std::string& Project) {
  return ExtractFilePath(SettingsFile) + "chronark-" + PathKey(ProjectRealPath(Project)) +
         ".running";
}

void WriteIntervalState(const std::string& StateFile, const std::string& Project, TDateTime Start) {
  // The shortest text that reads back as the same double, independent of
  // the locale's decimal sign.
  char Number[64];
  const auto Result = std::to_chars(Number, Number + sizeof Number, Start);
  std::string Text = "[" + std::string(Section) + "]\n";
  Text += "Project=" + ProjectRealPath(Project) + "\n";
  Text += "Start=" + std::string(Number, Result.ptr) + "\n";
  EnsureFolderOf(StateFile);
  SafeWriteFile(StateFile, Text);
}

std::optional<TDateTime> ReadIntervalState(const std::string& StateFile,
                                           const std::string& Project) {
  if (!FileExists(StateFile)) return std::nullopt;
  const std::string Owner = ReadPrivateProfileString(StateFile, Section, "Project", "");
  if (Owner.empty() || Owner != ProjectRealPath(Project)) return std::nullopt;
  const std::string Text = ReadPrivateProfileString(StateFile, Section, "Start", "");
  TDateTime Start = 0;
  const auto Result = std::from_chars(Text.data(), Text.data() + Text.size(), Start);
  if (Result.ec != std::errc() || Result.ptr != Text.data() + Text.size() || Text.empty())
    return std::nullopt;
  return Start;
}

void RemoveIntervalState(const std::string& StateFile) {
  if (::unlink(StateFile.c_str()) == 0) SyncFolder(ExtractFilePath(StateFile));
}

}  // namespace chronark
