#include "net/WSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

namespace chronark {

namespace {

std::string Trim(const std::string& S) {
  size_t B = S.find_first_not_of(" \t");
  if (B == std::string::npos) return {};
  size_t E = S.find_last_not_of(" \t");
  return S.substr(B, E - B + 1);
}

std::string Format(const char* Fmt, ...) {
  char Buf[1024];
  va_list Args;
  va_start(Args, Fmt);
  std::vsnprintf(Buf, sizeof Buf, Fmt, Args);
  va_end(Args);
  return Buf;
}

void SetErrno() { WSASetLastError(WSocketErrorFromErrno(errno)); }

// The databases may be missing on a minimal system; the names the programs use
// must work regardless.
int WellKnownProto(const std::string& P) {
  if (P == "tcp") return 6;
  if (P == "udp") return 17;
  if (P == "icmp") return 1;
  return -1;
}

int WellKnownPort(const std::string& P) {
  static const struct {
    const char* Name;
    int Port;
  } Table[] = {{"http", 80},   {"https", 443},  {"ftp", 21},    {"smtp", 25}, {"pop3", 110},
               {"telnet", 23}, {"socks", 1080}, {"domain", 53}, {"echo", 7},  {"www", 80}};
  for (const auto& E : Table)
    if (P == E.Name) return E.Port;
  return -1;
}

// Leading digits of S (blanks skipped), -1 when it does not start with one;
// values beyond Max give -2.
long LeadingNumber(const std::string& S, long Max) {
  size_t I = S.find_first_not_of(' ');
  if (I == std::string::npos || !std::isdigit(static_cast<unsigned char>(S[I]))) return -1;
  long V = 0;
  for (; I < S.size() && std::isdigit(static_cast<unsigned char>(S[I])); ++I) {
    V = V * 10 + (S[I] - '0');
    if (V > Max) return -2;
  }
  return V;
}

// Names no server can know: RFC 6761's "invalid" domain, and a last label of
// digits only (no top-level domain is numeric). Asking for them would only send
// a query off the machine, or wait for the resolver's timeout.
bool NeverResolvable(const std::string& Host) {
  std::string H = Host;
  if (!H.empty() && H.back() == '.') H.pop_back();
  std::string Last = H.substr(H.rfind('.') == std::string::npos ? 0 : H.rfind('.') + 1);
  if (Last.empty()) return false;
  if (Last.find_first_not_of("0123456789") == std::string::npos) return true;
  if (Last.size() != 7) return false;
  for (auto& C : Last) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Last == "invalid";
}

// The IPv4 addresses of Host in the resolver's order, without repeats; empty
// when the name is unknown. Blocks while the resolver asks.
std::vector<in_addr> LookupIPv4(const std::string& Host) {
  std::vector<in_addr> Out;
  in_addr A{};
  if (inet_aton(Host.c_str(), &A) != 0) {  // numeric forms need no resolver
    Out.push_back(A);
    return Out;
  }
  if (NeverResolvable(Host)) return Out;
  addrinfo Hints{};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Res = nullptr;
  if (getaddrinfo(Host.c_str(), nullptr, &Hints, &Res) == 0) {
    for (addrinfo* I = Res; I; I = I->ai_next) {
      in_addr X = reinterpret_cast<sockaddr_in*>(I->ai_addr)->sin_addr;
      bool Seen = false;
      for (const auto& R : Out) Seen = Seen || R.s_addr == X.s_addr;
      if (!Seen) Out.push_back(X);
    }
  }
  if (Res) freeaddrinfo(Res);
  return Out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Error texts

std::string WSocketErrorDesc(int ErrCode) {
  switch (ErrCode) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    case sslHandshakeFailed:
    case sslCertVerifyFailed:
    case sslHostNameMismatch:
    case sslProtocolError:
    case sslTruncated:
    case sslInitFailed: return SslErrorDesc(ErrCode);
    default: return "Not a WinSock error";
  }
}

std::string WSocketErrorMsg(int ErrCode, const std::string& FunctionName) {
  return "Error " + std::to_string(ErrCode) + " in function " + FunctionName + "\r\n" +
         WSocketErrorDesc(ErrCode);
}

// ---------------------------------------------------------------------------
// Name conversions

bool WSocketIsDottedIP(const std::string& S) {
  size_t I = S.find_first_not_of(' ');
  if (I == std::string::npos || S[I] == '.') return false;
  int Dots = 0;
  int Part = -1;  // -1: no digit yet in this part
  for (; I < S.size(); ++I) {
    char C = S[I];
    if (C == '.') {
      if (Part < 0) return false;
      if (++Dots > 3) return false;
      Part = -1;
    } else if (C >= '0' && C <= '9') {
      Part = (Part < 0 ? 0 : Part) * 10 + (C - '0');
      if (Part > 255) return false;
    } else if (C == ' ') {
      if (S.find_first_not_of(' ', I) != std::string::npos) return false;
      break;
    } else {
      return false;
    }
  }
  return Dots == 3 && Part >= 0;
}

std::string WSocketIPToStr(in_addr A) {
  char Buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &A, Buf, sizeof Buf);
  return Buf;
}

in_addr WSocketResolveHost(const std::string& Host) {
  if (Host.empty() || Host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
  in_addr A{};
  if (WSocketIsDottedIP(Host)) {
    std::string T = Trim(Host);
    A.s_addr = inet_addr(T.c_str());
    if (A.s_addr == INADDR_NONE && T != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
    return A;
  }
  std::vector<in_addr> Found = LookupIPv4(Trim(Host));
  if (Found.empty())
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                  Host.c_str(), WSAHOST_NOT_FOUND));
  return Found.front();
}

uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32)
    throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (Proto.empty() || Proto.size() >= 32)
    throw ESocketException("WSocketResolvePort: Invalid Proto.");
  long N = LeadingNumber(Port, 65535);
  if (N == -2) throw ESocketException("WSocketResolvePort: Invalid Port.");  // would wrap around
  if (N >= 0) return static_cast<uint16_t>(N);
  std::string P = Trim(Port), Pr = Trim(Proto);
  if (servent* Se = getservbyname(P.c_str(), Pr.c_str()))
    return ntohs(static_cast<uint16_t>(Se->s_port));
  int Known = WellKnownPort(P);
  if (Known >= 0) return static_cast<uint16_t>(Known);
  throw ESocketException(
      Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(), WSANO_DATA));
}

int WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= 32)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  long N = LeadingNumber(Proto, 255);
  if (N == -2) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  if (N >= 0) return static_cast<int>(N);
  std::string P = Trim(Proto);
  if (protoent* Pe = getprotobyname(P.c_str())) return Pe->p_proto;
  int Known = WellKnownProto(P);
  if (Known >= 0) return Known;
  throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                Proto.c_str(), WSANO_DATA));
}

// ---------------------------------------------------------------------------
// Construction

// A name lookup on its worker thread; the socket keeps the running one, and a
// result whose serial is not the kept one's is dropped.
struct TCustomWSocket::TLookupJob {
  uint64_t Serial = 0;
  std::string Host;
  bool Reverse = false;
  std::vector<std::string> Results;  // written by the worker before it posts
};

TCustomWSocket::TCustomWSocket() : FLoopRef(TEventLoop::CurrentShared()), FLoop(*FLoopRef) {
  CreateSocketWindow();
  ResetDefaults();
}

TCustomWSocket::~TCustomWSocket() {
  Teardown();
  DestroySocketWindow();
}

void TCustomWSocket::Teardown() {
  if (FDestroying) return;
  FDestroying = true;
  *FAlive = false;
  try {
    CancelDnsLookup();
  } catch (...) {}
  try {
    if (FState != wsClosed) DoClose(true, 0);
  } catch (...) {
    // A destructor never throws.
  }
  CloseHandleOnce();
  FBufList.clear();
}

void TCustomWSocket::CreateSocketWindow() {
  FWindowHandle = FLoop.AllocateTarget([this](const TMessage& M) { HandleMessage(M); });
}

void TCustomWSocket::DestroySocketWindow() {
  if (FWindowHandle) FLoop.DestroyTarget(std::exchange(FWindowHandle, 0));
}

TWSocket& TCustomWSocket::Self() { return static_cast<TWSocket&>(*this); }

void TCustomWSocket::ResetDefaults() {
  FSin = sockaddr_in{};
  FSin.sin_family = AF_INET;
  FAddrStr.clear();
  FPortStr.clear();
  FAddrAssigned = FAddrResolved = false;
  FPortAssigned = FPortResolved = false;
  FLocalPortResolved = false;
  FProtoAssigned = true;
  FProtoResolved = false;
  FProtocol = 6;
  FProtoStr = "tcp";
  FSocketType = 1;
  FLocalPortStr = "0";
  FLocalAddr = "0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FSendFlags = wsSendNormal;
  FSelectEvents = 0;
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FReadCount = 0;
  FCloseInvoked = false;
  FCloseAfterSend = false;
  FPlatformCloseSeen = false;
  FReadArmed = FWriteArmed = FAcceptArmed = false;
  FSslEnable = false;
  FSslHostName.clear();
}

// ---------------------------------------------------------------------------
// Properties

void TCustomWSocket::AssignEndpointPart(const char* Name, const std::string& Value,
                                        std::string& Str, bool& Assigned, bool& Resolved) {
  std::string V = Trim(Value);
  if (FState != wsClosed) {
    if (Assigned && V == Str) return;
    RaiseError(std::string("Cannot change ") + Name + " if not closed");
    return;
  }
  Str = V;
  Assigned = !V.empty();
  Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
  AssignEndpointPart("Addr", Value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& Value) {
  AssignEndpointPart("Port", Value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& Value) {
  AssignEndpointPart("Proto", Value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change LocalAddr if not closed");
    return;
  }
  std::string V = Trim(Value);
  if (V.empty()) V = "0.0.0.0";
  in_addr A{};
  A.s_addr = WSocketIsDottedIP(V) ? inet_addr(V.c_str()) : INADDR_NONE;
  if (A.s_addr == INADDR_NONE && V != "255.255.255.255") {
    RaiseError("SetLocalAddr(): Invalid IP address");
    return;
  }
  FLocalAddr = WSocketIPToStr(A);
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change LocalPort if not closed");
    return;
  }
  FLocalPortStr = Value;
  FLocalPortResolved = false;
}

void TCustomWSocket::SetSendFlags(int V) {
  if (V != wsSendNormal && V != wsSendUrgent) {
    RaiseError("Invalid SendFlags");
    return;
  }
  FSendFlags = static_cast<TSocketSendFlags>(V);
}

int64_t TCustomWSocket::BufferedByteCount() const {
  int64_t N = 0;
  for (const auto& B : FBufList) N += B->WritePos() - B->ReadPos();
  return N;
}

int32_t TCustomWSocket::PlatformRcvdCount() {
  if (FHSocket < 0) return 0;
  int N = 0;
  if (ioctl(FHSocket, FIONREAD, &N) < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    SocketError("ioctlSocket");
    return -1;
  }
  FKnownPending = N;
  return N;
}

int32_t TCustomWSocket::RcvdCount() {
  if (FSsl) return FSsl->DecryptedPending();
  return PlatformRcvdCount();
}

std::string TCustomWSocket::PeerAddr() { return GetPeerAddr(); }
std::string TCustomWSocket::PeerPort() { return GetPeerPort(); }

std::string TCustomWSocket::GetPeerAddr() {
  if (FState != wsConnected) return "error";
  sockaddr_in Sin{};
  if (GetPeerName(Sin, sizeof Sin) != 0) {
    SocketError("GetPeerName");
    return "error";
  }
  return WSocketIPToStr(Sin.sin_addr);
}

std::string TCustomWSocket::GetPeerPort() {
  if (FState != wsConnected) return "error";
  sockaddr_in Sin{};
  if (GetPeerName(Sin, sizeof Sin) != 0) {
    SocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(ntohs(Sin.sin_port));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
  socklen_t Len = static_cast<socklen_t>(NameLen);
  if (FHSocket < 0 || getpeername(FHSocket, reinterpret_cast<sockaddr*>(&Name), &Len) < 0) {
    if (FHSocket < 0)
      WSASetLastError(WSAENOTSOCK);
    else
      SetErrno();
    return -1;
  }
  return 0;
}

int TCustomWSocket::GetSockName(sockaddr_in& Name, int& NameLen) {
  socklen_t Len = static_cast<socklen_t>(NameLen);
  if (FHSocket < 0 || getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Name), &Len) < 0) {
    if (FHSocket < 0)
      WSASetLastError(WSAENOTSOCK);
    else
      SetErrno();
    return -1;
  }
  NameLen = static_cast<int>(Len);
  return 0;
}

