#include "platform/files/safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/exceptions.h"
#include "platform/files/paths.h"

namespace chronark {

namespace {

constexpr size_t BufferSize = 1 << 20;

std::string Folder(const std::string& Path) {
  const std::string F = ExtractFilePath(Path);
  return F.empty() ? std::string("./") : F;
}

// The process's umask without changing it (umask() would, for a moment).
mode_t CurrentUmask() {
  if (FILE* F = std::fopen("/proc/self/status", "re")) {
    char Line[256];
    while (std::fgets(Line, sizeof Line, F)) {
      unsigned Mask;
      if (std::sscanf(Line, "Umask: %o", &Mask) == 1) {
        std::fclose(F);
        return mode_t(Mask);
      }
    }
    std::fclose(F);
  }
  return 022;
}

bool WriteAll(int Fd, const char* Data, size_t Size, int& Error) {
  while (Size > 0) {
    const ssize_t N = ::write(Fd, Data, Size);
    if (N < 0) {
      if (errno == EINTR) continue;
      Error = errno;
      return false;
    }
    Data += N;
    Size -= size_t(N);
  }
  return true;
}

// The descriptor number when Name or a link on its way is /dev/fd/N or
// /proc/self/fd/N (as /dev/stdout is); -1 otherwise.
int DescriptorOf(const std::string& Name) {
  const std::string Own = "/proc/" + std::to_string(::getpid()) + "/fd/";
  std::string Path = Name;
  for (int Hop = 0; Hop < 40; ++Hop) {
    for (const std::string& Prefix :
         {std::string("/dev/fd/"), std::string("/proc/self/fd/"), Own}) {
      if (Path.size() > Prefix.size() && Path.compare(0, Prefix.size(), Prefix) == 0 &&
          Path.find_first_not_of("0123456789", Prefix.size()) == std::string::npos &&
          Path.size() - Prefix.size() < 9)
        return std::stoi(Path.substr(Prefix.size()));
    }
    char Buf[4096];
    const ssize_t N = ::readlink(Path.c_str(), Buf, sizeof Buf);
    if (N < 0 || size_t(N) >= sizeof Buf) return -1;
    const std::string Link(Buf, size_t(N));
    Path = (!Link.empty() && Link[0] == '/') ? Link : ExtractFilePath(Path) + Link;
  }
  return -1;
}

}  // namespace

std::string ResolveSymlinks(const std::string& FileName) {
  std::string Path = FileName;
  // As many hops as the kernel allows before ELOOP.
  for (int Hop = 0; Hop < 40; ++Hop) {
    struct stat St;
    if (lstat(Path.c_str(), &St) != 0 || !S_ISLNK(St.st_mode)) return Path;
    std::vector<char> Buf(size_t(St.st_size) + 1 > 256 ? size_t(St.st_size) + 1 : 256);
    const ssize_t N = readlink(Path.c_str(), Buf.data(), Buf.size());
    if (N < 0 || size_t(N) >= Buf.size()) return Path;
    std::string Link(Buf.data(), size_t(N));
    Path = (!Link.empty() && Link[0] == '/') ? Link : ExtractFilePath(Path) + Link;
  }
  return Path;
}

TSafeFileWriter::TSafeFileWriter(const std::string& FileName)
    : FFileName(FileName), FTarget(ResolveSymlinks(FileName)) {
  // An empty name is no file; its temporary file would be made and then
  // have nowhere to be renamed to.
  if (FFileName.empty()) Fail("Cannot create file", ENOENT);
  struct stat St;
  // /dev/stdout and its kin are the caller's open descriptor: written
  // through it, so that a redirection (also an appending one) gets the data.
  if (const int Inherited = DescriptorOf(FFileName); Inherited >= 0) {
    FFd = ::fcntl(Inherited, F_DUPFD_CLOEXEC, 0);
    if (FFd < 0) Fail("Cannot create file", errno);
    FInPlace = true;
    FBuffer.reserve(BufferSize);
    return;
  }
  // A device or pipe is written to, never replaced; it is opened by the
  // name given.
  if (::stat(FFileName.c_str(), &St) == 0 && !S_ISREG(St.st_mode) && !S_ISDIR(St.st_mode)) {
    FFd = ::open(FFileName.c_str(), O_WRONLY | O_CLOEXEC);
    if (FFd < 0) Fail("Cannot create file", errno);
    FInPlace = true;
    FBuffer.reserve(BufferSize);
    return;
  }
  const bool Exists = ::stat(FTarget.c_str(), &St) == 0;
  if (Exists && S_ISDIR(St.st_mode)) Fail("Cannot create file", EISDIR);
  // A file the user may not write stays protected, although the rename
  // would get past its permission bits.
  if (Exists && ::faccessat(AT_FDCWD, FTarget.c_str(), W_OK, AT_EACCESS) != 0)
    Fail("Cannot create file", errno);

  std::string Templ = Folder(FTarget) + "." + ExtractFileName(FTarget) + ".XXXXXX";
  FFd = ::mkostemp(Templ.data(), O_CLOEXEC);
  if (FFd >= 0) {
    FTempName = Templ;
    // mkstemp gives 0600; the new file gets what the old one had, or what a
    // plainly created file would get.
    const mode_t Mode = Exists ? (St.st_mode & 07777) : (0666 & ~CurrentUmask());
    if (Exists && (St.st_uid != ::geteuid() || St.st_gid != ::getegid()))
      (void)!::fchown(FFd, St.st_uid,
                      St.st_gid);  // best effort: others' files keep their owner if we may
    ::fchmod(FFd, Mode);
  } else {
    const int TempError = errno;
    // No temporary file for want of permission in the folder: an existing
    // file we may write (checked above) is truncated and written in place,
    // without the all-or-nothing guarantee. A missing file, or any other
    // failure, is reported with the temporary file's reason.
    if (TempError != EACCES && TempError != EPERM) Fail("Cannot create file", TempError);
    FFd = ::open(FTarget.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (FFd < 0) Fail("Cannot create file", Exists ? errno : TempError);
    FInPlace = true;
  }
  FBuffer.reserve(BufferSize);
}

TSafeFileWriter::~TSafeFileWriter() {
  if (!FCommitted) Discard();
}

void TSafeFileWriter::Discard() noexcept {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  if (!FTempName.empty()) ::unlink(FTempName.c_str());
  FTempName.clear();
}

void TSafeFileWriter::Fail(const char* What, int Error) {
  Discard();
  throw EInOutError(std::string(What) + " " + FFileName + ": " + SysErrorMessage(Error), Error);
}

void TSafeFileWriter::Flush() {
  int Error = 0;
  if (!WriteAll(FFd, FBuffer.data(), FBuffer.size(), Error)) Fail("Cannot write file", Error);
  FBuffer.clear();
}

void TSafeFileWriter::Write(const void* Data, size_t Size) {
  if (FFd < 0) Fail("Cannot write file", EBADF);
  if (FBuffer.size() + Size > BufferSize) {
    Flush();
    if (Size >= BufferSize) {
      int Error = 0;
      if (!WriteAll(FFd, static_cast<const char*>(Data), Size, Error))
        Fail("Cannot write file", Error);
      return;
    }
  }
  FBuffer.append(static_cast<const char*>(Data), Size);
}

void TSafeFileWriter::Commit() {
  if (FFd < 0) Fail("Cannot write file", EBADF);
  Flush();
  if (::fsync(FFd) != 0 && errno != EINVAL) Fail("Cannot write file", errno);
  if (::close(FFd) != 0) {
    FFd = -1;
    Fail("Cannot write file", errno);
  }
  FFd = -1;
  if (!FInPlace) {
    if (::rename(FTempName.c_str(), FTarget.c_str()) != 0) Fail("Cannot write file", errno);
    FTempName.clear();
    // The rename itself lasts only once the folder's entry is on disk.
    const int Dir = ::open(Folder(FTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir >= 0) {
      ::fsync(Dir);
      ::close(Dir);
    }
  }
  FCommitted = true;
}

void SafeWriteFile(const std::string& FileName, std::string_view Data) {
  TSafeFileWriter W(FileName);
  W.Write(Data);
  W.Commit();
}

}  // namespace chronark
