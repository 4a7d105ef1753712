#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace chronark::test {

namespace {

sockaddr_in LoopbackAddress(uint16_t Port) {
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(Port);
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return A;
}

}  // namespace

int BindLoopback(uint16_t& Port, int Backlog) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A = LoopbackAddress(0);
  socklen_t Len = sizeof A;
  if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      (Backlog > 0 && ::listen(Fd, Backlog) != 0) ||
      ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) != 0) {
    if (Fd >= 0) ::close(Fd);
    return -1;
  }
  Port = ntohs(A.sin_port);
  return Fd;
}

std::string FreeLoopbackPort() {
  uint16_t Port = 0;
  const int Fd = BindLoopback(Port);
  if (Fd >= 0) ::close(Fd);
  return std::to_string(Port);
}

int ConnectLoopback(uint16_t Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in A = LoopbackAddress(Port);
  if (Fd >= 0 && ::connect(Fd, reinterpret_cast<const sockaddr*>(&A), sizeof A) == 0) return Fd;
  if (Fd >= 0) ::close(Fd);
  return -1;
}

}  // namespace chronark::test
