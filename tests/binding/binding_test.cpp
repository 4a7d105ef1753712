// The search and binding of the companion libraries, against temporary
// program, shared and current folders and a temporary registry file.
#include <gtest/gtest.h>

#include <elf.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "services/companions.h"
#include "services/cfile_shared.h"
#include "support/testfs.h"

namespace fs = std::filesystem;

namespace chronark {
namespace {

const std::string FakeRelCheck = CHRONARK_TEST_FAKE_RELCHECK;
const std::string AboutRecorder = CHRONARK_TEST_ABOUT;
const std::string NoExport = CHRONARK_TEST_NO_EXPORT;

using test::ReadFile;

std::vector<std::string> SplitTabs(const std::string& Line) {
  std::vector<std::string> Fields;
  std::istringstream In(Line);
  for (std::string Field; std::getline(In, Field, '\t');) Fields.push_back(Field);
  return Fields;
}

class BindingTest : public ::testing::Test {
protected:
  void SetUp() override {
    FRoot = FTemp.Folder();
    FProgram = FRoot / "prog";
    FCommon = FRoot / "common files";
    FShared = FCommon / "RIZ Adizuv";
    FCwd = FRoot / "cwd";
    for (const fs::path& Dir : {FProgram, FShared, FCwd}) fs::create_directories(Dir);
    FRegistryFile = FRoot / "HKEY_LOCAL_MACHINE.ini";
    FRecordFile = FRoot / "record.txt";
    setenv("REGISTRY_HKLM_FILE", FRegistryFile.c_str(), 1);
    setenv("CHRONARK_BINDING_RECORD", FRecordFile.c_str(), 1);
    FOldCwd = fs::current_path();
    fs::current_path(FCwd);
  }

  void TearDown() override {
    fs::current_path(FOldCwd);
    unsetenv("REGISTRY_HKLM_FILE");
    unsetenv("CHRONARK_BINDING_RECORD");
  }

  void WriteRegistry(const std::string& Text) const {
    std::ofstream(FRegistryFile, std::ios::binary) << Text;
  }

  // The maker's key points at the temporary common-files folder.
  void RegisterCommonFiles() const {
    WriteRegistry("[Software\\Tolvane Software\\Paths]\nTVCommonFiles=" + FCommon.string() + "\n");
  }

  static void Put(const std::string& Library, const fs::path& Folder, const std::string& Name) {
    fs::copy_file(Library, Folder / Name, fs::copy_options::overwrite_existing);
  }

  std::string ProgramFolder() const { return FProgram.string() + "/"; }

  std::vector<std::string> Records() const {
    std::vector<std::string> Lines;
    std::istringstream In(ReadFile(FRecordFile));
    for (std::string Line; std::getline(In, Line);) Lines.push_back(Line);
    return Lines;
  }

