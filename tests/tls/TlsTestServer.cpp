#include "TlsTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace chronark::test {

namespace {

int ListenLoopback(int& Port) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  if (Fd < 0 || ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 ||
      ::listen(Fd, 16) != 0 || ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
    throw std::runtime_error("test server: cannot listen");
  Port = ntohs(A.sin_port);
  return Fd;
}

// Waits for Fd to get Events; false when the stop pipe fired or after 10 s.
bool WaitFor(int Fd, short Events, int StopFd, int Ms = 10000) {
  pollfd P[2] = {{Fd, Events, 0}, {StopFd, POLLIN, 0}};
  return ::poll(P, 2, Ms) > 0 && !(P[1].revents & POLLIN);
}

void BoundBlocking(int Fd) {
  timeval T{10, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &T, sizeof T);
  ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &T, sizeof T);
}

}  // namespace

// ---- the PKI -------------------------------------------------------------------

const TTestPki& TTestPki::Get() {
  static const TTestPki Pki;
  return Pki;
}

namespace {
void MakePki(const std::string& Dir) {
  const std::string Cmd = "bash '" CHRONARK_TLS_TEST_DIR "/make_test_pki.sh' '" + Dir + "'";
  if (std::system(Cmd.c_str()) != 0) throw std::runtime_error("make_test_pki.sh failed");
}
}  // namespace

TTestPki::TTestPki() {
  // CTest runs every test in a process of its own: they share one PKI in the
  // build's folder (or the one CHRONARK_TEST_PKI names), made by the first of
  // them in a folder beside it and renamed into place whole, so that a
  // parallel test never sees half of it.
  const char* Shared = std::getenv("CHRONARK_TEST_PKI");
  if (!Shared || !*Shared) Shared = CHRONARK_TEST_PKI_DIR;
  if (*Shared) {
    FDir = Shared;
    if (::access((FDir + "/ca.pem").c_str(), R_OK) == 0) return;
    std::filesystem::create_directories(std::filesystem::path(FDir).parent_path());
    std::string Tmpl = FDir + ".XXXXXX";
    if (!::mkdtemp(Tmpl.data())) throw std::runtime_error("mkdtemp");
    MakePki(Tmpl);
    std::error_code Ec;
    if (::rename(Tmpl.c_str(), FDir.c_str()) != 0) std::filesystem::remove_all(Tmpl, Ec);
    return;
  }
  char Tmpl[] = "/tmp/chronark-pki-XXXXXX";
  if (!::mkdtemp(Tmpl)) throw std::runtime_error("mkdtemp");
  FDir = Tmpl;
  FOwned = true;
  MakePki(FDir);
}

TTestPki::~TTestPki() {
  std::error_code Ec;
  if (FOwned) std::filesystem::remove_all(FDir, Ec);
}

// ---- the TLS server ----------------------------------------------------------

bool TTlsConn::Send(const std::string& Data) {
  size_t Done = 0;
  while (Done < Data.size()) {
    if (!WaitFor(Fd, POLLOUT, Server.StopFd())) return false;
    const int Chunk = static_cast<int>(std::min<size_t>(Data.size() - Done, 1 << 20));
    const int N = SSL_write(Ssl, Data.data() + Done, Chunk);
    if (N <= 0) return false;
    Done += static_cast<size_t>(N);
  }
  return true;
}

bool TTlsConn::Sleep(int Ms) {
  pollfd P = {Server.StopFd(), POLLIN, 0};
  return ::poll(&P, 1, Ms) == 0;
}

