#include "platform/version/version.h"

#include "platform/files/descriptor.h"
#include "platform/version/versionblock.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace chronark {
namespace {

// Limits against hostile or broken files: a version block is a few hundred
// bytes, a section name table a few kilobytes.
constexpr uint64_t MaxTableBytes = 4u << 20;
constexpr uint64_t MaxBlockBytes = 1u << 20;
constexpr uint32_t SectionTypeNoBits = 8;
constexpr uint32_t SectionIndexEscape = 0xFFFF;

// Reads ELF32 and ELF64 headers of either byte order.
class TElfFile {
public:
  explicit TElfFile(int Fd) : FFd(Fd) {}

  bool ReadHeader() {
    unsigned char Header[64] = {};
    if (!ReadAt(FFd, 0, Header, 52)) return false;
    if (std::memcmp(Header,
                    "\x7f"
                    "ELF",
                    4) != 0)
      return false;
    if (Header[4] != 1 && Header[4] != 2) return false;
    if (Header[5] != 1 && Header[5] != 2) return false;
    FWide = Header[4] == 2;
    FBigEndian = Header[5] == 2;
    if (FWide && !ReadAt(FFd, 52, Header + 52, 12)) return false;
    FTableOffset = FWide ? Num(Header + 0x28, 8) : Num(Header + 0x20, 4);
    FEntrySize = Num(Header + (FWide ? 0x3A : 0x2E), 2);
    FCount = Num(Header + (FWide ? 0x3C : 0x30), 2);
    FNamesIndex = Num(Header + (FWide ? 0x3E : 0x32), 2);
    return FTableOffset != 0 && FEntrySize >= (FWide ? 64u : 40u) && ReadTable();
  }

  // Contents of the first section called Name.
  bool FindSection(std::string_view Name, std::vector<unsigned char>& Contents) {
    std::vector<unsigned char> Names;
    if (FNamesIndex >= FCount || !SectionContents(FNamesIndex, MaxTableBytes, Names)) return false;
    for (uint64_t i = 0; i < FCount; ++i) {
      uint64_t NameOffset = Field(i, NameField);
      if (NameOffset >= Names.size()) continue;
      const char* Start = reinterpret_cast<const char*>(Names.data() + NameOffset);
      size_t Room = Names.size() - NameOffset;
      if (std::string_view(Start, strnlen(Start, Room)) == Name)
        return SectionContents(i, MaxBlockBytes, Contents);
    }
    return false;
  }

private:
  uint64_t Num(const unsigned char* P, int Bytes) const {
    uint64_t Value = 0;
    for (int i = 0; i < Bytes; ++i) {
      unsigned char B = FBigEndian ? P[i] : P[Bytes - 1 - i];
      Value = (Value << 8) | B;
    }
    return Value;
  }

  // One field of section header Index, by its offset in the ELF32 or ELF64 layout.
  uint64_t Field(uint64_t Index, int Which) const {
    static constexpr unsigned Offset32[] = {0x00, 0x04, 0x10, 0x14, 0x18};
    static constexpr unsigned Offset64[] = {0x00, 0x04, 0x18, 0x20, 0x28};
    static constexpr int Size64[] = {4, 4, 8, 8, 4};
    const unsigned char* Entry = FTable.data() + Index * FEntrySize;
    return FWide ? Num(Entry + Offset64[Which], Size64[Which]) : Num(Entry + Offset32[Which], 4);
  }
  enum { NameField = 0, TypeField = 1, OffsetField = 2, SizeField = 3, LinkField = 4 };

  bool ReadTable() {
    // Many sections: the real count and name table index sit in section 0.
    uint64_t Count = FCount == 0 ? 1 : FCount;
    if (!LoadEntries(Count)) return false;
    if (FCount == 0) {
      FCount = Field(0, SizeField);
      if (FCount == 0 || !LoadEntries(FCount)) return false;
    }
    if (FNamesIndex == SectionIndexEscape) FNamesIndex = Field(0, LinkField);
    return true;
  }

  bool LoadEntries(uint64_t Count) {
    if (Count > MaxTableBytes / FEntrySize) return false;
    FTable.resize(Count * FEntrySize);
    return ReadAt(FFd, FTableOffset, FTable.data(), FTable.size());
  }

  bool SectionContents(uint64_t Index, uint64_t Limit, std::vector<unsigned char>& Contents) {
    if (Field(Index, TypeField) == SectionTypeNoBits) return false;
    uint64_t Size = Field(Index, SizeField);
    if (Size > Limit) return false;
    Contents.resize(Size);
    return Size == 0 || ReadAt(FFd, Field(Index, OffsetField), Contents.data(), Size);
  }

  int FFd;
  bool FWide{false};
  bool FBigEndian{false};
  uint64_t FTableOffset{0};
  uint64_t FEntrySize{0};
  uint64_t FCount{0};
  uint64_t FNamesIndex{0};
  std::vector<unsigned char> FTable;
};

// Unpredictable enough for names in a shared folder; uniqueness itself comes
// from O_EXCL.
uint32_t NextSuffix() {
  static uint64_t State = 0;
  timespec Now{};
  clock_gettime(CLOCK_REALTIME, &Now);
  State += 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(Now.tv_nsec) << 16) ^
           static_cast<uint64_t>(getpid());
  uint64_t Z = State;
  Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
  Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>(Z ^ (Z >> 31));
}

}  // namespace

std::string ReadVersionString(const std::string& FileName, const std::string& Key) {
  // Non-blocking, so that a pipe of that name cannot stall the caller; a
  // regular file reads the same either way.
  TFileDescriptor File(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (File.Get() < 0) return {};
  struct stat Info {};
  if (fstat(File.Get(), &Info) != 0 || !S_ISREG(Info.st_mode)) return {};
  TElfFile Elf(File.Get());
  std::vector<unsigned char> Block;
  if (!Elf.ReadHeader() || !Elf.FindSection(VersionSectionName, Block)) return {};
  std::string Value = FindVersionString(Block, Key).value_or(std::string());
  // The value is a zero-terminated text: what follows a NUL is not part of it.
  if (const size_t End = Value.find('\0'); End != std::string::npos) Value.resize(End);
  return Value;
}

std::string GetTempPath() {
  const char* Env = std::getenv("TMPDIR");
  std::string Folder = Env && *Env ? Env : "/tmp";
  if (Folder.back() != '/') Folder += '/';
  return Folder;
}

std::string MakeTempFileName() {
  const std::string Folder = GetTempPath();
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    char Suffix[16];
    std::snprintf(Suffix, sizeof Suffix, "%08X", NextSuffix());
    std::string Name = Folder + "XYZ" + Suffix + ".tmp";
    const TFileDescriptor Fd(
        ::open(Name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (Fd.Valid()) {
      // The umask may only take bits away; make the mode exact all the same.
      ::fchmod(Fd.Get(), 0600);
      return Name;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

std::string ReadRunningVersionString(const std::string& Key) {
  return ReadVersionString("/proc/self/exe", Key);
}

std::string HostExecutableName() {
  char Resolved[PATH_MAX];
  if (::realpath("/proc/self/exe", Resolved)) return Resolved;
  return {};
}

}  // namespace chronark
