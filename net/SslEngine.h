// TLS for TWSocket (OpenSSL 3): client contexts with the trust store and a
// non-blocking session over a socket descriptor. The session never waits: each
// call says what it needs next (readable, writable), and the socket maps that
// onto its own re-arm rules. The socket layer is the only user; THttpCli and
// the tools see TLS through TWSocket's Ssl* properties.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace chronark {

// Socket error codes of TLS. They travel like the WinSock codes: as the Error
// of OnSessionConnected / OnSessionClosed and as LastError; WSocketErrorDesc
// gives the short text, TWSocket::SslErrorText() the text with its detail.
enum : int {
  sslHandshakeFailed = 21001,   // "SSL handshake failed: <why>"
  sslCertVerifyFailed = 21002,  // "SSL certificate verify failed: <why>"
  sslHostNameMismatch = 21003,  // "SSL host name mismatch"
  sslProtocolError = 21004,     // a broken record after the handshake
  sslTruncated = 21005,         // TCP closed without close_notify
  sslInitFailed = 21006,        // no context (CA file unreadable, ...)
};

// The fixed text of one of the codes above; empty for any other code.
std::string SslErrorDesc(int Code);

enum class TSslResult : uint8_t {
  Done,       // the call did its work
  WantRead,   // wait until the descriptor is readable, then call again
  WantWrite,  // wait until it is writable, then call again
  Closed,     // the peer's close_notify: no more data will come
  Failed,     // ErrorCode() / ErrorText() say why; the session is dead
};

class TSslSession {
public:
  // A client session on the connected descriptor Fd (not owned). HostName is
  // sent as SNI (DNS names only) and the certificate is checked against it
  // (DNS name or IP address). CAFile empty: the system trust store, which
  // honours SSL_CERT_FILE and SSL_CERT_DIR. Verify false accepts any
  // certificate. Failure to set up: Failed() is true afterwards.
  TSslSession(int Fd, const std::string& HostName, const std::string& CAFile, bool Verify);
  ~TSslSession();
  TSslSession(const TSslSession&) = delete;
  TSslSession& operator=(const TSslSession&) = delete;

  TSslResult Handshake();
  bool Established() const { return FEstablished; }

  // Up to Len decrypted bytes, several records at a time. Returns the count
  // (> 0, R = Done), or 0 with R = Closed / WantRead / WantWrite / Failed.
  int Read(void* Buffer, int Len, TSslResult& R);
  // Encrypts and sends up to Len bytes (at least one record unless it must
  // wait). Returns the count taken, or 0 with R telling why.
  int Write(const void* Data, int Len, TSslResult& R);
  // Done when at least one decrypted byte can be read now (a record may be
  // completed from the descriptor for that); WantRead when not yet.
  TSslResult Readable();
  // Bytes held inside the session (decrypted or not yet processed): the
  // descriptor's readiness no longer tells whether there is more to read.
  bool HasBuffered() const;
  int DecryptedPending() const;
  // Sends close_notify once, without waiting for the peer's.
  void SendCloseNotify();

  // After the handshake: "TLSv1.3", "TLS_AES_256_GCM_SHA384", "CN=host,O=...".
  std::string Version() const;
  std::string Cipher() const;
  std::string PeerSubject() const;

  bool Failed() const { return FErrorCode != 0; }
  int ErrorCode() const { return FErrorCode; }
  const std::string& ErrorText() const { return FErrorText; }

private:
  struct TImpl;
  TSslResult Fail(int Code, const std::string& Text);
  TSslResult FailFromSsl(int Ret, bool InHandshake);
  std::unique_ptr<TImpl> FImpl;
  bool FEstablished = false;
  bool FCloseNotifySent = false;
  int FErrorCode = 0;
  std::string FErrorText;
};

}  // namespace chronark
