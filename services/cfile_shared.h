#pragma once
// Unit cfile, program side: the maker's registry key, the common-files and
// shared folders, and the search of the companion libraries.

#include <string>
#include <string_view>

#include "platform/dynlib/dynlib.h"

namespace chronark {

namespace platform {
class TRegistry;
}

inline constexpr char PathDelim = '/';
inline constexpr std::string_view MakerKeyPath = "\\Software\\Tolvane Software\\";
inline constexpr std::string_view SharedFolderName = "RIZ Adizuv";

// Sets the registry's root to HKEY_LOCAL_MACHINE and opens the maker's key
// "\Software\Tolvane Software\<Section>[\<SubKey>]" for reading. The store is
// read-only, so CanCreate never makes a missing key appear.
bool OpenMakerKey(platform::TRegistry& Registry, std::string_view Section, std::string_view SubKey,
                  bool CanCreate);

// The maker's "TVCommonFiles", else the platform's "CommonFilesDir", else
// empty. A value that is not a string counts as missing.
std::string GetCommonFilesPath();

// The common-files folder + '/' + "RIZ Adizuv". Empty when the common-files
// folder is empty or not an absolute path: a relative shared folder would be
// looked up from whatever folder the program was started in.
std::string GetSharedFolder();

// Include: Path with exactly one trailing '/' added when missing; otherwise one
// trailing '/' removed. An empty Path stays empty.
std::string SetTrailingBackslash(std::string_view Path, bool Include);

// One companion library: the module and its looked-up entry point.
struct TLibrarySlot {
  platform::TDynLib Module;
  void* EntryPoint = nullptr;

  bool IsBound() const { return EntryPoint != nullptr; }
  void Release() {
    EntryPoint = nullptr;
    Module.Release();
  }
};

// Full path of FileName in the shared folder, else in ProgramFolder; empty
// when neither holds a regular file of that name.
std::string FindCompanionLibrary(std::string_view FileName, std::string_view ProgramFolder);

// Finds, loads and binds one library. A library that is missing, cannot be
// loaded or lacks ExportName leaves the slot empty and gives false; nothing is
// kept loaded then.
bool BindCompanionLibrary(TLibrarySlot& Slot, std::string_view FileName, const char* ExportName,
                          std::string_view ProgramFolder);

}  // namespace chronark
