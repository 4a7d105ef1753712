#include "app/cdialog.h"

#include <algorithm>
#include <utility>

namespace chronark {
namespace {

TShortString CopyShortString(const unsigned char* Source)
{
    TShortString Copy{};
    if (Source)
        std::copy_n(Source, size_t(Source[0]) + 1, Copy.begin());
    return Copy;
}

}  // namespace

TShortString MakeShortString(std::string_view Text)
{
    TShortString Result{};
    const size_t Length = std::min<size_t>(Text.size(), 255);
    Result[0] = static_cast<unsigned char>(Length);
    std::copy_n(Text.begin(), Length, Result.begin() + 1);
    return Result;
}

std::string AboutFallbackText()
{
    return "Chronark ist ein Programm von " + std::string(MakerName) + ".\n\n" + std::string(MakerHomePage);
}

TCompanionLibraries::TCompanionLibraries(std::string ProgramFolder)
    : FProgramFolder(std::move(ProgramFolder))
{
}

// The owner releases explicitly at the program's real end; this is only the
// safety net, in the same order.
TCompanionLibraries::~TCompanionLibraries()
{
    FreeAboutLibrary();
    FreeUpdateLibrary();
}

bool TCompanionLibraries::LoadUpdateLibrary()
{
    return BindCompanionLibrary(FUpdate, UpdateLibraryName, UpdateExportName, FProgramFolder);
}

bool TCompanionLibraries::LoadAboutLibrary()
{
    return BindCompanionLibrary(FAbout, AboutLibraryName, AboutExportName, FProgramFolder);
}

void TCompanionLibraries::ShowRelCheckDialog(uintptr_t AppHandle) const
{
    if (!FUpdate.IsBound())
        return;
    const TShortString CurrentVersion = MakeShortString("");
    const TShortString Section = MakeShortString(UpdateSection);
    const TShortString UpdateURL = MakeShortString("");
    auto* Entry = reinterpret_cast<TShowRelCheckDialog*>(FUpdate.EntryPoint);
    Entry(AppHandle, CurrentVersion.data(), Section.data(), UpdateURL.data());
}

bool TCompanionLibraries::ShowAboutDialog(uintptr_t Owner, const unsigned char* Name, const unsigned char* Text2,
                                          const unsigned char* Text3, const unsigned char* Text4,
                                          uintptr_t IconHandle) const
{
    if (!FAbout.IsBound())
        return false;
    // The library gets storage of our own, never the caller's buffers.
    const TShortString NameCopy = CopyShortString(Name);
    const TShortString Text2Copy = CopyShortString(Text2);
    const TShortString Text3Copy = CopyShortString(Text3);
    const TShortString Text4Copy = CopyShortString(Text4);
    auto* Entry = reinterpret_cast<TShowAboutDialog*>(FAbout.EntryPoint);
    Entry(Owner, NameCopy.data(), Text2Copy.data(), Text3Copy.data(), Text4Copy.data(), IconHandle);
    return true;
}

}  // namespace chronark