std::string TCustomWSocket::GetLocalPortText() {
  sockaddr_in Sin{};
  int Len = sizeof Sin;
  if (GetSockName(Sin, Len) != 0) return "error";
  return std::to_string(ntohs(Sin.sin_port));
}

std::string TCustomWSocket::GetLocalAddrText() {
  sockaddr_in Sin{};
  int Len = sizeof Sin;
  if (GetSockName(Sin, Len) != 0) return "error";
  return WSocketIPToStr(Sin.sin_addr);
}

// ---------------------------------------------------------------------------
// Errors

void TCustomWSocket::RaiseError(const std::string& Msg) {
  if (OnError) {
    NotifyError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::RaiseErrorFmt(const char* Fmt, ...) {
  char Buf[1024];
  va_list Args;
  va_start(Args, Fmt);
  std::vsnprintf(Buf, sizeof Buf, Fmt, Args);
  va_end(Args);
  RaiseError(Buf);
}

void TCustomWSocket::SocketError(const std::string& FunctionName) {
  int Code = WSAGetLastError();
  std::string Line = WSocketErrorMsg(Code, FunctionName);
  if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
    CloseHandleOnce();
    if (FState != wsClosed) {
      bool Notify = !FCloseInvoked;
      FCloseInvoked = true;
      SetState(wsClosed);
      auto Alive = FAlive;
      if (Notify) NotifySessionClosed(static_cast<uint16_t>(Code));
      if (!*Alive) throw ESocketException(Line);  // deleted by the handler: no OnError left
    }
  }
  FLastError = Code;
  RaiseError(Line);
}

void TCustomWSocket::HandleBackgroundException(std::exception_ptr E) {
  bool CanClose = true;
  if (OnBgException) {
    try {
      OnBgException(Self(), E, CanClose);
    } catch (...) {
      // The handler of a failure must not fail the loop in turn.
    }
  }
  if (CanClose) {
    try {
      Abort();
    } catch (...) {}
  }
}

// ---------------------------------------------------------------------------
// Notifications

bool TCustomWSocket::NotifyDataAvailable(uint16_t Error) {
  if (SslHandshaking()) {
    SslStep();
    return true;
  }
  if (!OnDataAvailable) return false;
  OnDataAvailable(Self(), Error);
  return true;
}
void TCustomWSocket::NotifySessionAvailable(uint16_t Error) {
  if (OnSessionAvailable) OnSessionAvailable(Self(), Error);
}
void TCustomWSocket::NotifySessionConnected(uint16_t Error) {
  // With TLS the owner hears of the connection once the handshake is done.
  if (Error == 0 && FSslEnable && !FSsl && FState == wsConnected) return SslBeginHandshake();
  if (OnSessionConnected) OnSessionConnected(Self(), Error);
}
void TCustomWSocket::NotifySessionClosed(uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(Self(), Error);
}
void TCustomWSocket::NotifyDataSent(uint16_t Error) {
  if (SslHandshaking()) {
    if (FSslWantWrite) SslStep();
    return;
  }
  if (OnDataSent) OnDataSent(Self(), Error);
}
void TCustomWSocket::NotifyChangeState(TSocketState OldState, TSocketState NewState) {
  if (OnChangeState && !FDestroying) OnChangeState(Self(), OldState, NewState);
}
void TCustomWSocket::NotifyDnsLookupDone(uint16_t Error) {
  if (OnDnsLookupDone) OnDnsLookupDone(Self(), Error);
}
void TCustomWSocket::NotifyError() {
  if (OnError) OnError(Self());
}

void TCustomWSocket::SetState(TSocketState NewState) {
  TSocketState Old = FState;
  FState = NewState;
  if (Old != NewState) NotifyChangeState(Old, NewState);
}

// ---------------------------------------------------------------------------
// Messages and readiness

void TCustomWSocket::HandleMessage(const TMessage& Msg) {
  auto Alive = FAlive;
  try {
    switch (Msg.Msg) {
      case SKM_ASYNC_SELECT:
        if (static_cast<int>(Msg.WParam) != FHSocket || FHSocket < 0 || FPaused) return;
        HandleAsyncSelect(WSAGetSelectEvent(Msg.LParam), WSAGetSelectError(Msg.LParam));
        break;
      case SKM_FD_READY:
        if (static_cast<int>(Msg.WParam) != FHSocket || FHSocket < 0 || FPaused) return;
        HandleFdReady(static_cast<uint32_t>(Msg.LParam));
        break;
      case SKM_SSL_PENDING:
        if (static_cast<int>(Msg.WParam) != FHSocket || FHSocket < 0 || FPaused) return;
        SslHandlePending();
        break;
      case SKM_LOOKUP_DONE:
      case SKM_REVERSE_LOOKUP_DONE: HandleLookupDone(Msg); break;
      case SKM_CLOSE_DELAYED:
        // The close that follows the last queued byte belongs to its connection only.
        if (Msg.LParam == 1 && (static_cast<int>(Msg.WParam) != FHSocket || !FCloseAfterSend))
          return;
        Close();
        break;
      case SKM_RELEASE: delete this; return;
      case SKM_TEST_EXCEPTION: throw ESocketException("Test exception in WSocket");
      default: break;
    }
  } catch (const std::exception&) {
    // A handler that deleted the socket and then failed leaves nobody to abort.
    if (*Alive) HandleBackgroundException(std::current_exception());
  }
}

void TCustomWSocket::PostTestException() { FLoop.PostMessage(FWindowHandle, SKM_TEST_EXCEPTION); }

// What the loop should watch, as asynchronous select would notify: read again
// only after a receive, write only while connecting or after a send would
// block, accept again only after an accept, nothing while paused.
void TCustomWSocket::ArmWatch() {
  if (FHSocket < 0) return;
  uint32_t Want = 0;
  if (!FPaused) {
    if (FState == wsConnecting) {
      Want = EPOLLOUT;
    } else if (FState == wsListening) {
      if (FSocketType == 1 ? FAcceptArmed : FReadArmed) Want = EPOLLIN;
    } else if (FState == wsConnected) {
      if (FReadArmed && !FPlatformCloseSeen)
        Want |= EPOLLIN | (FSocketType == 1 ? uint32_t(EPOLLRDHUP) : 0u);
      if (FWriteArmed) Want |= EPOLLOUT;
    }
  }
  if (Want == FArmedEvents && (Want == 0 || FWatchLive)) return;
  if (FLoop.WatchFd(FHSocket, Want, FWindowHandle, SKM_FD_READY)) {
    FArmedEvents = Want;
    FWatchLive = Want != 0;
  }
}

void TCustomWSocket::HandleFdReady(uint32_t Ev) {
  FWatchLive = false;  // one shot: fired, asleep until armed again
  uint16_t Bits = 0;
  int Err = 0;
  if (FState == wsConnecting) {
    if (Ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
      int SoErr = 0;
      socklen_t Len = sizeof SoErr;
      getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &SoErr, &Len);
      Err = WSocketErrorFromErrno(SoErr);
      Bits = FD_CONNECT;
      if (Err == 0) {
        Bits |= FD_WRITE;  // a fresh connection is writable, as WinSock says
        FReadArmed = true;
      }
    }
  } else if (FState == wsListening && FSocketType == 1) {
    if (Ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
      FAcceptArmed = false;
      Bits = FD_ACCEPT;
    }
  } else if (FSocketType == 2) {
    if ((Ev & (EPOLLIN | EPOLLERR)) && FReadArmed) {
      FReadArmed = false;
      Bits |= FD_READ;
    }
    if ((Ev & EPOLLOUT) && FWriteArmed) {
      FWriteArmed = false;
      Bits |= FD_WRITE;
    }
  } else if (FState == wsConnected) {
    if ((Ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && FWriteArmed) {
      FWriteArmed = false;
      Bits |= FD_WRITE;
      if (std::exchange(FSslReadWantsWrite, false)) Bits |= FD_READ;
    }
    if ((Ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && FReadArmed && SslEstablished()) {
      // Only decrypted bytes make a read notification, not a part of a record.
      Bits |= SslReadiness(Err);
    } else if ((Ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && FReadArmed) {
      int Pending = 0;
      if (ioctl(FHSocket, FIONREAD, &Pending) == 0 && Pending > 0) {
        FKnownPending = Pending;
        FReadArmed = false;
        Bits |= FD_READ;
      } else {
        // Nothing to read: the peer closed, or the readiness went stale
        // because the last receive loop drained it already.
        char C;
        ssize_t R = recv(FHSocket, &C, 1, MSG_PEEK | MSG_DONTWAIT);
        if (R > 0) {
          FReadArmed = false;
          Bits |= FD_READ;
        } else if (R == 0 || (errno != EAGAIN && errno != EINTR)) {
          FReadArmed = false;
          FPlatformCloseSeen = true;
          Bits |= FD_CLOSE;
          Err = R < 0 ? WSocketErrorFromErrno(errno) : FRecvError;
        }
      }
    }
  }
  // Armed again afterwards even when a handler throws and the socket is kept open.
  struct TRearm {
    TCustomWSocket& S;
    std::shared_ptr<bool> Alive;
    int Handle;
    ~TRearm() {
      if (*Alive && S.FHSocket == Handle) S.ArmWatch();
    }
  } Rearm{*this, FAlive, FHSocket};
  if (Bits) HandleAsyncSelect(Bits, static_cast<uint16_t>(Err));
}

void TCustomWSocket::HandleAsyncSelect(uint16_t Events, uint16_t Error) {
  auto Alive = FAlive;
  const int Handle = FHSocket;
  // A step that closed the socket (or deleted it) ends the handling: the
  // notification belonged to the connection that has gone.
  auto Gone = [&] { return !*Alive || FHSocket != Handle || FHSocket < 0; };

  if (Events & FD_CONNECT) {
    if (FState != wsConnected) {
      SetState(wsConnected);
      NotifySessionConnected(Error);
      if (Gone()) return;
      if (Error != 0 && FState != wsClosed) {
        Close();
        return;
      }
    }
  }
  if (Events & FD_READ) {
    if (FState != wsConnected) {
      SetState(wsConnected);
      NotifySessionConnected(Error);
      if (Gone()) return;
    }
    ReceiveLoop(Error, FComponentOptions);
    if (Gone()) return;
  }
  if (Events & FD_WRITE) {
    TryToSend();
    if (Gone()) return;
    if (FAllSent) {
      NotifyDataSent(Error);
      if (Gone()) return;
    }
  }
  if (Events & FD_ACCEPT) {
    NotifySessionAvailable(Error);
    if (Gone()) return;
  }
  if (Events & FD_CLOSE) {
    if (FState == wsConnecting) return;
    ReceiveLoop(Error, FComponentOptions & ~wsoNoReceiveLoop);
    if (Gone()) return;
    if (!FCloseInvoked) {
      FCloseInvoked = true;
      NotifySessionClosed(Error);
      if (Gone()) return;
    }
    if (FState != wsClosed) Close();
  }
}

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options) {
  auto Alive = FAlive;
  try {
    for (;;) {
      FLastError = 0;
      int Reads = FRecvCalls;
      if (!NotifyDataAvailable(Error)) {
        char Discard[1024];
        if (Receive(Discard, sizeof Discard) < 0) {
          if (FLastError == WSAEWOULDBLOCK) FLastError = 0;
          break;
        }
      }
      if (!*Alive) return;
      if (Options & wsoNoReceiveLoop) break;
      if (FLastError != 0 || FHSocket < 0) break;
      // A handler that reads nothing would make this loop spin; the data stays
      // until the owner reads it (the next read notification needs a receive).
      if (FRecvCalls == Reads) break;
      // What a pending count reported is still there, less what was read since:
      // the count is asked again only when that is used up.
      if (FSsl ? !SslMoreToRead() : FKnownPending <= 0 && PlatformRcvdCount() <= 0) break;
    }
  } catch (...) {
    // Deliberately swallowed: a failing data handler ends this round of
    // reading, it does not take the message loop down.
  }
}

// ---------------------------------------------------------------------------
// Connecting

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FHSocket < 0) {
    RaiseError("Cannot set linger option at this time");
    return;
  }
  linger L{};
  L.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
  L.l_linger = FLingerTimeout;
  if (setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &L, sizeof L) < 0) {
    SetErrno();
    SocketError("setsockopt(SO_LINGER)");
  }
}