  test::TTempDir FTemp;
  fs::path FRoot, FProgram, FCommon, FShared, FCwd, FRegistryFile, FRecordFile, FOldCwd;
};

// --- shared-folder lookup ---------------------------------------------------

struct TSharedFolderCase {
  const char* Name;
  std::string Registry;  // "@" stands for the temporary common-files folder
  bool WriteFile;
  std::string Expected;  // "@" likewise; empty means no shared folder
};

void PrintTo(const TSharedFolderCase& Case, std::ostream* Out) { *Out << Case.Name; }

class SharedFolderLookup : public BindingTest,
                           public ::testing::WithParamInterface<TSharedFolderCase> {
protected:
  std::string Expand(std::string Text) const {
    for (size_t At; (At = Text.find('@')) != std::string::npos;)
      Text.replace(At, 1, FCommon.string());
    return Text;
  }
};

TEST_P(SharedFolderLookup, GivesTheExpectedFolder) {
  if (GetParam().WriteFile) WriteRegistry(Expand(GetParam().Registry));
  EXPECT_EQ(GetSharedFolder(), Expand(GetParam().Expected));
}

const char* const Maker = "[Software\\Tolvane Software\\Paths]\n";
const char* const Platform = "[Software\\Microsoft\\Windows\\CurrentVersion]\n";

INSTANTIATE_TEST_SUITE_P(
    Registry, SharedFolderLookup,
    ::testing::Values(
        TSharedFolderCase{"MakerValue", std::string(Maker) + "TVCommonFiles=@\n", true,
                          "@/RIZ Adizuv"},
        TSharedFolderCase{"MakerValueWithTrailingSeparator",
                          std::string(Maker) + "TVCommonFiles=@/\n", true, "@/RIZ Adizuv"},
        TSharedFolderCase{
            "MakerBeforePlatform",
            std::string(Platform) + "CommonFilesDir=/elsewhere\n" + Maker + "TVCommonFiles=@\n",
            true, "@/RIZ Adizuv"},
        TSharedFolderCase{"PlatformWhenMakerKeyMissing",
                          std::string(Platform) + "CommonFilesDir=@\n", true, "@/RIZ Adizuv"},
        TSharedFolderCase{"PlatformWhenMakerValueMissing",
                          std::string(Maker) + "Other=x\n" + Platform + "CommonFilesDir=@\n", true,
                          "@/RIZ Adizuv"},
        TSharedFolderCase{
            "MakerValueOfOtherTypeCountsAsMissing",
            std::string(Maker) + "TVCommonFiles=dword:0000002a\n" + Platform + "CommonFilesDir=@\n",
            true, "@/RIZ Adizuv"},
        TSharedFolderCase{"NoRegistryFileGivesPlatformDefault", "", false, "/usr/lib/RIZ Adizuv"},
        TSharedFolderCase{"PlatformKeyWithoutValueGivesDefault",
                          std::string(Platform) + "Other=x\n", true, "/usr/lib/RIZ Adizuv"},
        TSharedFolderCase{"EmptyPlatformValueGivesNone",
                          std::string(Platform) + "CommonFilesDir=\n", true, ""},
        TSharedFolderCase{"PlatformValueOfOtherTypeGivesNone",
                          std::string(Platform) + "CommonFilesDir=dword:00000001\n", true, ""},
        TSharedFolderCase{"EmptyMakerValueGivesNone", std::string(Maker) + "TVCommonFiles=\n", true,
                          ""},
        TSharedFolderCase{"RelativeMakerValueGivesNone",
                          std::string(Maker) + "TVCommonFiles=common\n", true, ""},
        TSharedFolderCase{"NamesMatchWithoutCase",
                          "[\\SOFTWARE\\tolvane software\\PATHS\\]\ntvcommonfiles = @ \n", true,
                          "@/RIZ Adizuv"},
        TSharedFolderCase{"QuotedValue", std::string(Maker) + "TVCommonFiles=\"@\"\n", true,
                          "@/RIZ Adizuv"},
        TSharedFolderCase{"FirstValueWins",
                          std::string(Maker) + "TVCommonFiles=@\nTVCommonFiles=/other\n", true,
                          "@/RIZ Adizuv"},
        TSharedFolderCase{"CrLfLines",
                          std::string("[Software\\Tolvane Software\\Paths]\r\nTVCommonFiles=@\r\n"),
                          true, "@/RIZ Adizuv"}),
    [](const auto& Info) { return std::string(Info.param.Name); });

struct TTrailingCase {
  std::string Path;
  bool Include;
  std::string Expected;
};

void PrintTo(const TTrailingCase& Case, std::ostream* Out) {
  *Out << '"' << Case.Path << '"' << (Case.Include ? " include" : " exclude");
}

class TrailingSeparator : public ::testing::TestWithParam<TTrailingCase> {};

TEST_P(TrailingSeparator, AddsOrRemovesOne) {
  EXPECT_EQ(SetTrailingBackslash(GetParam().Path, GetParam().Include), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TrailingSeparator,
    ::testing::Values(TTrailingCase{"", true, ""}, TTrailingCase{"", false, ""},
                      TTrailingCase{"/a", true, "/a/"}, TTrailingCase{"/a/", true, "/a/"},
                      TTrailingCase{"/a/", false, "/a"}, TTrailingCase{"/a//", false, "/a/"},
                      TTrailingCase{"/a", false, "/a"}, TTrailingCase{"/", false, ""}));

// --- search and binding --------------------------------------------------------

TEST_F(BindingTest, SharedFolderCopyWinsOverTheProgramFolder) {
  RegisterCommonFiles();
  Put(FakeRelCheck, FShared, "relcheck.so");
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FShared / "relcheck.so").string());
  Libraries.ShowRelCheckDialog(1);
  const auto Lines = Records();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(SplitTabs(Lines[0]).at(1), (FShared / "relcheck.so").string());
}

TEST_F(BindingTest, ProgramFolderCopyWhenTheSharedFolderHasNone) {
  RegisterCommonFiles();
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FProgram / "relcheck.so").string());
}

