// TLS inside TWSocket: the handshake after the TCP connection, reads and
// writes through the session, and the re-arming that follows what the session
// waits for. Everything stays on the socket's own loop; nothing waits.
#include "net/WSocket.h"

#include <sys/epoll.h>

namespace chronark {

void TCustomWSocket::SetSslEnable(bool V) {
  if (FState != wsClosed) return RaiseError("Cannot change SslEnable if not closed");
  FSslEnable = V;
}

void TCustomWSocket::SetSslHostName(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SslHostName if not closed");
  FSslHostName = V;
}

std::string TCustomWSocket::SslVersion() const { return FSsl ? FSsl->Version() : std::string(); }
std::string TCustomWSocket::SslCipher() const { return FSsl ? FSsl->Cipher() : std::string(); }
std::string TCustomWSocket::SslPeerSubject() const {
  return FSsl ? FSsl->PeerSubject() : std::string();
}

void TCustomWSocket::StartSsl() {
  if (!FHSocket.Valid() || FState != wsConnected)
    return RaiseError("StartSsl: Socket not connected");
  if (FSsl) return RaiseError("StartSsl: SSL already started");
  FSslEnable = true;
  SslBeginHandshake();
}

void TCustomWSocket::SslBeginHandshake() {
  FSslErrorText.clear();
  FSslPendingPosted = FSslClosePosted = false;
  FSslWantWrite = FSslReadWantsWrite = false;
  FSelect.KnownPending = 0;  // what the descriptor holds is no longer what can be read
  FSsl = std::make_unique<TSslSession>(
      FHSocket.Fd(), FSslHostName.empty() ? FAddr.Str : FSslHostName, FSslCAFile, FSslVerifyPeer);
  SslStep();
}

// One step of the handshake, as far as the network allows without waiting.
void TCustomWSocket::SslStep() {
  if (!SslHandshaking()) return;
  const TSslResult R = FSsl->Handshake();
  FSslWantWrite = false;
  switch (R) {
    case TSslResult::WantRead:
      FSelect.ReadArmed = true;
      ArmWatch();
      return;
    case TSslResult::WantWrite:
      FSslWantWrite = true;
      FSelect.WriteArmed = true;
      ArmWatch();
      return;
    case TSslResult::Done: {
      FSelect.ReadArmed = true;
      ArmWatch();
      const TConnectionWatch Conn(*this);
      NotifySessionConnected(0);
      if (Conn.Gone()) return;
      // As after a plain connect: writable, so OnDataSent follows from the
      // loop; records that came with the handshake's last flight are offered.
      FLoop.PostMessage(FWindowHandle, SKM_ASYNC_SELECT, static_cast<uintptr_t>(FHSocket.Fd()),
                        WSAMakeSelectReply(FD_WRITE, 0));
      if (FSsl->HasBuffered()) SslPostPending();
      return;
    }
    case TSslResult::Closed:
    case TSslResult::Failed: {
      const int Code = FSsl->ErrorCode() ? FSsl->ErrorCode() : sslHandshakeFailed;
      FSslErrorText = FSsl->ErrorText();
      FLastError = Code;
      if (FLife.Fire([&] { NotifySessionConnected(static_cast<uint16_t>(Code)); }) &&
          FState != wsClosed)
        Close();
      return;
    }
  }
}

int TCustomWSocket::SslRecv(void* Buffer, int BufferSize) {
  ++FSelect.RecvCalls;
  FSelect.KnownPending = 0;
  FSelect.ReadArmed = true;  // a receive asks for the next read notification
  if (!FSsl->Established()) {
    // Line mode may read while the handshake runs: nothing to give yet.
    ArmWatch();
    WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  TSslResult R;
  const int N = FSsl->Read(Buffer, BufferSize < 0 ? 0 : BufferSize, R);
  if (N > 0) {
    ArmWatch();
    // Records already inside the session: the descriptor will not say so.
    if (FSsl->HasBuffered()) SslPostPending();
    return N;
  }
  switch (R) {
    case TSslResult::Done:  // a zero-byte buffer
      ArmWatch();
      return 0;
    case TSslResult::WantRead: break;
    case TSslResult::WantWrite:
      FSslReadWantsWrite = true;
      FSelect.WriteArmed = true;
      break;
    case TSslResult::Closed:
      // close_notify: the end of the data, whether or not the FIN follows.
      ArmWatch();
      SslPostClose(0);
      return 0;
    case TSslResult::Failed: {
      const int Code = FSsl->ErrorCode();
      if (!FSsl->ErrorText().empty()) FSslErrorText = FSsl->ErrorText();
      FSelect.RecvError = Code;
      WSASetLastError(Code);
      SslPostClose(Code);
      return -1;
    }
  }
  ArmWatch();
  WSASetLastError(WSAEWOULDBLOCK);
  return -1;
}

int TCustomWSocket::SslSend(const void* Data, int Len) {
  // Queued until the handshake is done (its end posts a write notice);
  // "would block" here would make every writable notice spin.
  if (!FSsl->Established()) return 0;
  TSslResult R;
  const int N = FSsl->Write(Data, Len, R);
  if (N > 0) return N;
  switch (R) {
    case TSslResult::Done: return 0;
    case TSslResult::WantWrite: WSASetLastError(WSAEWOULDBLOCK); return -1;
    case TSslResult::WantRead:
      // Renegotiation is refused, so this hardly happens; the next read
      // notification finds the queue still there.
      return 0;
    case TSslResult::Closed: WSASetLastError(WSAECONNABORTED); return -1;
    case TSslResult::Failed:
      if (!FSsl->ErrorText().empty()) FSslErrorText = FSsl->ErrorText();
      WSASetLastError(FSsl->ErrorCode());
      return -1;
  }
  return 0;
}

bool TCustomWSocket::SslMoreToRead() {
  if (!SslEstablished()) return false;
  switch (FSsl->Readable()) {
    case TSslResult::Done: return true;
    case TSslResult::Closed: SslPostClose(0); return false;
    case TSslResult::Failed:
      if (!FSsl->ErrorText().empty()) FSslErrorText = FSsl->ErrorText();
      SslPostClose(FSsl->ErrorCode());
      return false;
    default: return false;
  }
}

uint16_t TCustomWSocket::SslReadiness(int& Err) {
  switch (FSsl->Readable()) {
    case TSslResult::Done: FSelect.ReadArmed = false; return FD_READ;
    case TSslResult::WantRead: return 0;  // part of a record: wait for the rest
    case TSslResult::WantWrite:
      FSslReadWantsWrite = true;
      FSelect.WriteArmed = true;
      return 0;
    case TSslResult::Closed:
      FSelect.ReadArmed = false;
      FSelect.PlatformCloseSeen = true;
      return FD_CLOSE;
    case TSslResult::Failed:
      FSelect.ReadArmed = false;
      FSelect.PlatformCloseSeen = true;
      if (!FSsl->ErrorText().empty()) FSslErrorText = FSsl->ErrorText();
      Err = FSsl->ErrorCode();
      return FD_CLOSE;
  }
  return 0;
}

void TCustomWSocket::SslPostClose(int Error) {
  if (FSslClosePosted || !FHSocket.Valid()) return;
  FSslClosePosted = true;
  FSelect.PlatformCloseSeen = true;
  FLoop.PostMessage(FWindowHandle, SKM_ASYNC_SELECT, static_cast<uintptr_t>(FHSocket.Fd()),
                    WSAMakeSelectReply(FD_CLOSE, static_cast<uint16_t>(Error)));
}

void TCustomWSocket::SslPostPending() {
  if (FSslPendingPosted || !FHSocket.Valid()) return;
  FSslPendingPosted = true;
  FLoop.PostMessage(FWindowHandle, SKM_SSL_PENDING, static_cast<uintptr_t>(FHSocket.Fd()));
}

// Records held inside the session while the descriptor is quiet: offered as
// a read notification when the owner asked for one (it read since the last).
void TCustomWSocket::SslHandlePending() {
  FSslPendingPosted = false;
  if (!SslEstablished() || FState != wsConnected || !FSelect.ReadArmed) return;
  int Err = 0;
  const uint16_t Bits = SslReadiness(Err);
  const TConnectionWatch Conn(*this);
  if (Bits) HandleAsyncSelect(Bits, static_cast<uint16_t>(Err));
  if (!Conn.Gone()) ArmWatch();
}

}  // namespace chronark
