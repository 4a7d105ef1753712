#include "support/http_server.h"

#include "support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace chronark::test {

namespace {
const char* Reason(int Status) {
  switch (Status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    default: return "Whatever";
  }
}
}  // namespace

std::string Response(int Status, const std::string& Body, const std::string& ExtraHeaders) {
  return "HTTP/1.0 " + std::to_string(Status) + " " + Reason(Status) +
         "\r\nContent-Length: " + std::to_string(Body.size()) + "\r\n" + ExtraHeaders + "\r\n" +
         Body;
}

bool TConn::Send(const std::string& Data) {
  size_t Done = 0;
  while (Done < Data.size()) {
    pollfd P[2] = {{Fd, POLLOUT, 0}, {Server.StopFd(), POLLIN, 0}};
    if (::poll(P, 2, 5000) <= 0 || (P[1].revents & POLLIN)) return false;
    const ssize_t N =
        ::send(Fd, Data.data() + Done, Data.size() - Done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (N < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (N <= 0) return false;
    Done += static_cast<size_t>(N);
  }
  return true;
}

bool TConn::Sleep(int Ms) {
  pollfd P = {Server.StopFd(), POLLIN, 0};
  return ::poll(&P, 1, Ms) == 0;
}

void TConn::Reset() {
  linger L{1, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &L, sizeof L);
}

void TConn::WaitForClientClose() {
  char B[4096];
  for (;;) {
    pollfd P[2] = {{Fd, POLLIN, 0}, {Server.StopFd(), POLLIN, 0}};
    if (::poll(P, 2, -1) <= 0 || (P[1].revents & POLLIN)) return;
    const ssize_t N = ::recv(Fd, B, sizeof B, MSG_DONTWAIT);
    if (N == 0 || (N < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

void TConn::WaitForGate() {
  std::unique_lock<std::mutex> Lock(Server.FMutex);
  Server.FGateChanged.wait(Lock, [this] { return Server.FGateOpen || Server.Stopping(); });
}

bool TConn::Stopping() const { return Server.Stopping(); }

void THttpTestServer::OpenGate() {
  std::lock_guard<std::mutex> Lock(FMutex);
  FGateOpen = true;
  FGateChanged.notify_all();
}

THttpTestServer::THttpTestServer(TScript Script, bool ReadBody)
    : FScript(std::move(Script)), FReadBody(ReadBody) {
  if (::pipe2(FStopPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  uint16_t Port = 0;
  FListenFd = BindLoopback(Port, 16);
  if (FListenFd < 0) throw std::runtime_error("test server: cannot listen");
  FPort = Port;
  FThread = std::thread([this] { Run(); });
}

THttpTestServer::~THttpTestServer() {
  {
    std::lock_guard<std::mutex> Lock(FMutex);
    FStop = true;
    FGateChanged.notify_all();
  }
  (void)!::write(FStopPipe[1], "x", 1);
  FThread.join();
  ::close(FListenFd);
  ::close(FStopPipe[0]);
  ::close(FStopPipe[1]);
}

std::string THttpTestServer::Url(const std::string& Path) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + Path;
}

std::vector<std::string> THttpTestServer::Requests() {
  std::lock_guard<std::mutex> L(FMutex);
  return FRequests;
}

bool THttpTestServer::ReadRequest(int Fd, std::string& Out) {
  char B[4096];
  size_t Need = std::string::npos;
  while (Out.size() < (64u << 20)) {
    const size_t HdrEnd = Out.find("\r\n\r\n");
    if (HdrEnd != std::string::npos && Need == std::string::npos) {
      Need = HdrEnd + 4;
      const size_t Cl = Out.find("Content-Length: ");
      if (FReadBody && Cl != std::string::npos && Cl < HdrEnd)
        Need += std::stoul(Out.substr(Cl + 16));
    }
    if (Need != std::string::npos && Out.size() >= Need) return true;
    pollfd P[2] = {{Fd, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
    if (::poll(P, 2, 10000) <= 0 || (P[1].revents & POLLIN)) return false;
    const ssize_t N = ::recv(Fd, B, sizeof B, MSG_DONTWAIT);
    if (N < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (N <= 0) return false;
    Out.append(B, static_cast<size_t>(N));
  }
  return false;
}

void THttpTestServer::Run() {
  while (!FStop) {
    pollfd P[2] = {{FListenFd, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
    if (::poll(P, 2, -1) <= 0) continue;
    if (P[1].revents & POLLIN) break;
    const int Fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) continue;
    ++FConnections;
    TConn C{*this, Fd, {}};
    if (ReadRequest(Fd, C.Request)) {
      {
        std::lock_guard<std::mutex> L(FMutex);
        FRequests.push_back(C.Request);
      }
      FScript(C);
    }
    ::close(Fd);
  }
}

}  // namespace chronark::test