TEST_F(BindingTest, PlatformValueIsUsedWhenTheMakerKeyIsMissing) {
  WriteRegistry(std::string(Platform) + "CommonFilesDir=" + FCommon.string() + "\n");
  Put(FakeRelCheck, FShared, "relcheck.so");
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FShared / "relcheck.so").string());
}

TEST_F(BindingTest, NothingFoundMeansNotBound) {
  RegisterCommonFiles();
  TCompanionLibraries Libraries(ProgramFolder());
  EXPECT_FALSE(Libraries.LoadUpdateLibrary());
  EXPECT_FALSE(Libraries.LoadAboutLibrary());
  EXPECT_FALSE(Libraries.UpdateBound());
  EXPECT_FALSE(Libraries.AboutBound());
}

// A file that loads but lacks the export is treated exactly like no file.
struct TBadLibraryCase {
  const char* Name;
  bool IsDirectory;
  const char* Contents;  // nullptr: the library without the expected export
};

void PrintTo(const TBadLibraryCase& Case, std::ostream* Out) { *Out << Case.Name; }

class BadLibrary : public BindingTest, public ::testing::WithParamInterface<TBadLibraryCase> {
protected:
  void Plant(const fs::path& Folder, const std::string& FileName) const {
    if (GetParam().IsDirectory)
      fs::create_directory(Folder / FileName);
    else if (GetParam().Contents)
      std::ofstream(Folder / FileName, std::ios::binary) << GetParam().Contents;
    else
      Put(NoExport, Folder, FileName);
  }
};

TEST_P(BadLibrary, LeavesBothSlotsUnbound) {
  RegisterCommonFiles();
  Plant(FShared, "relcheck.so");
  Plant(FProgram, "about.so");
  TCompanionLibraries Libraries(ProgramFolder());
  EXPECT_FALSE(Libraries.LoadUpdateLibrary());
  EXPECT_FALSE(Libraries.LoadAboutLibrary());
  EXPECT_FALSE(Libraries.UpdateBound());
  EXPECT_EQ(Libraries.UpdateFileName(), "");
  EXPECT_EQ(Libraries.AboutFileName(), "");
  Libraries.ShowRelCheckDialog(1);  // unbound: nothing is called
  const unsigned char Empty[1] = {0};
  EXPECT_FALSE(Libraries.ShowAboutDialog(1, Empty, Empty, Empty, Empty, 0));
  Libraries.FreeAboutLibrary();  // releasing what was never kept is harmless
  Libraries.FreeUpdateLibrary();
  EXPECT_TRUE(Records().empty());
}

