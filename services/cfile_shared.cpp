#include "services/cfile_shared.h"

#include <sys/stat.h>

#include "platform/registry/registry.h"

namespace chronark {
namespace {

constexpr std::string_view PlatformKeyPath = "\\Software\\Microsoft\\Windows\\CurrentVersion";

bool IsRegularFile(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

// A value of another type than string counts as missing, so that window
// creation never stops half way over a mistyped registry entry.
bool ReadStringValue(platform::TRegistry& Registry, std::string_view Name, std::string& Out) {
  if (!Registry.ValueExists(Name)) return false;
  try {
    Out = Registry.ReadString(Name);
    return true;
  } catch (const platform::ERegistryException&) {
    return false;
  }
}

}  // namespace

bool OpenMakerKey(platform::TRegistry& Registry, std::string_view Section, std::string_view SubKey,
                  bool CanCreate) {
  Registry.SetRootKey(platform::TRootKey::HKEY_LOCAL_MACHINE);
  std::string Key(MakerKeyPath);
  Key += Section;
  if (!SubKey.empty()) {
    Key += '\\';
    Key += SubKey;
  }
  return Registry.OpenKey(Key, CanCreate);
}

std::string GetCommonFilesPath() {
  platform::TRegistry Registry;
  std::string Result;
  if (OpenMakerKey(Registry, "Paths", "", false) &&
      ReadStringValue(Registry, "TVCommonFiles", Result))
    return Result;
  Registry.CloseKey();
  Registry.SetRootKey(platform::TRootKey::HKEY_LOCAL_MACHINE);
  Result.clear();
  if (Registry.OpenKey(PlatformKeyPath, false) &&
      ReadStringValue(Registry, "CommonFilesDir", Result))
    return Result;
  return {};
}

std::string GetSharedFolder() {
  const std::string CommonFiles = GetCommonFilesPath();
  if (CommonFiles.empty() || CommonFiles.front() != PathDelim) return {};
  return SetTrailingBackslash(CommonFiles, true) + std::string(SharedFolderName);
}

std::string SetTrailingBackslash(std::string_view Path, bool Include) {
  std::string Result(Path);
  if (Result.empty()) return Result;
  const bool HasDelim = Result.back() == PathDelim;
  if (Include && !HasDelim)
    Result += PathDelim;
  else if (!Include && HasDelim)
    Result.pop_back();
  return Result;
}

std::string FindCompanionLibrary(std::string_view FileName, std::string_view ProgramFolder) {
  const std::string Shared = GetSharedFolder();
  if (!Shared.empty()) {
    const std::string Path = SetTrailingBackslash(Shared, true) + std::string(FileName);
    if (IsRegularFile(Path)) return Path;
  }
  if (!ProgramFolder.empty()) {
    const std::string Path = SetTrailingBackslash(ProgramFolder, true) + std::string(FileName);
    if (IsRegularFile(Path)) return Path;
  }
  return {};
}

bool BindCompanionLibrary(TLibrarySlot& Slot, std::string_view FileName, const char* ExportName,
                          std::string_view ProgramFolder) {
  Slot.Release();
  const std::string Path = FindCompanionLibrary(FileName, ProgramFolder);
  if (Path.empty()) return false;
  platform::TDynLib Module = platform::TDynLib::Open(Path);
  if (!Module) return false;
  void* Entry = Module.Symbol(ExportName);
  if (!Entry) return false;  // Module goes out of scope: released at once
  Slot.Module = std::move(Module);
  Slot.EntryPoint = Entry;
  return true;
}

}  // namespace chronark
