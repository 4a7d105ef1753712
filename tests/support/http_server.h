// A loopback HTTP server for the client tests: plain POSIX sockets on
// 127.0.0.1, port 0, served by one thread, one connection at a time. Each
// connection runs the test's script with the request that came in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chronark::test {

class THttpTestServer;

// What a script sees of one connection.
struct TConn {
  THttpTestServer& Server;
  int Fd;
  std::string Request;  // header and, with a Content-Length, the body

  // Sends all of Data; false once the peer is gone or the server stops.
  bool Send(const std::string& Data);
  // Waits Ms milliseconds; false when the server is stopping.
  bool Sleep(int Ms);
  // Closes with a reset instead of an orderly close.
  void Reset();
  // Waits until the client closes (or the server stops).
  void WaitForClientClose();
  // Waits until the test opens the server's gate (or the server stops).
  void WaitForGate();
  bool Stopping() const;
};

class THttpTestServer {
public:
  using TScript = std::function<void(TConn&)>;

  // ReadBody false hands the script the request header only.
  explicit THttpTestServer(TScript Script, bool ReadBody = true);
  friend struct TConn;
  ~THttpTestServer();  // stops the thread in bounded time, whatever the script does

  int Port() const { return FPort; }
  std::string Url(const std::string& Path = "/") const;
  std::vector<std::string> Requests();
  int Connections() const { return FConnections; }

  // Lets every script waiting in WaitForGate go on.
  void OpenGate();

  int StopFd() const { return FStopPipe[0]; }
  bool Stopping() const { return FStop; }

private:
  void Run();
  bool ReadRequest(int Fd, std::string& Out);

  TScript FScript;
  bool FReadBody = true;
  int FListenFd = -1;
  int FPort = 0;
  int FStopPipe[2] = {-1, -1};
  std::atomic<bool> FStop{false};
  std::atomic<int> FConnections{0};
  std::mutex FMutex;
  std::condition_variable FGateChanged;
  bool FGateOpen = false;
  std::vector<std::string> FRequests;
  std::thread FThread;
};

// "HTTP/1.0 200 OK" response with Content-Length and Body.
std::string Response(int Status, const std::string& Body, const std::string& ExtraHeaders = "");

}  // namespace chronark::test