bool TCustomWSocket::BindSocket() {
  sockaddr_in Local{};
  Local.sin_family = AF_INET;
  Local.sin_port = htons(FLocalPortNum);
  Local.sin_addr.s_addr = inet_addr(FLocalAddr.c_str());
  if (FLocalAddr == "255.255.255.255") Local.sin_addr.s_addr = INADDR_BROADCAST;
  if (bind(FHSocket, reinterpret_cast<sockaddr*>(&Local), sizeof Local) < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    RaiseErrorFmt("winsock.bind failed, error #%d", FLastError);
    return false;
  }
  socklen_t Len = sizeof Local;
  if (getsockname(FHSocket, reinterpret_cast<sockaddr*>(&Local), &Len) < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    RaiseErrorFmt("winsock.getsockname failed, error #%d", FLastError);
    return false;
  }
  FLocalPortNum = ntohs(Local.sin_port);
  FLocalPortStr = std::to_string(FLocalPortNum);
  FLocalPortResolved = true;
  return true;
}

void TCustomWSocket::Connect() {
  if (FHSocket >= 0 && FState != wsClosed) return RaiseError("Connect: Socket already in use");
  if (!FPortAssigned) return RaiseError("Connect: No Port Specified");
  if (!FAddrAssigned) return RaiseError("Connect: No IP Address Specified");
  if (!FProtoAssigned) return RaiseError("Connect: No Protocol Specified");
  try {
    if (!FProtoResolved) {
      FProtocol = WSocketResolveProto(FProtoStr);
      FSocketType = FProtocol == IPPROTO_UDP ? 2 : 1;
      FProtoResolved = true;
    }
    if (!FPortResolved) {
      FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
      FSin.sin_port = htons(FPortNum);
      FPortResolved = true;
    }
    if (!FLocalPortResolved) {
      FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
      FLocalPortResolved = true;
    }
    if (!FAddrResolved) {
      FSin.sin_addr = WSocketResolveHost(FAddrStr);
      FAddrResolved = true;
    }
  } catch (const std::exception& E) {
    return RaiseError(std::string("connect: ") + E.what());
  }
  FBufList.clear();
  FAllSent = true;
  FCloseInvoked = false;
  FPlatformCloseSeen = false;
  FRecvError = 0;
  FSslErrorText.clear();
  int Type = FSocketType == 2 ? SOCK_DGRAM : SOCK_STREAM;
  int Fd = socket(AF_INET, Type | SOCK_NONBLOCK | SOCK_CLOEXEC,
                  FSocketType == 2 ? IPPROTO_UDP : FProtocol);
  if (Fd < 0) {
    SetErrno();
    return SocketError("Connect (socket)");
  }
  FHSocket = Fd;
  SetState(wsOpened);
  auto Alive = FAlive;
  // From here a failure must not leave the descriptor behind.
  auto Fail = [&](const char* Fn) {
    SetErrno();
    int Code = WSAGetLastError();
    CloseHandleOnce();
    SetState(wsClosed);
    WSASetLastError(Code);
    SocketError(Fn);
  };
  // A failure raised on the way (bind, linger) must not leave the descriptor either.
  auto Drop = [&] {
    if (*Alive && FHSocket == Fd) {
      CloseHandleOnce();
      SetState(wsClosed);
    }
  };
  int One = 1;
  try {
    if (FSocketType == 1) {
      if (setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One) < 0)
        return Fail("setsockopt(SO_REUSEADDR)");
      if ((FComponentOptions & wsoTcpNoDelay) &&
          setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One) < 0)
        return Fail("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      ApplyLinger();
      if (setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &One, sizeof One) < 0)
        return Fail("setsockopt(SO_KEEPALIVE)");
      if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket()) return Drop();
    } else {
      if (!BindSocket()) return Drop();
      if (FMultiCast && FMultiCastIpTTL != 1) {
        unsigned char Ttl = static_cast<unsigned char>(FMultiCastIpTTL);
        if (setsockopt(Fd, IPPROTO_IP, IP_MULTICAST_TTL, &Ttl, sizeof Ttl) < 0)
          return Fail("setsockopt(IP_MULTICAST_TTL)");
      }
      if (FSin.sin_addr.s_addr == INADDR_BROADCAST &&
          setsockopt(Fd, SOL_SOCKET, SO_BROADCAST, &One, sizeof One) < 0)
        return Fail("setsockopt(SO_BROADCAST)");
    }
  } catch (...) {
    Drop();
    throw;
  }
  if (!*Alive || FHSocket != Fd) return;  // an OnError handler closed it meanwhile
  FSelectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  if (FSocketType == 2) {
    FReadArmed = true;
    SetState(wsConnected);
    ArmWatch();
    NotifySessionConnected(0);
    return;
  }
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) == 0 || errno == EINPROGRESS) {
    SetState(wsConnecting);
    ArmWatch();
    return;
  }
  int Code = WSocketErrorFromErrno(errno);
  switch (errno) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ECONNRESET:
      // Loopback refuses at once; WinSock reports it later, as the connect
      // notification with the error, and so do we.
      SetState(wsConnecting);
      FLoop.PostMessage(FWindowHandle, SKM_ASYNC_SELECT, static_cast<uintptr_t>(Fd),
                        WSAMakeSelectReply(FD_CONNECT, static_cast<uint16_t>(Code)));
      return;
    default:
      FLastError = Code;
      WSASetLastError(Code);
      SocketError("Connect");
  }
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
  if (FHSocket < 0) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  if (FSsl) return SslRecv(Buffer, BufferSize);
  ssize_t N = recv(FHSocket, Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize), Flags);
  if (N < 0) {
    SetErrno();
    FKnownPending = 0;
    // The kernel reports a reset once; the close notice that follows must still carry it.
    if (errno != EAGAIN && errno != EINTR) FRecvError = WSAGetLastError();
  } else {
    FKnownPending = N == 0 || FSocketType == 2 ? 0 : FKnownPending - N;
  }
  ++FRecvCalls;
  FReadArmed = true;  // a receive asks for the next read notification
  ArmWatch();
  return static_cast<int>(N);
}

