#include "platform/files/descriptor.h"

#include <unistd.h>

#include <cerrno>

namespace chronark {

void TFileDescriptor::Reset(int Fd) noexcept {
  if (FFd >= 0) ::close(FFd);
  FFd = Fd;
}

int TFileDescriptor::Close() noexcept {
  if (FFd < 0) return 0;
  return ::close(std::exchange(FFd, -1));
}

bool ReadToEnd(int Fd, std::string& Text) {
  char Buf[65536];
  for (;;) {
    const ssize_t N = ::read(Fd, Buf, sizeof Buf);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) return false;
    if (N == 0) return true;
    Text.append(Buf, size_t(N));
  }
}

}  // namespace chronark
