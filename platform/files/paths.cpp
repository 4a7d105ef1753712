#include "platform/files/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace chronark {

std::string ProgramFileName() {
  std::vector<char> Buf(PATH_MAX);
  for (;;) {
    const ssize_t N = readlink("/proc/self/exe", Buf.data(), Buf.size());
    if (N < 0) return std::string();
    if (size_t(N) < Buf.size()) return std::string(Buf.data(), size_t(N));
    Buf.resize(Buf.size() * 2);
  }
}

std::string ProgramFolder() { return ExtractFilePath(ProgramFileName()); }

std::string ExtractFileName(std::string_view Path) {
  const size_t P = Path.rfind('/');
  return std::string(P == std::string_view::npos ? Path : Path.substr(P + 1));
}

std::string ExtractFilePath(std::string_view Path) {
  const size_t P = Path.rfind('/');
  return P == std::string_view::npos ? std::string() : std::string(Path.substr(0, P + 1));
}

std::string SysErrorMessage(int Error) {
  char Buf[256];
  // The GNU strerror_r returns its text, which may or may not be Buf.
  return strerror_r(Error, Buf, sizeof Buf);
}

bool FileExists(const std::string& FileName) {
  struct stat St;
  return stat(FileName.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool PathPresent(const std::string& FileName) {
  struct stat St;
  return stat(FileName.c_str(), &St) == 0 || errno == ELOOP;
}

std::string HomeFolder() {
  if (const char* Home = std::getenv("HOME"); Home && *Home) return Home;
  // getpwuid_r's buffer: the size the system suggests, grown on ERANGE.
  long Suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> Buf(Suggested > 0 ? size_t(Suggested) : 4096);
  struct passwd Entry, *Found = nullptr;
  while (getpwuid_r(getuid(), &Entry, Buf.data(), Buf.size(), &Found) == ERANGE)
    Buf.resize(Buf.size() * 2);
  return Found && Found->pw_dir ? std::string(Found->pw_dir) : std::string();
}

std::string UserDataFolder() {
  if (const char* Xdg = std::getenv("XDG_DATA_HOME"); Xdg && *Xdg == '/') return Xdg;
  return HomeFolder() + "/.local/share";
}

}  // namespace chronark