int TCustomWSocket::DoRecvFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  if (FHSocket < 0) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  socklen_t Len = static_cast<socklen_t>(FromLen);
  ssize_t N = recvfrom(FHSocket, Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize), 0,
                       reinterpret_cast<sockaddr*>(&From), &Len);
  if (N < 0)
    SetErrno();
  else
    FromLen = static_cast<int>(Len);
  FKnownPending = 0;  // a datagram count covers one datagram only
  ++FRecvCalls;
  FReadArmed = true;
  ArmWatch();
  return static_cast<int>(N);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  int N = DoRecv(Buffer, BufferSize, 0);
  if (N < 0)
    FLastError = WSAGetLastError();
  else
    FReadCount += static_cast<uint32_t>(N);
  return N;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  int N = DoRecvFrom(Buffer, BufferSize, From, FromLen);
  if (N < 0)
    FLastError = WSAGetLastError();
  else
    FReadCount += static_cast<uint32_t>(N);
  return N;
}

std::string TCustomWSocket::ReceiveStr() {
  int32_t N = RcvdCount();
  if (N < 0) return {};
  if (N == 0) N = 255;
  std::string S(static_cast<size_t>(N), '\0');
  int Got = Receive(S.data(), N);
  if (Got <= 0) return {};
  S.resize(static_cast<size_t>(Got));
  return S;
}

