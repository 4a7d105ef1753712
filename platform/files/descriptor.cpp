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

bool ReadAt(int Fd, uint64_t Offset, void* Buffer, size_t Length) {
  auto* Out = static_cast<unsigned char*>(Buffer);
  while (Length > 0) {
    if (Offset > static_cast<uint64_t>(INT64_MAX)) return false;
    const ssize_t Got = ::pread(Fd, Out, Length, static_cast<off_t>(Offset));
    if (Got < 0 && errno == EINTR) continue;
    if (Got <= 0) return false;
    Out += Got;
    Offset += static_cast<uint64_t>(Got);
    Length -= static_cast<size_t>(Got);
  }
  return true;
}

}  // namespace chronark
