#include "platform/files/projectlock.h"

#include "platform/files/paths.h"
#include "platform/files/safefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace chronark {

namespace {

constexpr off_t OpenByte = 0;
constexpr off_t WriteByte = 1;

[[noreturn]] void LockError(const std::string& Name, int Error) {
  throw EInOutError("Cannot create file " + Name + ": " + SysErrorMessage(Error), Error);
}

// F_OFD_SETLK(W) on one byte; false (errno set) when it could not be had.
bool LockByte(int Fd, off_t Byte, short Type, bool Wait) {
  struct flock L = {};
  L.l_type = Type;
  L.l_whence = SEEK_SET;
  L.l_start = Byte;
  L.l_len = 1;
  for (;;) {
    if (::fcntl(Fd, Wait ? F_OFD_SETLKW : F_OFD_SETLK, &L) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool ByteLockedElsewhere(int Fd, off_t Byte) {
  struct flock L = {};
  L.l_type = F_WRLCK;
  L.l_whence = SEEK_SET;
  L.l_start = Byte;
  L.l_len = 1;
  if (::fcntl(Fd, F_OFD_GETLK, &L) != 0) return false;
  return L.l_type != F_UNLCK;
}

// A folder of our own: made 0700 when missing; one that another user owns
// or others may write would let them play with our locks.
void EnsurePrivateFolder(const std::string& Folder) {
  if (::mkdir(Folder.c_str(), 0700) != 0 && errno != EEXIST) LockError(Folder, errno);
  struct stat St;
  if (::lstat(Folder.c_str(), &St) != 0) LockError(Folder, errno);
  if (!S_ISDIR(St.st_mode)) LockError(Folder, ENOTDIR);
  if (St.st_uid != ::geteuid() || (St.st_mode & 0022)) LockError(Folder, EPERM);
}

int OpenLockFile(const std::string& Name) {
  const int Fd = ::open(Name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (Fd < 0) LockError(Name, errno);
  return Fd;
}

}  // namespace

std::string PathKey(const std::string& RealPath) {
  uint64_t Hash = 14695981039346656037ull;
  for (unsigned char C : RealPath) {
    Hash ^= C;
    Hash *= 1099511628211ull;
  }
  char Buf[17];
  std::snprintf(Buf, sizeof Buf, "%016llx", static_cast<unsigned long long>(Hash));
  return Buf;
}

std::string ProjectRealPath(const std::string& FileName) {
  if (char* Real = ::realpath(FileName.c_str(), nullptr)) {
    std::string Result(Real);
    std::free(Real);
    return Result;
  }
  // Not there yet: where a save would create it, through the links on the way.
  const std::string Target = ResolveSymlinks(FileName);
  std::string Folder = ExtractFilePath(Target);
  if (Folder.empty()) Folder = "./";
  if (char* Real = ::realpath(Folder.c_str(), nullptr)) {
    std::string Result(Real);
    std::free(Real);
    return (Result == "/" ? Result : Result + "/") + ExtractFileName(Target);
  }
  if (!Target.empty() && Target[0] == '/') return Target;
  char Cwd[PATH_MAX];
  return std::string(::getcwd(Cwd, sizeof Cwd) ? Cwd : ".") + "/" + Target;
}

std::string LockFolder() {
  const char* Runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string Folder;
  if (Runtime && *Runtime == '/') {
    Folder = std::string(Runtime) + "/chronark";
  } else {
    // No runtime folder (a cron job, su): a private folder in /tmp instead.
    const char* Tmp = std::getenv("TMPDIR");
    Folder =
        std::string(Tmp && *Tmp == '/' ? Tmp : "/tmp") + "/chronark-" + std::to_string(::geteuid());
  }
  EnsurePrivateFolder(Folder);
  return Folder + "/";
}

std::string TProjectLock::LockFileName(const std::string& FileName) {
  return LockFolder() + PathKey(ProjectRealPath(FileName)) + ".lock";
}

std::string TProjectLock::SocketNameFor(const std::string& FileName) {
  return LockFolder() + PathKey(ProjectRealPath(FileName)) + ".sock";
}

TProjectLock TProjectLock::ForWriting(const std::string& FileName) {
  const std::string Name = LockFileName(FileName);
  TProjectLock Lock(OpenLockFile(Name), std::string());
  if (!LockByte(Lock.FFd, WriteByte, F_WRLCK, true)) LockError(Name, errno);
  if (ByteLockedElsewhere(Lock.FFd, OpenByte))
    throw EProjectOpen("Das Projekt \"" + FileName +
                           "\" ist in Chronark geöffnet und wird dort gespeichert. "
                           "Bitte zuerst Chronark beenden oder ein anderes Projekt öffnen.",
                       EAGAIN);
  return Lock;
}

TProjectLock TProjectLock::ForProgram(const std::string& FileName) {
  const std::string Name = LockFileName(FileName);
  TProjectLock Lock(OpenLockFile(Name), SocketNameFor(FileName));
  if (!LockByte(Lock.FFd, OpenByte, F_WRLCK, false)) {
    if (errno == EAGAIN || errno == EACCES)
      throw EProjectOpen("Das Projekt \"" + FileName + "\" ist in einem anderen Chronark geöffnet.",
                         EAGAIN);
    LockError(Name, errno);
  }
  // A writer that began before us ends its write before the project is read.
  if (LockByte(Lock.FFd, WriteByte, F_WRLCK, true)) LockByte(Lock.FFd, WriteByte, F_UNLCK, false);
  return Lock;
}

TProjectLock::~TProjectLock() { Release(); }

TProjectLock::TProjectLock(TProjectLock&& Other) noexcept
    : FFd(std::exchange(Other.FFd, -1)), FSocketName(std::move(Other.FSocketName)) {}

TProjectLock& TProjectLock::operator=(TProjectLock&& Other) noexcept {
  if (this != &Other) {
    Release();
    FFd = std::exchange(Other.FFd, -1);
    FSocketName = std::move(Other.FSocketName);
  }
  return *this;
}

void TProjectLock::Release() noexcept {
  // Closing the last descriptor of the open file description drops its
  // locks. The lock file stays: removing it would race with one being locked.
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

}  // namespace chronark
