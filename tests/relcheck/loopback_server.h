// A tiny HTTP server on 127.0.0.1, port 0, in a thread of its own: it takes
// one connection at a time, reads the request head, records it and answers
// with canned bytes (or stays silent, or answers only once released).
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace chronark::testing_support {

class TLoopbackServer {
public:
  enum class TMode { Answer, Silent, Gated };

  TLoopbackServer(std::string Response, TMode Mode = TMode::Answer)
      : FResponse(std::move(Response)), FMode(Mode) {
    FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FListener, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
    ::listen(FListener, 8);
    socklen_t Length = sizeof Address;
    ::getsockname(FListener, reinterpret_cast<sockaddr*>(&Address), &Length);
    FPort = ntohs(Address.sin_port);
    ::pipe2(FStopPipe, O_CLOEXEC);
    FThread = std::thread([this] { Serve(); });
  }

  ~TLoopbackServer() {
    Release();
    ::write(FStopPipe[1], "x", 1);
    FThread.join();
    ::close(FListener);
    ::close(FStopPipe[0]);
    ::close(FStopPipe[1]);
  }

  int Port() const { return FPort; }
  std::string URL(const std::string& Path = "/software/version.txt") const {
    return "http://127.0.0.1:" + std::to_string(FPort) + Path;
  }
  // Lets a gated server send its answer.
  void Release() {
    std::lock_guard<std::mutex> Lock(FMutex);
    FReleased = true;
    FGate.notify_all();
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FRequests;
  }

  // A port on which nothing listens: bound once, then closed.
  static int RefusedPort() {
    int S = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(S, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
    socklen_t Length = sizeof Address;
    ::getsockname(S, reinterpret_cast<sockaddr*>(&Address), &Length);
    ::close(S);
    return ntohs(Address.sin_port);
  }

private:
  // Waits for Fd to become readable; false when asked to stop.
  bool WaitReadable(int Fd, int TimeoutMs = -1) {
    pollfd Fds[2] = {{Fd, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
    int n = ::poll(Fds, 2, TimeoutMs);
    return n > 0 && !(Fds[1].revents & POLLIN) && (Fds[0].revents & (POLLIN | POLLHUP | POLLERR));
  }

  void Serve() {
    while (WaitReadable(FListener)) {
      int Client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (Client < 0) continue;
      std::string Head;
      char Buffer[4096];
      while (Head.find("\r\n\r\n") == std::string::npos && WaitReadable(Client, 5000)) {
        ssize_t n = ::recv(Client, Buffer, sizeof Buffer, 0);
        if (n <= 0) break;
        Head.append(Buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> Lock(FMutex);
        FRequests.push_back(Head);
      }
      if (FMode == TMode::Silent) {
        // Hold the connection open, saying nothing, until the test ends.
        while (WaitReadable(Client)) {
          if (::recv(Client, Buffer, sizeof Buffer, 0) <= 0) break;
        }
      } else {
        if (FMode == TMode::Gated) {
          std::unique_lock<std::mutex> Lock(FMutex);
          FGate.wait(Lock, [this] { return FReleased; });
        }
        size_t Sent = 0;
        while (Sent < FResponse.size()) {
          ssize_t n =
              ::send(Client, FResponse.data() + Sent, FResponse.size() - Sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          Sent += static_cast<size_t>(n);
        }
      }
      ::close(Client);
    }
  }

  std::string FResponse;
  TMode FMode;
  bool FReleased{false};
  std::condition_variable FGate;
  int FListener{-1};
  int FPort{0};
  int FStopPipe[2]{-1, -1};
  std::mutex FMutex;
  std::vector<std::string> FRequests;
  std::thread FThread;
};

}  // namespace chronark::testing_support