// ---------------------------------------------------------------------------
// Sending

int TCustomWSocket::Send(const void* Data, int Len) {
  if (FState != wsConnected) {
    WSASetLastError(WSAENOTCONN);
    SocketError("Send");
    return -1;
  }
  if (Len <= 0 || Data == nullptr) return 0;
  FAllSent = false;
  const uint8_t* P = static_cast<const uint8_t*>(Data);
  int Left = Len;
  if (FSocketType == 2) {
    // One Send is one datagram: never split it at the chunk size.
    FBufList.push_back(std::make_unique<TBuffer>(Len));
    FBufList.back()->Append(P, Len);
    Left = 0;
  }
  while (Left > 0) {
    if (FBufList.empty() || FBufList.back()->WritePos() >= FBufList.back()->Capacity())
      FBufList.push_back(std::make_unique<TBuffer>(FSendChunkSize));
    int32_t N = FBufList.back()->Append(P, Left);
    P += N;
    Left -= N;
  }
  int Handle = FHSocket;
  TryToSend();
  // OnDataSent always comes from the message loop, never from inside Send.
  if (FAllSent && FHSocket == Handle && FHSocket >= 0)
    FLoop.PostMessage(FWindowHandle, SKM_ASYNC_SELECT, static_cast<uintptr_t>(FHSocket),
                      WSAMakeSelectReply(FD_WRITE, 0));
  return Len;
}

int TCustomWSocket::SendStr(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
  if (FHSocket < 0) {
    WSASetLastError(WSAENOTSOCK);
    FLastError = WSAENOTSOCK;
    return -1;
  }
  ssize_t N = sendto(FHSocket, Data, static_cast<size_t>(Len < 0 ? 0 : Len),
                     MSG_NOSIGNAL | (FSendFlags == wsSendUrgent ? MSG_OOB : 0),
                     reinterpret_cast<const sockaddr*>(&Dest), static_cast<socklen_t>(DestLen));
  if (N < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    if (FLastError == WSAEWOULDBLOCK) {
      FWriteArmed = true;
      ArmWatch();
    }
  }
  return static_cast<int>(N);
}