INSTANTIATE_TEST_SUITE_P(Files, BadLibrary,
                         ::testing::Values(TBadLibraryCase{"WithoutExport", false, nullptr},
                                           TBadLibraryCase{"NotALibrary", false,
                                                           "not an ELF file\n"},
                                           TBadLibraryCase{"EmptyFile", false, ""},
                                           TBadLibraryCase{"Directory", true, nullptr}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// A copy cut inside its loadable segments (an interrupted copy into the
// shared folder), or one built for another class or machine, counts as
// absent. Loaded in a child process: the cut copy used to end it with SIGBUS.
enum class TDamage { CutInLastSegment, CutInFirstSegment, OtherClass, OtherMachine };

std::string Damaged(std::string Image, TDamage Damage) {
  ElfW(Ehdr) Header;
  std::memcpy(&Header, Image.data(), sizeof Header);
  uint64_t LastStart = 0, LastSize = 0;
  for (unsigned i = 0; i < Header.e_phnum; ++i) {
    ElfW(Phdr) Segment;
    std::memcpy(&Segment, Image.data() + Header.e_phoff + i * sizeof Segment, sizeof Segment);
    if (Segment.p_type == PT_LOAD && Segment.p_filesz > 0 && Segment.p_offset >= LastStart)
      LastStart = Segment.p_offset, LastSize = Segment.p_filesz;
  }
  switch (Damage) {
    case TDamage::CutInLastSegment: Image.resize(LastStart + LastSize / 2); break;
    case TDamage::CutInFirstSegment:
      Image.resize(Header.e_phoff + Header.e_phnum * sizeof(ElfW(Phdr)) + 8);
      break;
    case TDamage::OtherClass: Image[EI_CLASS] = ELFCLASS32; break;
    case TDamage::OtherMachine: Image[offsetof(ElfW(Ehdr), e_machine)] ^= 0x40; break;
  }
  return Image;
}

TEST_F(BindingTest, CutOrForeignLibraryCountsAsAbsent) {
  RegisterCommonFiles();
  for (TDamage Damage : {TDamage::CutInLastSegment, TDamage::CutInFirstSegment, TDamage::OtherClass,
                         TDamage::OtherMachine}) {
    std::ofstream(FShared / "relcheck.so", std::ios::binary)
        << Damaged(ReadFile(FakeRelCheck), Damage);
    std::ofstream(FProgram / "about.so", std::ios::binary)
        << Damaged(ReadFile(AboutRecorder), Damage);
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
      TCompanionLibraries Libraries(ProgramFolder());
      const bool Update = Libraries.LoadUpdateLibrary(), About = Libraries.LoadAboutLibrary();
      _exit(Update || About ? 1 : 0);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0)
        << "damage " << static_cast<int>(Damage) << ": status " << Status;
  }
  // An intact copy still loads.
  Put(FakeRelCheck, FShared, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  EXPECT_TRUE(Libraries.LoadUpdateLibrary());
}

TEST_F(BindingTest, DirectoryOfTheNameInTheSharedFolderFallsThroughToTheProgramFolder) {
  RegisterCommonFiles();
  fs::create_directory(FShared / "relcheck.so");
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FProgram / "relcheck.so").string());
}

TEST_F(BindingTest, TheFirstCopyFoundDecidesEvenWithoutItsExport) {
  RegisterCommonFiles();
  Put(NoExport, FShared, "relcheck.so");
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  EXPECT_FALSE(Libraries.LoadUpdateLibrary());
}

