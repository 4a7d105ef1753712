#include "net/SslEngine.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "net/WinSock.h"

namespace chronark {

namespace {

// ---- the descriptor beneath the session --------------------------------------
// A BIO of our own instead of OpenSSL's socket BIO: sends carry MSG_NOSIGNAL
// (a peer's reset must not raise SIGPIPE), and "would block" becomes a retry.

int Fd(BIO* B) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(B))); }

int BioWrite(BIO* B, const char* Data, int Len) {
  BIO_clear_retry_flags(B);
  const ssize_t N = ::send(Fd(B), Data, static_cast<size_t>(Len), MSG_NOSIGNAL);
  if (N < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(B);
    return -1;
  }
  return static_cast<int>(N);
}

int BioRead(BIO* B, char* Data, int Len) {
  BIO_clear_retry_flags(B);
  const ssize_t N = ::recv(Fd(B), Data, static_cast<size_t>(Len), 0);
  if (N < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_read(B);
    return -1;
  }
  return static_cast<int>(N);
}

long BioCtrl(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* B) {
  BIO_set_init(B, 1);
  return 1;
}

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const M = [] {
    BIO_METHOD* Meth = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "chronark socket");
    BIO_meth_set_write(Meth, BioWrite);
    BIO_meth_set_read(Meth, BioRead);
    BIO_meth_set_ctrl(Meth, BioCtrl);
    BIO_meth_set_create(Meth, BioCreate);
    return Meth;
  }();
  return M;
}

// ---- contexts ---------------------------------------------------------------
// One client context per trust configuration, kept for the life of the
// process: loading the system store costs milliseconds, a connection reuses it.
// The key holds the variables the default paths read, so that a test that
// points SSL_CERT_FILE elsewhere gets a store of its own.

std::string EnvOr(const char* Name) {
  const char* V = std::getenv(Name);
  return V ? V : "";
}

