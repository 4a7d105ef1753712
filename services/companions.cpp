#include "services/companions.h"

#include <utility>

namespace chronark {
TShortString MakeShortString(std::string_view Text) {
  TShortString Result;
  Result.Assign(Text);
  return Result;
}

std::string AboutFallbackText() {
  return "Chronark ist ein Programm von " + std::string(MakerName) + ".\n\n" +
         std::string(MakerHomePage);
}

TCompanionLibraries::TCompanionLibraries(std::string ProgramFolder)
    : FProgramFolder(std::move(ProgramFolder)) {}

// The owner releases explicitly at the program's real end; this is only the
// safety net, in the same order.
TCompanionLibraries::~TCompanionLibraries() {
  FreeAboutLibrary();
  FreeUpdateLibrary();
}

bool TCompanionLibraries::LoadUpdateLibrary() {
  return BindCompanionLibrary(FUpdate, UpdateLibraryName, UpdateExportName, FProgramFolder);
}

bool TCompanionLibraries::LoadAboutLibrary() {
  return BindCompanionLibrary(FAbout, AboutLibraryName, AboutExportName, FProgramFolder);
}

void TCompanionLibraries::ShowRelCheckDialog(uintptr_t AppHandle) const {
  if (!FUpdate.IsBound()) return;
  const TShortString CurrentVersion = MakeShortString("");
  const TShortString Section = MakeShortString(UpdateSection);
  const TShortString UpdateURL = MakeShortString("");
  auto* Entry = reinterpret_cast<TShowRelCheckDialog*>(FUpdate.EntryPoint);
  Entry(AppHandle, ShortStringArg(CurrentVersion), ShortStringArg(Section),
        ShortStringArg(UpdateURL));
}

bool TCompanionLibraries::ShowAboutDialog(uintptr_t Owner, const unsigned char* Name,
                                          const unsigned char* Text2, const unsigned char* Text3,
                                          const unsigned char* Text4, uintptr_t IconHandle) const {
  if (!FAbout.IsBound()) return false;
  // The library gets storage of our own, never the caller's buffers.
  const TShortString NameCopy = CopyShortString(Name);
  const TShortString Text2Copy = CopyShortString(Text2);
  const TShortString Text3Copy = CopyShortString(Text3);
  const TShortString Text4Copy = CopyShortString(Text4);
  auto* Entry = reinterpret_cast<TShowAboutDialog*>(FAbout.EntryPoint);
  Entry(Owner, ShortStringArg(NameCopy), ShortStringArg(Text2Copy), ShortStringArg(Text3Copy),
        ShortStringArg(Text4Copy), IconHandle);
  return true;
}

}  // namespace chronark
