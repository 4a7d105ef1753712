#include "platform/dynlib/dynlib.h"

#include "platform/files/descriptor.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

// The ELF header of the module this code is linked into, provided by the
// linker: its class, byte order and machine are the process's own.
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((weak, visibility("hidden")));

namespace chronark::platform {
namespace {

// The loader maps every loadable segment from the file and touches it while
// relocating; a segment that reaches past the end of a cut file (an
// interrupted copy) kills the process with SIGBUS instead of failing the load.
std::string CheckLoadableFile(const std::string& FullPath) {
  const int Fd = ::open(FullPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (Fd < 0) return FullPath + ": " + std::strerror(errno);
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } Closer{Fd};
  struct stat Info {};
  if (::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) return FullPath + ": not a regular file";
  const auto Size = static_cast<uint64_t>(Info.st_size);
  ElfW(Ehdr) Header{};
  if (Size < sizeof Header || !ReadAt(Fd, 0, &Header, sizeof Header) ||
      std::memcmp(Header.e_ident, ELFMAG, SELFMAG) != 0)
    return FullPath + ": not an ELF file";
  const ElfW(Ehdr)* Own = &__ehdr_start;
  const unsigned char OwnClass =
      Own ? Own->e_ident[EI_CLASS] : (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32);
  const unsigned char OwnData =
      Own ? Own->e_ident[EI_DATA]
          : (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB);
  if (Header.e_ident[EI_CLASS] != OwnClass || Header.e_ident[EI_DATA] != OwnData ||
      (Own && Header.e_machine != Own->e_machine))
    return FullPath + ": ELF file of another class or machine";
  if (Header.e_type != ET_DYN) return FullPath + ": not a shared library";
  if (Header.e_phentsize != sizeof(ElfW(Phdr)) || Header.e_phnum == 0 ||
      Header.e_phnum == PN_XNUM || Header.e_phoff > Size ||
      Size - Header.e_phoff < uint64_t{Header.e_phnum} * sizeof(ElfW(Phdr)))
    return FullPath + ": damaged program header table";
  std::vector<ElfW(Phdr)> Segments(Header.e_phnum);
  if (!ReadAt(Fd, Header.e_phoff, Segments.data(), Segments.size() * sizeof(ElfW(Phdr))))
    return FullPath + ": damaged program header table";
  for (const ElfW(Phdr) & Segment : Segments) {
    if (Segment.p_type != PT_LOAD && Segment.p_type != PT_DYNAMIC) continue;
    if (Segment.p_offset > Size || Size - Segment.p_offset < Segment.p_filesz)
      return FullPath + ": file is shorter than its segments (cut off?)";
  }
  return {};
}

}  // namespace

TDynLib::TDynLib(TDynLib&& Other) noexcept
    : FHandle(std::exchange(Other.FHandle, nullptr)), FFileName(std::move(Other.FFileName)) {}

TDynLib& TDynLib::operator=(TDynLib&& Other) noexcept {
  if (this != &Other) {
    Release();
    FHandle = std::exchange(Other.FHandle, nullptr);
    FFileName = std::move(Other.FFileName);
  }
  return *this;
}

TDynLib TDynLib::Open(const std::string& FullPath, std::string* Error) {
  TDynLib Lib;
  if (FullPath.empty() || FullPath.front() != '/') {
    if (Error) *Error = "not a full path: " + FullPath;
    return Lib;
  }
  if (std::string Problem = CheckLoadableFile(FullPath); !Problem.empty()) {
    if (Error) *Error = std::move(Problem);
    return Lib;
  }
  Lib.FHandle = dlopen(FullPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Lib.FHandle) {
    if (Error) {
      const char* Text = dlerror();
      *Error = Text ? Text : "cannot load " + FullPath;
    }
    return Lib;
  }
  Lib.FFileName = FullPath;
  return Lib;
}

void* TDynLib::Symbol(const char* Name) const {
  if (!FHandle || !Name) return nullptr;
  return dlsym(FHandle, Name);
}

void TDynLib::Release() {
  if (FHandle) {
    dlclose(std::exchange(FHandle, nullptr));
    FFileName.clear();
  }
}

}  // namespace chronark::platform