TTlsTestServer::TTlsTestServer(TScript Script, TOptions Options) : FScript(std::move(Script)) {
  const TTestPki& Pki = TTestPki::Get();
  FCtx = SSL_CTX_new(TLS_server_method());
  if (Options.MaxVersion) {
    // The old protocols are below OpenSSL's default security level.
    SSL_CTX_set_security_level(FCtx, 0);
    SSL_CTX_set_cipher_list(FCtx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(FCtx, Options.MaxVersion);
    SSL_CTX_set_max_proto_version(FCtx, Options.MaxVersion);
  }
  if (SSL_CTX_use_certificate_chain_file(FCtx, Pki.File(Options.Cert + ".pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(FCtx, Pki.File(Options.Cert + ".key").c_str(),
                                  SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("test server: cannot load " + Options.Cert);
  if (::pipe2(FStopPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  FListenFd = ListenLoopback(FPort);
  FThread = std::thread([this] { Run(); });
}

TTlsTestServer::~TTlsTestServer() {
  FStop = true;
  (void)!::write(FStopPipe[1], "x", 1);
  FThread.join();
  ::close(FListenFd);
  ::close(FStopPipe[0]);
  ::close(FStopPipe[1]);
  SSL_CTX_free(FCtx);
}

std::string TTlsTestServer::Url(const std::string& Path, const std::string& Host) const {
  return "https://" + Host + ":" + std::to_string(FPort) + Path;
}

std::vector<std::string> TTlsTestServer::Requests() {
  std::lock_guard<std::mutex> L(FMutex);
  return FRequests;
}

std::vector<std::string> TTlsTestServer::ServerNames() {
  std::lock_guard<std::mutex> L(FMutex);
  return FNames;
}

std::string TTlsTestServer::LastError() {
  std::lock_guard<std::mutex> L(FMutex);
  return FLastError;
}

void TTlsTestServer::Run() {
  while (!FStop) {
    if (!WaitFor(FListenFd, POLLIN, FStopPipe[0], -1)) break;
    const int Fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) continue;
    BoundBlocking(Fd);
    Serve(Fd);
    ::close(Fd);
  }
}

void TTlsTestServer::Serve(int Fd) {
  SSL* Ssl = SSL_new(FCtx);
  SSL_set_fd(Ssl, Fd);
  if (!WaitFor(Fd, POLLIN, FStopPipe[0]) || SSL_accept(Ssl) != 1) {
    std::lock_guard<std::mutex> L(FMutex);
    const unsigned long E = ERR_get_error();
    FLastError = E ? ERR_reason_error_string(E) : "closed";
    ERR_clear_error();
    SSL_free(Ssl);
    return;
  }
  ++FHandshakes;
  {
    std::lock_guard<std::mutex> L(FMutex);
    const char* Name = SSL_get_servername(Ssl, TLSEXT_NAMETYPE_host_name);
    FNames.push_back(Name ? Name : "");
  }
  TTlsConn C{*this, Ssl, Fd, {}};
  char B[4096];
  while (C.Request.find("\r\n\r\n") == std::string::npos && C.Request.size() < (1u << 20)) {
    if (SSL_pending(Ssl) == 0 && !WaitFor(Fd, POLLIN, FStopPipe[0])) break;
    const int N = SSL_read(Ssl, B, sizeof B);
    if (N <= 0) break;
    C.Request.append(B, static_cast<size_t>(N));
  }
  if (C.Request.find("\r\n\r\n") != std::string::npos) {
    {
      std::lock_guard<std::mutex> L(FMutex);
      FRequests.push_back(C.Request);
    }
    FScript(C);
  }
  if (C.CloseNotify) SSL_shutdown(Ssl);
  ERR_clear_error();
  SSL_free(Ssl);
}

// ---- the CONNECT proxy ----------------------------------------------------------

TConnectProxy::TConnectProxy(std::string Status) : FStatus(std::move(Status)) {
  if (::pipe2(FStopPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  FListenFd = ListenLoopback(FPort);
  FThread = std::thread([this] { Run(); });
}

TConnectProxy::~TConnectProxy() {
  (void)!::write(FStopPipe[1], "x", 1);
  FThread.join();
  ::close(FListenFd);
  ::close(FStopPipe[0]);
  ::close(FStopPipe[1]);
}

std::vector<std::string> TConnectProxy::Requests() {
  std::lock_guard<std::mutex> L(FMutex);
  return FRequests;
}

void TConnectProxy::Run() {
  for (;;) {
    if (!WaitFor(FListenFd, POLLIN, FStopPipe[0], -1)) return;
    const int Fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0) continue;
    BoundBlocking(Fd);
    std::string Req;
    char B[16384];
    while (Req.find("\r\n\r\n") == std::string::npos && Req.size() < 65536) {
      if (!WaitFor(Fd, POLLIN, FStopPipe[0])) break;
      const ssize_t N = ::recv(Fd, B, 1, 0);  // nothing beyond the request
      if (N <= 0) break;
      Req.append(B, static_cast<size_t>(N));
    }
    {
      std::lock_guard<std::mutex> L(FMutex);
      FRequests.push_back(Req);
    }
    const std::string Reply = "HTTP/1.0 " + FStatus + "\r\n\r\n";
    (void)!::send(Fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
    int Up = -1;
    const size_t Colon = Req.find(':'), Sp = Req.find(' ', 8);
    if (FStatus.substr(0, 3) == "200" && Req.substr(0, 8) == "CONNECT " && Colon < Sp) {
      sockaddr_in A{};
      A.sin_family = AF_INET;
      A.sin_port = htons(static_cast<uint16_t>(std::atoi(Req.substr(Colon + 1, Sp).c_str())));
      A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // every test server lives here
      Up = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(Up, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) {
        ::close(Up);
        Up = -1;
      }
    }
    while (Up >= 0) {
      pollfd P[3] = {{Fd, POLLIN, 0}, {Up, POLLIN, 0}, {FStopPipe[0], POLLIN, 0}};
      if (::poll(P, 3, 10000) <= 0 || (P[2].revents & POLLIN)) break;
      const int From = (P[0].revents & (POLLIN | POLLHUP)) ? Fd : Up;
      const ssize_t N = ::recv(From, B, sizeof B, 0);
      if (N <= 0) break;
      if (::send(From == Fd ? Up : Fd, B, static_cast<size_t>(N), MSG_NOSIGNAL) != N) break;
    }
    if (Up >= 0) ::close(Up);
    ::close(Fd);
  }
}

}  // namespace chronark::test
