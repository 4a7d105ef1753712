// Test fixtures of TLS: the certificates of make_test_pki.sh in a temporary
// folder, and a TLS server on 127.0.0.1, port 0, one connection at a time,
// served by a thread of plain blocking OpenSSL calls.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace chronark::test {

// The test PKI: made at test time once per build tree (tests/tls-pki, or the
// folder CHRONARK_TEST_PKI names); Dir() holds ca.pem, good.pem, ...
class TTestPki {
public:
  static const TTestPki& Get();
  const std::string& Dir() const { return FDir; }
  std::string File(const std::string& Name) const { return FDir + "/" + Name; }
  ~TTestPki();

private:
  TTestPki();
  std::string FDir;
  bool FOwned = false;  // a folder of this process, removed at its end
};

class TTlsTestServer;

struct TTlsConn {
  TTlsTestServer& Server;
  SSL* Ssl;
  int Fd;
  std::string Request;      // the request header as it came in, decrypted
  bool CloseNotify = true;  // false: the TCP connection ends without close_notify
  bool Send(const std::string& Data);
  bool Sleep(int Ms);
};

class TTlsTestServer {
public:
  using TScript = std::function<void(TTlsConn&)>;
  struct TOptions {
    std::string Cert = "good";  // base name of the certificate and key in the PKI
    int MaxVersion = 0;         // TLS1_VERSION: a peer that knows nothing newer
  };
  TTlsTestServer(TScript Script, TOptions Options);
  explicit TTlsTestServer(TScript Script) : TTlsTestServer(std::move(Script), TOptions{}) {}
  ~TTlsTestServer();

  int Port() const { return FPort; }
  // "https://127.0.0.1:<port>" + Path, or with another host name.
  std::string Url(const std::string& Path = "/", const std::string& Host = "127.0.0.1") const;
  std::vector<std::string> Requests();
  std::vector<std::string> ServerNames();  // SNI of each handshake ("" without)
  int Handshakes() const { return FHandshakes; }
  // The last handshake's failure as the server saw it.
  std::string LastError();
  int StopFd() const { return FStopPipe[0]; }

private:
  void Run();
  void Serve(int Fd);
  TScript FScript;
  SSL_CTX* FCtx = nullptr;
  int FListenFd = -1;
  int FPort = 0;
  int FStopPipe[2] = {-1, -1};
  std::atomic<bool> FStop{false};
  std::atomic<int> FHandshakes{0};
  std::mutex FMutex;
  std::vector<std::string> FRequests, FNames;
  std::string FLastError;
  std::thread FThread;
};

// A CONNECT proxy (RFC 7231, 4.3.6) on 127.0.0.1, port 0: answers Status to
// each CONNECT and, for 200, passes bytes both ways until either side closes.
class TConnectProxy {
public:
  explicit TConnectProxy(std::string Status = "200 Connection established");
  ~TConnectProxy();
  int Port() const { return FPort; }
  std::vector<std::string> Requests();  // the CONNECT requests as they came in

private:
  void Run();
  std::string FStatus;
  int FListenFd = -1;
  int FPort = 0;
  int FStopPipe[2] = {-1, -1};
  std::mutex FMutex;
  std::vector<std::string> FRequests;
  std::thread FThread;
};

}  // namespace chronark::test
