#pragma once
// The binding of unit cdialog without its window: the program's two companion
// libraries, the update check (relcheck.so) and the optional about library
// (about.so). No Qt here: window and icon travel as uintptr_t handles, so the
// binding is testable without a window.

#include <cstdint>
#include <string>
#include <string_view>

#include "services/cfile_shared.h"
#include "common/shortstring.h"
#include "platform/files/paths.h"

namespace chronark {

// Text as a short string, cut to 255 characters.
TShortString MakeShortString(std::string_view Text);
// The form in which a short string crosses into a library: by reference.
inline const unsigned char* ShortStringArg(const TShortString& Text) {
  return reinterpret_cast<const unsigned char*>(&Text);
}

extern "C" {
using TShowRelCheckDialog = void(uintptr_t AppHandle, const unsigned char* CurrentVersion,
                                 const unsigned char* Section, const unsigned char* UpdateURL);
using TShowAboutDialog = void(uintptr_t Owner, const unsigned char* Name,
                              const unsigned char* Text2, const unsigned char* Text3,
                              const unsigned char* Text4, uintptr_t IconHandle);
}

inline constexpr std::string_view UpdateLibraryName = "relcheck.so";
inline constexpr const char* UpdateExportName = "showrelcheckdialog_v1_11";
inline constexpr std::string_view AboutLibraryName = "about.so";
inline constexpr const char* AboutExportName = "showaboutdialog_v1_1";

// The section of this product in the version description file.
inline constexpr std::string_view UpdateSection = "chronark";

inline constexpr std::string_view MakerName = "Tolvane Software";
inline constexpr std::string_view MakerHomePage = "https://www.tolvane-software.example/";
// The notice "Info" shows without the about library (UTF-8).
std::string AboutFallbackText();

class TCompanionLibraries {
public:
  explicit TCompanionLibraries(std::string ProgramFolder = chronark::ProgramFolder());
  ~TCompanionLibraries();
  TCompanionLibraries(const TCompanionLibraries&) = delete;
  TCompanionLibraries& operator=(const TCompanionLibraries&) = delete;

  bool LoadUpdateLibrary();
  bool LoadAboutLibrary();
  void FreeAboutLibrary() { FAbout.Release(); }
  void FreeUpdateLibrary() { FUpdate.Release(); }

  bool UpdateBound() const { return FUpdate.IsBound(); }
  bool AboutBound() const { return FAbout.IsBound(); }
  // Full path of the loaded file; empty when not bound.
  const std::string& UpdateFileName() const { return FUpdate.Module.FileName(); }
  const std::string& AboutFileName() const { return FAbout.Module.FileName(); }

  // The update check: the main window, an empty version (the library reads
  // the program's own version block), "chronark" and an empty address, so
  // that the library uses its default. Returns when its dialog has closed.
  // Does nothing when the library is not bound.
  void ShowRelCheckDialog(uintptr_t AppHandle) const;

  // Calls the about library with copies of the four texts; false when it is
  // not bound, and the caller shows the fallback notice.
  bool ShowAboutDialog(uintptr_t Owner, const unsigned char* Name, const unsigned char* Text2,
                       const unsigned char* Text3, const unsigned char* Text4,
                       uintptr_t IconHandle) const;

private:
  std::string FProgramFolder;
  TLibrarySlot FUpdate;
  TLibrarySlot FAbout;
};

}  // namespace chronark