int TCustomWSocket::RealSend(const void* Data, int Len) {
  int Flags = MSG_NOSIGNAL | (FSendFlags == wsSendUrgent ? MSG_OOB : 0);
  ssize_t N;
  // With TLS switched on, nothing of the owner's leaves before the handshake
  // (a Send from OnChangeState, say): it waits in the queue for the session.
  if (FSslEnable && !FSsl && FSocketType == 1 && !NegotiatingBelowSsl()) return 0;
  if (FSsl) {
    const int Sent = SslSend(Data, Len);
    if (Sent > 0 && OnSendData) OnSendData(Self(), Sent);
    return Sent;
  }
  if (FSocketType == 2)
    N = sendto(FHSocket, Data, static_cast<size_t>(Len), Flags,
               reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
  else
    N = send(FHSocket, Data, static_cast<size_t>(Len), Flags);
  if (N < 0) {
    SetErrno();
    return -1;
  }
  if (N > 0 && OnSendData) OnSendData(Self(), static_cast<int>(N));
  return static_cast<int>(N);
}

void TCustomWSocket::TryToSend() {
  if (FHSocket < 0 || FBufList.empty()) return;
  auto Alive = FAlive;
  const int Handle = FHSocket;
  for (;;) {
    TBuffer& B = *FBufList.front();
    int32_t Len = 0;
    const uint8_t* P = B.UnsentPart(Len);
    if (Len == 0) {
      if (FBufList.size() > 1) {
        FBufList.pop_front();
        continue;
      }
      FAllSent = true;
      if (FCloseAfterSend)
        FLoop.PostMessage(FWindowHandle, SKM_CLOSE_DELAYED, static_cast<uintptr_t>(FHSocket), 1);
      return;
    }
    int N = RealSend(P, Len);
    if (!*Alive || FHSocket != Handle) return;  // OnSendData closed or deleted it
    if (N == 0) return;
    if (N < 0) {
      int Code = WSAGetLastError();
      switch (Code) {
        case WSAEINVAL:
        case WSAENOTSOCK:
        case WSAECONNABORTED:
        case WSAECONNRESET:
        case WSAENOTCONN:
        case sslProtocolError:
        case sslTruncated:
          FBufList.clear();
          FAllSent = true;
          FCloseInvoked = true;
          DoClose(false, 0);
          if (*Alive) NotifySessionClosed(static_cast<uint16_t>(Code));
          return;
        case WSAEWOULDBLOCK:
          FWriteArmed = true;
          ArmWatch();
          return;
        default:
          FLastError = Code;
          if (FSocketType == 2) {
            // That datagram can never go out; the ones behind it still can.
            FBufList.pop_front();
            FAllSent = FBufList.empty();
          }
          SocketError("TryToSend failed");
          return;
      }
    }
    B.Consume(N);
    if (N < Len) {
      // The network took part of it: wait until it takes more.
      FWriteArmed = true;
      ArmWatch();
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::CloseHandleOnce() {
  if (FHSocket < 0) return;
  int Fd = std::exchange(FHSocket, -1);
  FLoop.UnwatchFd(Fd);
  if (FWindowHandle) FLoop.RemoveMessages(FWindowHandle, SKM_ASYNC_SELECT);
  FArmedEvents = 0;
  FWatchLive = false;
  FKnownPending = 0;
  FSsl.reset();
  // Once, whatever close says: on Linux the number is free again even after
  // an error, and may already belong to another file.
  ::close(Fd);
}

void TCustomWSocket::DoClose(bool Shut, int Error) {
  if (FHSocket < 0) {
    if (FState != wsClosed) {
      SetState(wsClosed);
      try {
        ResetDefaults();
      } catch (...) {}
    }
    return;
  }
  if (FState == wsClosed) return;
  if (Shut && FSocketType == 1 && FState == wsConnected && !FDestroying &&
      BufferedByteCount() > 0) {
    // A graceful close sends what is queued first; the close follows the last byte.
    FCloseAfterSend = true;
    return;
  }
  if (Shut && FSocketType == 1 && FState == wsConnected) {
    // Unread input would make the kernel answer the close with a reset, and
    // the peer could lose what we sent last: what has arrived is dropped first.
    char Drain[4096];
    for (int Left = 256; Left > 0 && recv(FHSocket, Drain, sizeof Drain, MSG_DONTWAIT) > 0;
         --Left) {}
    if (FSsl) FSsl->SendCloseNotify();  // RFC 8446, 6.1: close_notify, then the FIN
    shutdown(FHSocket, SHUT_WR);
    // The kernel delivers what it still holds in the background instead of
    // resetting the connection (a zero linger would throw that data away).
    linger L{};
    setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  // Done with; a connection started from OnSessionClosed must not inherit it.
  FCloseAfterSend = false;
  CloseHandleOnce();
  FBufList.clear();
  SetState(wsClosed);
  if (!FDestroying && !FCloseInvoked) {
    FCloseInvoked = true;
    auto Alive = FAlive;
    NotifySessionClosed(static_cast<uint16_t>(Error));
    // The handler may have deleted the socket, or started the next
    // connection, whose settings a reset would wipe out.
    if (!*Alive || FHSocket >= 0) return;
  }
  try {
    ResetDefaults();
  } catch (...) {}
}

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseDelayed() { FLoop.PostMessage(FWindowHandle, SKM_CLOSE_DELAYED); }

void TCustomWSocket::Release() { FLoop.PostMessage(FWindowHandle, SKM_RELEASE); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  FBufList.clear();
  FAllSent = true;
  FCloseAfterSend = false;
  if (FHSocket >= 0 && FSocketType == 1 && FState == wsConnected) {
    // Abortive: a zero linger resets the connection at once.
    linger L{};
    L.l_onoff = 1;
    L.l_linger = 0;
    setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
  if (FHSocket >= 0) shutdown(FHSocket, How);
}

void TCustomWSocket::Flush() {
  auto Alive = FAlive;
  while (*Alive && FHSocket >= 0 && !FAllSent) {
    TryToSend();
    if (*Alive && FHSocket >= 0 && !FAllSent) FLoop.WaitOne();  // blocks until writable
  }
}

void TCustomWSocket::WaitForClose() {
  auto Alive = FAlive;
  while (*Alive && FState != wsClosed) {
    if (FHSocket >= 0 && PlatformRcvdCount() > 0) {
      char Discard[1024];
      Receive(Discard, sizeof Discard);
      continue;
    }
    FLoop.WaitOne();
  }
}

void TCustomWSocket::Pause() {
  FPaused = true;
  ArmWatch();
}

void TCustomWSocket::Resume() {
  FPaused = false;
  ArmWatch();
}

void TCustomWSocket::MessagePump() {
  if (FMultiThreaded) {
    FLoop.ProcessMessages();
    if (FLoop.QuitRequested()) FTerminated = true;
  } else if (TWaitStrategy* W = FLoop.WaitStrategy()) {
    W->ProcessEvents();
  } else {
    FLoop.ProcessMessages();
  }
}

// ---------------------------------------------------------------------------
// Listening

void TCustomWSocket::Listen() {
  if (FHSocket >= 0 && FState != wsClosed) return RaiseError("listen: Socket already in use");
  if (!FPortAssigned) return RaiseError("listen: port not assigned");
  if (!FProtoAssigned) return RaiseError("listen: protocol not assigned");
  sockaddr_in Local{};
  Local.sin_family = AF_INET;
  try {
    FProtocol = WSocketResolveProto(FProtoStr);
    FSocketType = FProtocol == IPPROTO_UDP ? 2 : 1;
    FProtoResolved = true;
    FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
    FPortResolved = true;
    Local.sin_port = htons(FPortNum);
    Local.sin_addr = FAddrAssigned ? WSocketResolveHost(FAddrStr) : in_addr{INADDR_ANY};
    FAddrResolved = FAddrAssigned;
  } catch (const std::exception& E) {
    return RaiseError(std::string("listen: ") + E.what());
  }
  int Fd =
      socket(AF_INET, (FSocketType == 2 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
             FSocketType == 2 ? IPPROTO_UDP : FProtocol);
  if (Fd < 0) {
    SetErrno();
    return SocketError("socket");
  }
  FHSocket = Fd;
  FCloseInvoked = false;
  auto Fail = [&](const char* Fn) {
    SetErrno();
    int Code = WSAGetLastError();
    CloseHandleOnce();
    FState = wsClosed;
    WSASetLastError(Code);
    SocketError(Fn);
  };
  int One = 1;
  if (FReuseAddr && setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One) < 0)
    return Fail("setsockopt(SO_REUSEADDR)");
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Local), sizeof Local) < 0) return Fail("bind");
  socklen_t Len = sizeof Local;
  if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Len) == 0) {
    FLocalPortNum = ntohs(Local.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
  }
  if (FSocketType == 1) {
    if (::listen(Fd, SOMAXCONN) < 0) return Fail("listen");
    FSelectEvents = FD_ACCEPT | FD_CLOSE;
    FAcceptArmed = true;
  } else {
    if (FMultiCast && !FMultiCastAddrStr.empty()) {
      ip_mreq Mreq{};
      Mreq.imr_multiaddr.s_addr = inet_addr(FMultiCastAddrStr.c_str());
      Mreq.imr_interface.s_addr = htonl(INADDR_ANY);
      if (setsockopt(Fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &Mreq, sizeof Mreq) < 0)
        return Fail("setsockopt(IP_ADD_MEMBERSHIP)");
    }
    FSelectEvents = FD_READ | FD_WRITE;
    FReadArmed = true;
  }
  SetState(wsListening);
  ArmWatch();
}

int TCustomWSocket::Accept() {
  if (FHSocket < 0 || FState != wsListening || FSocketType != 1) {
    WSASetLastError(WSAEINVAL);
    FLastError = WSAEINVAL;
    SocketError("Accept");
    return -1;
  }
  sockaddr_in Peer{};
  socklen_t Len = sizeof Peer;
  int Fd =
      accept4(FHSocket, reinterpret_cast<sockaddr*>(&Peer), &Len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  FAcceptArmed = true;  // an accept asks for the next accept notification
  ArmWatch();
  if (Fd < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    if (FLastError != WSAEWOULDBLOCK) SocketError("Accept");
    return -1;
  }
  return Fd;
}

void TCustomWSocket::Dup(int NewHSocket) {
  if (NewHSocket < 0) return RaiseError("Dup: invalid socket handle");
  if (FHSocket >= 0 && FState != wsClosed) {
    ::close(NewHSocket);  // handed over to us: never leak it
    return RaiseError("Dup: Socket already in use");
  }
  int Flags = fcntl(NewHSocket, F_GETFL);
  if (Flags >= 0) fcntl(NewHSocket, F_SETFL, Flags | O_NONBLOCK);
  int Type = SOCK_STREAM;
  socklen_t Len = sizeof Type;
  getsockopt(NewHSocket, SOL_SOCKET, SO_TYPE, &Type, &Len);
  FSocketType = Type == SOCK_DGRAM ? 2 : 1;
  FHSocket = NewHSocket;
  FBufList.clear();
  FAllSent = true;
  FCloseInvoked = false;
  FPlatformCloseSeen = false;
  FRecvError = 0;
  FSelectEvents = FD_READ | FD_WRITE | FD_CLOSE;
  FReadArmed = true;
  try {
    ApplyLinger();
  } catch (...) {}
  SetState(wsConnected);
  ArmWatch();
}

// ---------------------------------------------------------------------------
// Name lookup

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseError("DNS lookup: invalid host name.");
    NotifyDnsLookupDone(WSAEINVAL);
    return;
  }
  FLookup.reset();  // a lookup still running is dropped
  FDnsResult.clear();
  FDnsResultList.clear();
  if (WSocketIsDottedIP(HostName)) {
    in_addr A{};
    A.s_addr = inet_addr(Trim(HostName).c_str());
    if (A.s_addr != INADDR_NONE) {
      FDnsResult = WSocketIPToStr(A);
      NotifyDnsLookupDone(0);
      return;
    }
  }
  StartLookupThread(HostName, false);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (HostAddr.empty() || !WSocketIsDottedIP(HostAddr)) {
    RaiseError("Reverse DNS lookup: invalid IP address.");
    NotifyDnsLookupDone(WSAEINVAL);
    return;
  }
  FLookup.reset();
  FDnsResult.clear();
  FDnsResultList.clear();
  StartLookupThread(Trim(HostAddr), true);
}

void TCustomWSocket::StartLookupThread(const std::string& Host, bool Reverse) {
  auto Job = std::make_shared<TLookupJob>();
  Job->Serial = ++FLookupSerial;
  Job->Host = Host;
  Job->Reverse = Reverse;
  std::weak_ptr<TEventLoop> Loop = FLoopRef;
  THandle Target = FWindowHandle;
  try {
    // getaddrinfo blocks; it runs off the owner's thread and posts its result.
    std::thread([Job, Loop, Target] {
      int Err = 0;
      if (Job->Reverse) {
        sockaddr_in Sin{};
        Sin.sin_family = AF_INET;
        Sin.sin_addr.s_addr = inet_addr(Job->Host.c_str());
        char Name[NI_MAXHOST];
        if (getnameinfo(reinterpret_cast<sockaddr*>(&Sin), sizeof Sin, Name, sizeof Name, nullptr,
                        0, NI_NAMEREQD) == 0)
          Job->Results.push_back(Name);
        else
          Err = WSAHOST_NOT_FOUND;
      } else {
        for (in_addr A : LookupIPv4(Job->Host)) Job->Results.push_back(WSocketIPToStr(A));
        if (Job->Results.empty()) Err = WSAHOST_NOT_FOUND;  // every failed lookup, as WinSock says
      }
      if (auto L = Loop.lock())
        L->PostMessage(Target, Job->Reverse ? SKM_REVERSE_LOOKUP_DONE : SKM_LOOKUP_DONE,
                       static_cast<uintptr_t>(Job->Serial),
                       WSAMakeSelectReply(0, static_cast<uint16_t>(Err)));
    }).detach();
  } catch (const std::system_error& E) {
    RaiseErrorFmt("%s: can't start DNS lookup, error #%d", Host.c_str(), E.code().value());
    return;
  }
  FLookup = std::move(Job);
}

void TCustomWSocket::HandleLookupDone(const TMessage& Msg) {
  if (!FLookup || Msg.WParam != FLookup->Serial) return;  // cancelled or superseded
  auto Job = std::move(FLookup);
  uint16_t Err = WSAGetSelectError(Msg.LParam);
  if (Err == 0) {
    FDnsResultList = Job->Results;
    if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
  }
  NotifyDnsLookupDone(Err);
}

void TCustomWSocket::CancelDnsLookup() {
  if (!FLookup) return;
  FLookup.reset();  // its result, when it comes, is dropped
  if (!FDestroying) NotifyDnsLookupDone(WSAEINTR);
}

}  // namespace chronark