TEST_F(BindingTest, TheTwoLibrariesMayComeFromDifferentFolders) {
  RegisterCommonFiles();
  Put(FakeRelCheck, FShared, "relcheck.so");
  Put(AboutRecorder, FProgram, "about.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  ASSERT_TRUE(Libraries.LoadAboutLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FShared / "relcheck.so").string());
  EXPECT_EQ(Libraries.AboutFileName(), (FProgram / "about.so").string());
}

TEST_F(BindingTest, NothingIsLoadedFromASharedFolderNameInTheCurrentFolder) {
  WriteRegistry(std::string(Platform) + "CommonFilesDir=\n");
  fs::create_directory(FCwd / "RIZ Adizuv");
  Put(FakeRelCheck, FCwd / "RIZ Adizuv", "relcheck.so");
  Put(AboutRecorder, FCwd / "RIZ Adizuv", "about.so");
  {
    TCompanionLibraries Libraries(ProgramFolder());
    EXPECT_FALSE(Libraries.LoadUpdateLibrary());
    EXPECT_FALSE(Libraries.LoadAboutLibrary());
  }
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  EXPECT_EQ(Libraries.UpdateFileName(), (FProgram / "relcheck.so").string());
}

TEST_F(BindingTest, ReleasedLibrariesAreUnboundAndMayBeReleasedAgain) {
  RegisterCommonFiles();
  Put(FakeRelCheck, FShared, "relcheck.so");
  Put(AboutRecorder, FShared, "about.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  ASSERT_TRUE(Libraries.LoadAboutLibrary());
  Libraries.FreeAboutLibrary();
  Libraries.FreeUpdateLibrary();
  EXPECT_FALSE(Libraries.UpdateBound());
  EXPECT_FALSE(Libraries.AboutBound());
  Libraries.FreeAboutLibrary();
  Libraries.FreeUpdateLibrary();
  Libraries.ShowRelCheckDialog(1);
  EXPECT_TRUE(Records().empty());
}

TEST(DynLib, RefusesPathsThatAreNotFull) {
  std::string Error;
  EXPECT_FALSE(platform::TDynLib::Open("relcheck.so", &Error));
  EXPECT_FALSE(Error.empty());
  EXPECT_FALSE(platform::TDynLib::Open("RIZ Adizuv/relcheck.so"));
  EXPECT_FALSE(platform::TDynLib::Open(""));
}

// --- the exact calls -----------------------------------------------------------

TEST_F(BindingTest, UpdateCheckGetsTheWindowAnEmptyVersionTheSectionAndAnEmptyAddress) {
  RegisterCommonFiles();
  Put(FakeRelCheck, FProgram, "relcheck.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadUpdateLibrary());
  Libraries.ShowRelCheckDialog(0x1234);
  const auto Lines = Records();
  ASSERT_EQ(Lines.size(), 1u);
  const auto Fields = SplitTabs(Lines[0]);
  const std::vector<std::string> Expected = {
      "showrelcheckdialog_v1_11", (FProgram / "relcheck.so").string(),
      "AppHandle=4660",           "CurrentVersion=0:",
      "Section=8:chronark",       "UpdateURL=0:"};
  EXPECT_EQ(Fields, Expected);
}

TEST_F(BindingTest, AboutGetsCopiesOfTheTextsInOrder) {
  RegisterCommonFiles();
  Put(AboutRecorder, FShared, "about.so");
  TCompanionLibraries Libraries(ProgramFolder());
  ASSERT_TRUE(Libraries.LoadAboutLibrary());
  const TShortString Name = MakeShortString("Chronark ");
  const TShortString Two = MakeShortString("2");
  const TShortString Three = MakeShortString("");
  const TShortString Four = MakeShortString("vier");
  ASSERT_TRUE(Libraries.ShowAboutDialog(7, ShortStringArg(Name), ShortStringArg(Two),
                                        ShortStringArg(Three), ShortStringArg(Four), 99));
  const auto Lines = Records();
  ASSERT_EQ(Lines.size(), 1u);
  const auto Fields = SplitTabs(Lines[0]);
  const std::vector<std::string> Expected = {"showaboutdialog_v1_1",
                                             (FShared / "about.so").string(),
                                             "Owner=7",
                                             "Name=9:Chronark ",
                                             "Text2=1:2",
                                             "Text3=0:",
                                             "Text4=4:vier",
                                             "IconHandle=99"};
  EXPECT_EQ(Fields, Expected);
}

TEST(ShortString, LengthByteThenCharactersCutTo255) {
  const TShortString Name = MakeShortString("Chronark ");
  const unsigned char* Short = ShortStringArg(Name);
  EXPECT_EQ(Short[0], 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Short + 1), Short[0]), "Chronark ");
  const TShortString Long = MakeShortString(std::string(300, 'x'));
  EXPECT_EQ(ShortStringArg(Long)[0], 255);
  EXPECT_EQ(ShortStringArg(Long)[255], 'x');
}

TEST(AboutFallback, NamesTheMakerThenAnEmptyLineThenTheHomePage) {
  const std::string Text = AboutFallbackText();
  const size_t Gap = Text.find("\n\n");
  ASSERT_NE(Gap, std::string::npos);
  EXPECT_NE(Text.substr(0, Gap).find("Tolvane Software"), std::string::npos);
  EXPECT_EQ(Text.substr(Gap + 2), "https://www.tolvane-software.example/");
}

}  // namespace
}  // namespace chronark
