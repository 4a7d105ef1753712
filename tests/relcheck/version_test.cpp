#include "platform/version/version.h"
#include "platform/version/versionblock.h"
#include "support/testfs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace chronark {
namespace {

std::string ReadFile(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

void WriteFile(const std::string& Name, const std::string& Data) {
  std::ofstream(Name, std::ios::binary) << Data;
}

using test::TScopedEnv;
using TTempFolder = test::TTempDir;

TEST(ReadVersionString, ReadsOwnBlockIgnoringKeyCase) {
  const std::string Self = HostExecutableName();
  EXPECT_EQ(ReadVersionString(Self, "FileVersion"), "3.1.4.15");
  EXPECT_EQ(ReadVersionString(Self, "fileVERSION"), "3.1.4.15");
  EXPECT_EQ(ReadVersionString(Self, "Empty"), "");
  EXPECT_EQ(ReadVersionString(Self, "ProductName"), "");
}

TEST(ReadVersionString, StoresValuesInTheTranslationsCodePage) {
  EXPECT_EQ(ReadVersionString(HostExecutableName(), "Comments"),
            "Gr\xFC\xDF"
            "e; \x80 \x96 \"ok\" = ja");
}

TEST(ReadVersionString, ProgramWithoutBlockHasNoVersion) {
  EXPECT_EQ(ReadVersionString(PROBE_NOVERSION, "FileVersion"), "");
}

TEST(ReadVersionString, OnlyTheFirstTranslationCounts) {
  EXPECT_EQ(ReadVersionString(PROBE_SECONDTRANSLATION, "FileVersion"), "");
  EXPECT_EQ(ReadVersionString(PROBE_SECONDTRANSLATION, "ProductName"), "Other");
}

TEST(ReadVersionString, ChronarksVersionData) {
  const std::pair<const char*, const char*> Expected[] = {
      {"FileDescription", "Chronark Executable"},
      {"InternalName", "chronark"},
      {"OriginalFilename", "chronark.exe"},
      {"ProductName", "Chronark"},
      {"FileVersion", "1.0.2002.624"},
      {"ProductVersion", "1.0.2002.624"},
      {"CompanyName", ""},
      {"LegalTrademarks", ""},
      {"Comments", ""}};
  for (const auto& [Key, Value] : Expected)
    EXPECT_EQ(ReadVersionString(PROBE_CHRONARK, Key), Value) << Key;
  std::string Image = ReadFile(PROBE_CHRONARK);
  size_t At = Image.find(std::string(VersionBlockMagic));
  ASSERT_NE(At, std::string::npos);
  auto Block =
      std::span(reinterpret_cast<const unsigned char*>(Image.data()) + At, Image.size() - At);
  EXPECT_EQ(FirstTranslation(Block), 0x04E40407u);
}

// A package upgrade replaces or deletes the program file while it runs; the
// running program still reports its own version, not the new file's or none.
TEST(ReadRunningVersionString, SurvivesTheProgramFileBeingReplaced) {
  TTempFolder Folder;
  const std::string Program = Folder.Path() + "/prog", Other = Folder.Path() + "/other";
  auto Run = [](const std::string& Command) {
    std::string Out;
    if (FILE* Pipe = ::popen(Command.c_str(), "r")) {
      char Buffer[256];
      while (size_t Got = std::fread(Buffer, 1, sizeof Buffer, Pipe)) Out.append(Buffer, Got);
      EXPECT_EQ(::pclose(Pipe), 0) << Command;
    }
    return Out;
  };
  auto Copy = [](const std::string& From, const std::string& To) {
    WriteFile(To, ReadFile(From));
    ASSERT_EQ(::chmod(To.c_str(), 0700), 0);
  };
  Copy(PROBE_SELFVERSION, Program);
  Copy(PROBE_NOVERSION, Other);
  EXPECT_EQ(Run(Program + " " + Other + " " + Program), "1.0.2002.624");
  EXPECT_EQ(ReadVersionString(Program, "FileVersion"), "");  // the new file has none
  Copy(PROBE_SELFVERSION, Program);
  EXPECT_EQ(Run(Program + " " + Program), "1.0.2002.624");
}

TEST(ReadVersionString, UnreadableOrForeignFilesHaveNoVersion) {
  TTempFolder Folder;
  const std::string Self = ReadFile(HostExecutableName());
  const std::string Cases[] = {"", "plain text, not a program",
                               "\x7f"
                               "ELF",
                               Self.substr(0, 64), Self.substr(0, Self.size() / 2)};
  int i = 0;
  for (const auto& Data : Cases) {
    const std::string Name = Folder.Folder() + "/case" + std::to_string(i++);
    WriteFile(Name, Data);
    EXPECT_EQ(ReadVersionString(Name, "FileVersion"), "") << Name;
  }
  EXPECT_EQ(ReadVersionString(Folder.Folder(), "FileVersion"), "");
  EXPECT_EQ(ReadVersionString(Folder.Folder() + "/missing", "FileVersion"), "");
  // A pipe without writer: opening it must not wait for one.
  const std::string Fifo = Folder.Folder() + "/fifo";
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  EXPECT_EQ(ReadVersionString(Fifo, "FileVersion"), "");
}

// A minimal ELF image with the sections null, .shstrtab and .versioninfo
// (or NOBITS in its place), in either class and byte order.
std::string BuildElf(bool Wide, bool BigEndian, const std::string& Block, uint32_t BlockType = 1) {
  auto Put = [BigEndian](std::string& Out, size_t At, uint64_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i)
      Out[At + (BigEndian ? Bytes - 1 - i : i)] = static_cast<char>((Value >> (8 * i)) & 0xFF);
  };
  const std::string Names = std::string("\0.shstrtab\0.versioninfo\0", 25);
  const size_t HeaderSize = Wide ? 64 : 52, EntrySize = Wide ? 64 : 40;
  const size_t NamesAt = HeaderSize, BlockAt = NamesAt + Names.size(),
               TableAt = BlockAt + Block.size();
  std::string Image(TableAt + 3 * EntrySize, '\0');
  Image.replace(0, 4,
                "\x7f"
                "ELF");
  Image[4] = Wide ? 2 : 1;
  Image[5] = BigEndian ? 2 : 1;
  Image[6] = 1;
  Put(Image, Wide ? 0x28 : 0x20, TableAt, Wide ? 8 : 4);
  Put(Image, Wide ? 0x3A : 0x2E, EntrySize, 2);
  Put(Image, Wide ? 0x3C : 0x30, 3, 2);
  Put(Image, Wide ? 0x3E : 0x32, 1, 2);
  Image.replace(NamesAt, Names.size(), Names);
  Image.replace(BlockAt, Block.size(), Block);
  auto Section = [&](int Index, uint32_t Name, uint32_t Type, uint64_t Offset, uint64_t Size) {
    const size_t E = TableAt + Index * EntrySize;
    Put(Image, E, Name, 4);
    Put(Image, E + 4, Type, 4);
    Put(Image, E + (Wide ? 0x18 : 0x10), Offset, Wide ? 8 : 4);
    Put(Image, E + (Wide ? 0x20 : 0x14), Size, Wide ? 8 : 4);
  };
  Section(1, 1, 3, NamesAt, Names.size());
  Section(2, 11, BlockType, BlockAt, Block.size());
  return Image;
}

std::string SampleBlock(const std::string& Value = "1.2.3.4") {
  std::string Raw(VersionBlockMagic);
  Raw += std::string(16, '\0');
  Raw += std::string(
      "\x01\x00"
      "\x07\x04\xE4\x04"
      "\x01\x00",
      8);
  Raw += std::string(
      "\x0B\x00"
      "FileVersion",
      13);
  Raw += static_cast<char>(Value.size() & 0xFF);
  Raw += static_cast<char>(Value.size() >> 8);
  return Raw + Value;
}

TEST(ReadVersionString, EveryElfClassAndByteOrder) {
  TTempFolder Folder;
  int i = 0;
  for (bool Wide : {false, true}) {
    for (bool BigEndian : {false, true}) {
      const std::string Name = Folder.Folder() + "/elf" + std::to_string(i++);
      WriteFile(Name, BuildElf(Wide, BigEndian, SampleBlock()));
      EXPECT_EQ(ReadVersionString(Name, "FileVersion"), "1.2.3.4") << Wide << BigEndian;
      WriteFile(Name, BuildElf(Wide, BigEndian, SampleBlock(), /*NOBITS*/ 8));
      EXPECT_EQ(ReadVersionString(Name, "FileVersion"), "") << Wide << BigEndian;
    }
  }
}

TEST(ReadVersionString, ValueEndsAtTheFirstNul) {
  TTempFolder Folder;
  const std::string Name = Folder.Path() + "/nul";
  WriteFile(Name, BuildElf(true, false, SampleBlock(std::string("1.2.3.4\0\x1b[2J9.9.9.9", 19))));
  EXPECT_EQ(ReadVersionString(Name, "FileVersion"), "1.2.3.4");
  WriteFile(Name, BuildElf(true, false,
                           SampleBlock(std::string("\0"
                                                   "1.2.3.4",
                                                   8))));
  EXPECT_EQ(ReadVersionString(Name, "FileVersion"), "");
}

// A block with two strings, then every shorter prefix of it: none may be read
// past its end, and a cut block yields nothing rather than half a value.
TEST(FindVersionString, TruncatedBlocksYieldNothing) {
  std::string Raw(VersionBlockMagic);
  Raw += std::string(16, '\0');
  Raw += std::string(
      "\x01\x00"
      "\x07\x04\xE4\x04"
      "\x02\x00",
      8);
  Raw += std::string(
      "\x01\x00"
      "A"
      "\x02\x00"
      "xy"
      "\x0B\x00"
      "FileVersion"
      "\x03\x00"
      "1.2",
      25);
  auto Bytes = [&](size_t Length) {
    return std::span(reinterpret_cast<const unsigned char*>(Raw.data()), Length);
  };
  EXPECT_EQ(FindVersionString(Bytes(Raw.size()), "FileVersion"), "1.2");
  EXPECT_EQ(FindVersionString(Bytes(Raw.size()), "a"), "xy");
  for (size_t Length = 0; Length < Raw.size(); ++Length)
    EXPECT_EQ(FindVersionString(Bytes(Length), "FileVersion"), std::nullopt) << Length;
}

TEST(MakeTempFileName, CreatesPrivateEmptyFilesWithPrefix) {
  TTempFolder Folder;
  TScopedEnv Env("TMPDIR", Folder.Folder().c_str());
  mode_t OldMask = ::umask(0);
  std::set<std::string> Names;
  for (int i = 0; i < 20; ++i) Names.insert(MakeTempFileName());
  ::umask(OldMask);
  EXPECT_EQ(Names.size(), 20u);
  for (const auto& Name : Names) {
    const std::string Base = Name.substr(Folder.Folder().size() + 1);
    EXPECT_EQ(Name.substr(0, Folder.Folder().size() + 1), Folder.Folder() + "/");
    EXPECT_EQ(Base.substr(0, 3), "XYZ");
    EXPECT_EQ(Base.substr(Base.size() - 4), ".tmp");
    struct stat Info {};
    ASSERT_EQ(::lstat(Name.c_str(), &Info), 0);
    EXPECT_TRUE(S_ISREG(Info.st_mode));
    EXPECT_EQ(Info.st_mode & 0777, 0600u);
    EXPECT_EQ(Info.st_size, 0);
  }
  EXPECT_EQ(Folder.Entries().size(), 20u);
}

TEST(MakeTempFileName, FallsBackToTmpAndFailsAsEmpty) {
  {
    TScopedEnv Env("TMPDIR", nullptr);
    const std::string Name = MakeTempFileName();
    EXPECT_EQ(Name.substr(0, 8), "/tmp/XYZ");
    ::unlink(Name.c_str());
  }
  TScopedEnv Env("TMPDIR", "/nonexistent-folder-of-relcheck");
  EXPECT_EQ(MakeTempFileName(), "");
}

TEST(MakeTempFileName, NeverReusesAnExistingName) {
  // A link planted under a would-be name must stay untouched: creation is
  // exclusive and does not follow links.
  TTempFolder Folder;
  TScopedEnv Env("TMPDIR", (Folder.Folder() + "/").c_str());
  const std::string Target = Folder.Folder() + "/target";
  WriteFile(Target, "keep");
  const std::string First = MakeTempFileName();
  ASSERT_FALSE(First.empty());
  EXPECT_EQ(First.find("//"), std::string::npos);
  ASSERT_EQ(::unlink(First.c_str()), 0);
  ASSERT_EQ(::symlink(Target.c_str(), First.c_str()), 0);
  for (int i = 0; i < 50; ++i) EXPECT_NE(MakeTempFileName(), First);
  EXPECT_EQ(ReadFile(Target), "keep");
}

}  // namespace
}  // namespace chronark