SSL_CTX* ClientContext(const std::string& CAFile, std::string& Error) {
  static std::mutex Mutex;
  struct TCtxFree {
    void operator()(SSL_CTX* C) const { SSL_CTX_free(C); }
  };
  static std::map<std::string, std::unique_ptr<SSL_CTX, TCtxFree>> Contexts;
  const std::string Key =
      CAFile.empty() ? "\1" + EnvOr("SSL_CERT_FILE") + "\1" + EnvOr("SSL_CERT_DIR") : "\2" + CAFile;
  std::lock_guard<std::mutex> Lock(Mutex);
  if (auto It = Contexts.find(Key); It != Contexts.end()) return It->second.get();
  SSL_CTX* Ctx = SSL_CTX_new(TLS_client_method());
  if (!Ctx) {
    Error = "cannot create a TLS context";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(Ctx, TLS1_2_VERSION);
  // Several records per read from the descriptor: fewer system calls for a
  // large document. HasBuffered() covers what this holds back.
  SSL_CTX_set_read_ahead(Ctx, 1);
  SSL_CTX_set_mode(Ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A renegotiation would make a write wait for a read.
  SSL_CTX_set_options(Ctx, SSL_OP_NO_RENEGOTIATION);
  const int Loaded = CAFile.empty() ? SSL_CTX_set_default_verify_paths(Ctx)
                                    : SSL_CTX_load_verify_locations(Ctx, CAFile.c_str(), nullptr);
  if (Loaded != 1 && !CAFile.empty()) {
    ERR_clear_error();
    SSL_CTX_free(Ctx);
    Error = "cannot load CA file " + CAFile;
    return nullptr;
  }
  ERR_clear_error();
  Contexts[Key].reset(Ctx);
  return Ctx;
}

bool IsIPAddress(const std::string& Host) {
  unsigned char Buf[16];
  return inet_pton(AF_INET, Host.c_str(), Buf) == 1 || inet_pton(AF_INET6, Host.c_str(), Buf) == 1;
}

bool IsProtocolVersionReason(int Reason) {
  switch (Reason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_VERSION_TOO_LOW: return true;
    default: return false;
  }
}

}  // namespace

std::string SslErrorDesc(int Code) {
  switch (Code) {
    case sslHandshakeFailed: return "SSL handshake failed";
    case sslCertVerifyFailed: return "SSL certificate verify failed";
    case sslHostNameMismatch: return "SSL host name mismatch";
    case sslProtocolError: return "SSL protocol error";
    case sslTruncated: return "SSL connection closed without close_notify";
    case sslInitFailed: return "SSL initialisation failed";
    default: return {};
  }
}

struct TSslSession::TImpl {
  SSL* Ssl = nullptr;
  ~TImpl() {
    if (Ssl) SSL_free(Ssl);  // frees the BIO too
  }
};

TSslSession::TSslSession(int Fd, const std::string& HostName, const std::string& CAFile,
                         bool Verify)
    : FImpl(std::make_unique<TImpl>()) {
  std::string Error;
  SSL_CTX* Ctx = ClientContext(CAFile, Error);
  if (!Ctx) {
    Fail(sslInitFailed, SslErrorDesc(sslInitFailed) + ": " + Error);
    return;
  }
  SSL* Ssl = SSL_new(Ctx);
  BIO* Bio = Ssl ? BIO_new(SocketBioMethod()) : nullptr;
  if (!Bio) {
    if (Ssl) SSL_free(Ssl);
    ERR_clear_error();
    Fail(sslInitFailed, SslErrorDesc(sslInitFailed));
    return;
  }
  BIO_set_data(Bio, reinterpret_cast<void*>(static_cast<intptr_t>(Fd)));
  SSL_set_bio(Ssl, Bio, Bio);
  FImpl->Ssl = Ssl;
  SSL_set_connect_state(Ssl);
  if (!HostName.empty()) {
    X509_VERIFY_PARAM* Param = SSL_get0_param(Ssl);
    X509_VERIFY_PARAM_set_hostflags(Param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (IsIPAddress(HostName)) {
      // RFC 6066, 3: SNI carries host names only, never literal addresses.
      X509_VERIFY_PARAM_set1_ip_asc(Param, HostName.c_str());
    } else {
      SSL_set_tlsext_host_name(Ssl, HostName.c_str());
      X509_VERIFY_PARAM_set1_host(Param, HostName.c_str(), 0);
    }
  }
  SSL_set_verify(Ssl, Verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
}

TSslSession::~TSslSession() = default;

TSslResult TSslSession::Fail(int Code, const std::string& Text) {
  if (FErrorCode == 0) {
    FErrorCode = Code;
    FErrorText = Text;
  }
  return TSslResult::Failed;
}

// The reason of a failed call, in words the user can act on.
TSslResult TSslSession::FailFromSsl(int Ret, bool InHandshake) {
  SSL* Ssl = FImpl->Ssl;
  const int SysErr = errno;
  const int Kind = SSL_get_error(Ssl, Ret);
  const unsigned long E = ERR_peek_last_error();
  ERR_clear_error();
  if (InHandshake) {
    const long Verify = SSL_get_verify_result(Ssl);
    if (Verify == X509_V_ERR_HOSTNAME_MISMATCH || Verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      return Fail(sslHostNameMismatch, SslErrorDesc(sslHostNameMismatch));
    if (Verify != X509_V_OK)
      return Fail(sslCertVerifyFailed,
                  SslErrorDesc(sslCertVerifyFailed) + ": " + X509_verify_cert_error_string(Verify));
  }
  const int Code = InHandshake ? sslHandshakeFailed : sslProtocolError;
  const std::string Head = SslErrorDesc(Code) + ": ";
  if (Kind == SSL_ERROR_SYSCALL) {
    if (E == 0 && SysErr != 0 && Ret < 0) {
      // The descriptor failed (a reset): that is the error, with its own code.
      const int WsaCode = WSocketErrorFromErrno(SysErr);
      return Fail(InHandshake ? sslHandshakeFailed : WsaCode,
                  InHandshake ? Head + std::strerror(SysErr) : std::string());
    }
    return InHandshake ? Fail(Code, Head + "connection closed by peer")
                       : Fail(sslTruncated, SslErrorDesc(sslTruncated));
  }
  const int Reason = ERR_GET_REASON(E);
  if (Reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)
    return InHandshake ? Fail(Code, Head + "connection closed by peer")
                       : Fail(sslTruncated, SslErrorDesc(sslTruncated));
  if (InHandshake && IsProtocolVersionReason(Reason))
    return Fail(Code, Head + "the server offers no TLS 1.2 or newer");
  const char* Why = E ? ERR_reason_error_string(E) : nullptr;
  return Fail(Code, Head + (Why ? Why : "unknown error"));
}

TSslResult TSslSession::Handshake() {
  if (Failed()) return TSslResult::Failed;
  if (FEstablished) return TSslResult::Done;
  ERR_clear_error();
  errno = 0;
  const int Ret = SSL_do_handshake(FImpl->Ssl);
  if (Ret == 1) {
    FEstablished = true;
    return TSslResult::Done;
  }
  switch (SSL_get_error(FImpl->Ssl, Ret)) {
    case SSL_ERROR_WANT_READ: return TSslResult::WantRead;
    case SSL_ERROR_WANT_WRITE: return TSslResult::WantWrite;
    default: return FailFromSsl(Ret, true);
  }
}

int TSslSession::Read(void* Buffer, int Len, TSslResult& R) {
  R = TSslResult::Done;
  if (Failed()) {
    R = TSslResult::Failed;
    return 0;
  }
  char* P = static_cast<char*>(Buffer);
  int Got = 0;
  // One call of SSL_read gives one record at most; a large buffer is filled
  // from several, as long as they are here without waiting.
  while (Got < Len) {
    ERR_clear_error();
    errno = 0;
    size_t N = 0;
    const int Ret = SSL_read_ex(FImpl->Ssl, P + Got, static_cast<size_t>(Len - Got), &N);
    if (Ret == 1) {
      Got += static_cast<int>(N);
      continue;
    }
    TSslResult Now;
    switch (SSL_get_error(FImpl->Ssl, Ret)) {
      case SSL_ERROR_WANT_READ: Now = TSslResult::WantRead; break;
      case SSL_ERROR_WANT_WRITE: Now = TSslResult::WantWrite; break;
      case SSL_ERROR_ZERO_RETURN: Now = TSslResult::Closed; break;
      default: Now = FailFromSsl(Ret, false); break;
    }
    // What came before the stop is delivered first; the stop is met again
    // by the next call (a failure is remembered).
    if (Got > 0) return Got;
    R = Now;
    return 0;
  }
  return Got;
}

int TSslSession::Write(const void* Data, int Len, TSslResult& R) {
  R = TSslResult::Done;
  if (Failed()) {
    R = TSslResult::Failed;
    return 0;
  }
  if (Len <= 0) return 0;
  ERR_clear_error();
  errno = 0;
  size_t N = 0;
  const int Ret = SSL_write_ex(FImpl->Ssl, Data, static_cast<size_t>(Len), &N);
  if (Ret == 1) return static_cast<int>(N);
  switch (SSL_get_error(FImpl->Ssl, Ret)) {
    case SSL_ERROR_WANT_READ: R = TSslResult::WantRead; break;
    case SSL_ERROR_WANT_WRITE: R = TSslResult::WantWrite; break;
    case SSL_ERROR_ZERO_RETURN: R = TSslResult::Closed; break;
    default: R = FailFromSsl(Ret, false); break;
  }
  return 0;
}

TSslResult TSslSession::Readable() {
  if (Failed()) return TSslResult::Failed;
  if (SSL_pending(FImpl->Ssl) > 0) return TSslResult::Done;
  ERR_clear_error();
  errno = 0;
  char C;
  size_t N = 0;
  const int Ret = SSL_peek_ex(FImpl->Ssl, &C, 1, &N);
  if (Ret == 1) return TSslResult::Done;
  switch (SSL_get_error(FImpl->Ssl, Ret)) {
    case SSL_ERROR_WANT_READ: return TSslResult::WantRead;
    case SSL_ERROR_WANT_WRITE: return TSslResult::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return TSslResult::Closed;
    default: return FailFromSsl(Ret, false);
  }
}

bool TSslSession::HasBuffered() const { return FImpl->Ssl && SSL_has_pending(FImpl->Ssl) == 1; }

int TSslSession::DecryptedPending() const { return FImpl->Ssl ? SSL_pending(FImpl->Ssl) : 0; }

void TSslSession::SendCloseNotify() {
  if (!FEstablished || Failed() || FCloseNotifySent) return;
  FCloseNotifySent = true;
  // One try: the alert is small and the send buffer rarely full; a close
  // never waits for the network.
  ERR_clear_error();
  SSL_shutdown(FImpl->Ssl);
  ERR_clear_error();
}

std::string TSslSession::Version() const {
  return FEstablished ? SSL_get_version(FImpl->Ssl) : std::string();
}

std::string TSslSession::Cipher() const {
  const char* C = FEstablished ? SSL_get_cipher_name(FImpl->Ssl) : nullptr;
  return C ? C : "";
}

std::string TSslSession::PeerSubject() const {
  if (!FEstablished) return {};
  X509* Cert = SSL_get1_peer_certificate(FImpl->Ssl);
  if (!Cert) return {};
  std::string Out;
  if (BIO* Mem = BIO_new(BIO_s_mem())) {
    X509_NAME_print_ex(Mem, X509_get_subject_name(Cert), 0,
                       XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* P = nullptr;
    const long Len = BIO_get_mem_data(Mem, &P);
    if (Len > 0) Out.assign(P, static_cast<size_t>(Len));
    BIO_free(Mem);
  }
  X509_free(Cert);
  return Out;
}

}  // namespace chronark
