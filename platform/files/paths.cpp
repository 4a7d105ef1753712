#include "platform/files/paths.h"

#include <cstring>
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

}  // namespace chronark
