#include "net/WSocket.h"

#include "common/cstring.h"

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
  return SameTextAscii(Last, "invalid");
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

namespace {

struct TSocketErrorText {
  int Code;
  const char* Text;
};

constexpr TSocketErrorText SocketErrorTexts[] = {
    {0, "No Error"},
    {WSAEINTR, "Interrupted system call"},
    {WSAEBADF, "Bad file number"},
    {WSAEACCES, "Permission denied"},
    {WSAEFAULT, "Bad address"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open files"},
    {WSAEWOULDBLOCK, "Operation would block"},
    {WSAEINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, "Operation already in progress"},
    {WSAENOTSOCK, "Socket operation on non-socket"},
    {WSAEDESTADDRREQ, "Destination address required"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEPROTOTYPE, "Protocol wrong type for socket"},
    {WSAENOPROTOOPT, "Protocol not available"},
    {WSAEPROTONOSUPPORT, "Protocol not supported"},
    {WSAESOCKTNOSUPPORT, "Socket type not supported"},
    {WSAEOPNOTSUPP, "Operation not supported on socket"},
    {WSAEPFNOSUPPORT, "Protocol family not supported"},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Address not available"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, "Connection aborted"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAEISCONN, "Socket is already connected"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAESHUTDOWN, "Can't send after socket shutdown"},
    {WSAETOOMANYREFS, "Too many references: can't splice"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAELOOP, "Too many levels of symbolic links"},
    {WSAENAMETOOLONG, "File name too long"},
    {WSAEHOSTDOWN, "Host is down"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSAENOTEMPTY, "Directory not empty"},
    {WSAEPROCLIM, "Too many processes"},
    {WSAEUSERS, "Too many users"},
    {WSAEDQUOT, "Disc quota exceeded"},
    {WSAESTALE, "Stale NFS file handle"},
    {WSAEREMOTE, "Too many levels of remote in path"},
    {WSASYSNOTREADY, "Network sub-system is unusable"},
    {WSAVERNOTSUPPORTED, "WinSock DLL cannot support this application"},
    {WSANOTINITIALISED, "WinSock not initialized"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Non-authoritative host not found"},
    {WSANO_RECOVERY, "Non-recoverable error"},
    {WSANO_DATA, "No Data"},
};

}  // namespace

std::string WSocketErrorDesc(int ErrCode) {
  for (const auto& E : SocketErrorTexts)
    if (E.Code == ErrCode) return E.Text;
  // TLS failures (net/SslEngine.h) travel as socket errors too.
  if (std::string Ssl = SslErrorDesc(ErrCode); !Ssl.empty()) return Ssl;
  return "Not a WinSock error";
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
    std::string T(Trim(Host, SpaceTab));
    A.s_addr = inet_addr(T.c_str());
    if (A.s_addr == INADDR_NONE && T != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
    return A;
  }
  std::vector<in_addr> Found = LookupIPv4(std::string(Trim(Host, SpaceTab)));
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
  std::string P(Trim(Port, SpaceTab)), Pr(Trim(Proto, SpaceTab));
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
  std::string P(Trim(Proto, SpaceTab));
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
  FLife.End();
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
  FAddr = TEndpointPart{};
  FPort = TEndpointPart{};
  FProto = TEndpointPart{"tcp", true, false};
  FLocalPortResolved = false;
  FProtocol = 6;
  FSocketType = 1;
  FLocalPortStr = "0";
  FLocalAddr = "0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FSendFlags = wsSendNormal;
  FSelect.Events = 0;
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FReadCount = 0;
  FCloseInvoked = false;
  FCloseAfterSend = false;
  FSelect.PlatformCloseSeen = false;
  FSelect.ReadArmed = FSelect.WriteArmed = FSelect.AcceptArmed = false;
  FSslEnable = false;
  FSslHostName.clear();
}

// ---------------------------------------------------------------------------
// Properties

void TCustomWSocket::AssignEndpointPart(const char* Name, const std::string& Value,
                                        TEndpointPart& Part) {
  std::string V(Trim(Value, SpaceTab));
  if (FState != wsClosed) {
    if (Part.Assigned && V == Part.Str) return;
    RaiseError(std::string("Cannot change ") + Name + " if not closed");
    return;
  }
  Part.Str = V;
  Part.Assigned = !V.empty();
  Part.Resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) { AssignEndpointPart("Addr", Value, FAddr); }

void TCustomWSocket::SetPort(const std::string& Value) { AssignEndpointPart("Port", Value, FPort); }

void TCustomWSocket::SetProto(const std::string& Value) {
  AssignEndpointPart("Proto", Value, FProto);
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (FState != wsClosed) {
    RaiseError("Cannot change LocalAddr if not closed");
    return;
  }
  std::string V(Trim(Value, SpaceTab));
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
  if (!FHSocket.Valid()) return 0;
  int N = 0;
  if (ioctl(FHSocket.Fd(), FIONREAD, &N) < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    SocketError("ioctlSocket");
    return -1;
  }
  FSelect.KnownPending = N;
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
  if (!FHSocket.Valid() ||
      getpeername(FHSocket.Fd(), reinterpret_cast<sockaddr*>(&Name), &Len) < 0) {
    if (!FHSocket.Valid())
      WSASetLastError(WSAENOTSOCK);
    else
      SetErrno();
    return -1;
  }
  return 0;
}

int TCustomWSocket::GetSockName(sockaddr_in& Name, int& NameLen) {
  socklen_t Len = static_cast<socklen_t>(NameLen);
  if (!FHSocket.Valid() ||
      getsockname(FHSocket.Fd(), reinterpret_cast<sockaddr*>(&Name), &Len) < 0) {
    if (!FHSocket.Valid())
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
      if (Notify && !FLife.Fire([&] { NotifySessionClosed(static_cast<uint16_t>(Code)); }))
        throw ESocketException(Line);  // deleted by the handler: no OnError left
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
  const auto Alive = FLife.Watch();
  try {
    switch (Msg.Msg) {
      case SKM_ASYNC_SELECT:
        if (static_cast<int>(Msg.WParam) != FHSocket.Fd() || !FHSocket.Valid() || FPaused) return;
        HandleAsyncSelect(WSAGetSelectEvent(Msg.LParam), WSAGetSelectError(Msg.LParam));
        break;
      case SKM_FD_READY:
        if (static_cast<int>(Msg.WParam) != FHSocket.Fd() || !FHSocket.Valid() || FPaused) return;
        HandleFdReady(static_cast<uint32_t>(Msg.LParam));
        break;
      case SKM_SSL_PENDING:
        if (static_cast<int>(Msg.WParam) != FHSocket.Fd() || !FHSocket.Valid() || FPaused) return;
        SslHandlePending();
        break;
      case SKM_LOOKUP_DONE:
      case SKM_REVERSE_LOOKUP_DONE: HandleLookupDone(Msg); break;
      case SKM_CLOSE_DELAYED:
        // The close that follows the last queued byte belongs to its connection only.
        if (Msg.LParam == 1 && (static_cast<int>(Msg.WParam) != FHSocket.Fd() || !FCloseAfterSend))
          return;
        Close();
        break;
      case SKM_RELEASE: delete this; return;
      case SKM_TEST_EXCEPTION: throw ESocketException("Test exception in WSocket");
      default: break;
    }
  } catch (const std::exception&) {
    // A handler that deleted the socket and then failed leaves nobody to abort.
    if (Alive.Alive()) HandleBackgroundException(std::current_exception());
  }
}

void TCustomWSocket::PostTestException() { FLoop.PostMessage(FWindowHandle, SKM_TEST_EXCEPTION); }

// What the loop should watch, as asynchronous select would notify: read again
// only after a receive, write only while connecting or after a send would
// block, accept again only after an accept, nothing while paused.
void TCustomWSocket::ArmWatch() {
  if (!FHSocket.Valid()) return;
  uint32_t Want = 0;
  if (!FPaused) {
    if (FState == wsConnecting) {
      Want = EPOLLOUT;
    } else if (FState == wsListening) {
      if (FSocketType == 1 ? FSelect.AcceptArmed : FSelect.ReadArmed) Want = EPOLLIN;
    } else if (FState == wsConnected) {
      if (FSelect.ReadArmed && !FSelect.PlatformCloseSeen)
        Want |= EPOLLIN | (FSocketType == 1 ? uint32_t(EPOLLRDHUP) : 0u);
      if (FSelect.WriteArmed) Want |= EPOLLOUT;
    }
  }
  if (Want == FSelect.ArmedEvents && (Want == 0 || FSelect.WatchLive)) return;
  if (FLoop.WatchFd(FHSocket.Fd(), Want, FWindowHandle, SKM_FD_READY)) {
    FSelect.ArmedEvents = Want;
    FSelect.WatchLive = Want != 0;
  }
}

void TCustomWSocket::HandleFdReady(uint32_t Ev) {
  FSelect.WatchLive = false;  // one shot: fired, asleep until armed again
  int Err = 0;
  uint16_t Bits = 0;
  if (FState == wsConnecting)
    Bits = ConnectingReady(Ev, Err);
  else if (FState == wsListening && FSocketType == 1)
    Bits = ListeningReady(Ev);
  else if (FSocketType == 2)
    Bits = DatagramReady(Ev);
  else if (FState == wsConnected)
    Bits = ConnectedReady(Ev, Err);
  // Armed again afterwards even when a handler throws and the socket is kept open.
  struct TRearm {
    TCustomWSocket& S;
    TConnectionWatch Conn;
    ~TRearm() {
      if (!Conn.Gone()) S.ArmWatch();
    }
  } Rearm{*this, TConnectionWatch(*this)};
  if (Bits) HandleAsyncSelect(Bits, static_cast<uint16_t>(Err));
}

// The connect finished, one way or the other: the socket's pending error says which.
uint16_t TCustomWSocket::ConnectingReady(uint32_t Ev, int& Err) {
  if (!(Ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return 0;
  int SoErr = 0;
  socklen_t Len = sizeof SoErr;
  getsockopt(FHSocket.Fd(), SOL_SOCKET, SO_ERROR, &SoErr, &Len);
  Err = WSocketErrorFromErrno(SoErr);
  if (Err != 0) return FD_CONNECT;
  FSelect.ReadArmed = true;
  return FD_CONNECT | FD_WRITE;  // a fresh connection is writable, as WinSock says
}

uint16_t TCustomWSocket::ListeningReady(uint32_t Ev) {
  if (!(Ev & (EPOLLIN | EPOLLERR | EPOLLHUP))) return 0;
  FSelect.AcceptArmed = false;
  return FD_ACCEPT;
}

uint16_t TCustomWSocket::DatagramReady(uint32_t Ev) {
  uint16_t Bits = 0;
  if ((Ev & (EPOLLIN | EPOLLERR)) && FSelect.ReadArmed) {
    FSelect.ReadArmed = false;
    Bits |= FD_READ;
  }
  if ((Ev & EPOLLOUT) && FSelect.WriteArmed) {
    FSelect.WriteArmed = false;
    Bits |= FD_WRITE;
  }
  return Bits;
}

uint16_t TCustomWSocket::ConnectedReady(uint32_t Ev, int& Err) {
  uint16_t Bits = 0;
  if ((Ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && FSelect.WriteArmed) {
    FSelect.WriteArmed = false;
    Bits |= FD_WRITE;
    if (std::exchange(FSslReadWantsWrite, false)) Bits |= FD_READ;
  }
  // With TLS only decrypted bytes make a read notification, not part of a record.
  if ((Ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && FSelect.ReadArmed)
    Bits |= SslEstablished() ? SslReadiness(Err) : StreamReadReady(Err);
  return Bits;
}

// FD_READ while bytes wait, FD_CLOSE once the peer closed (or reset), nothing
// when the readiness went stale because the last receive loop drained it.
uint16_t TCustomWSocket::StreamReadReady(int& Err) {
  int Pending = 0;
  if (ioctl(FHSocket.Fd(), FIONREAD, &Pending) == 0 && Pending > 0) {
    FSelect.KnownPending = Pending;
    FSelect.ReadArmed = false;
    return FD_READ;
  }
  char C;
  const ssize_t R = recv(FHSocket.Fd(), &C, 1, MSG_PEEK | MSG_DONTWAIT);
  const int Errno = errno;
  if (R > 0) {
    FSelect.ReadArmed = false;
    return FD_READ;
  }
  if (R < 0 && (Errno == EAGAIN || Errno == EINTR)) return 0;
  FSelect.ReadArmed = false;
  FSelect.PlatformCloseSeen = true;
  Err = R < 0 ? WSocketErrorFromErrno(Errno) : FSelect.RecvError;
  return FD_CLOSE;
}

void TCustomWSocket::HandleAsyncSelect(uint16_t Events, uint16_t Error) {
  // A step that closed the socket (or deleted it) ends the handling: the
  // notification belonged to the connection that has gone.
  const TConnectionWatch Conn(*this);
  if ((Events & FD_CONNECT) && !SelectConnect(Error, Conn)) return;
  if ((Events & FD_READ) && !SelectRead(Error, Conn)) return;
  if ((Events & FD_WRITE) && !SelectWrite(Error, Conn)) return;
  if (Events & FD_ACCEPT) {
    NotifySessionAvailable(Error);
    if (Conn.Gone()) return;
  }
  if (Events & FD_CLOSE) SelectClose(Error, Conn);
}

// The connection is up (or failed, Error): the owner hears of it.
bool TCustomWSocket::SelectConnect(uint16_t Error, const TConnectionWatch& Conn) {
  if (FState == wsConnected) return true;
  SetState(wsConnected);
  NotifySessionConnected(Error);
  if (Conn.Gone()) return false;
  if (Error != 0 && FState != wsClosed) {
    Close();
    return false;
  }
  return true;
}

bool TCustomWSocket::SelectRead(uint16_t Error, const TConnectionWatch& Conn) {
  if (FState != wsConnected) {
    SetState(wsConnected);
    NotifySessionConnected(Error);
    if (Conn.Gone()) return false;
  }
  ReceiveLoop(Error, FComponentOptions);
  return !Conn.Gone();
}

bool TCustomWSocket::SelectWrite(uint16_t Error, const TConnectionWatch& Conn) {
  TryToSend();
  if (Conn.Gone()) return false;
  if (FAllSent) {
    NotifyDataSent(Error);
    if (Conn.Gone()) return false;
  }
  return true;
}

// The peer closed: what it sent last is read first, then the owner hears of the close.
void TCustomWSocket::SelectClose(uint16_t Error, const TConnectionWatch& Conn) {
  if (FState == wsConnecting) return;
  ReceiveLoop(Error, FComponentOptions & ~wsoNoReceiveLoop);
  if (Conn.Gone()) return;
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    NotifySessionClosed(Error);
    if (Conn.Gone()) return;
  }
  if (FState != wsClosed) Close();
}

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options) {
  try {
    for (;;) {
      FLastError = 0;
      const int Reads = FSelect.RecvCalls;
      bool Taken = false;
      if (!FLife.Fire([&] { Taken = NotifyDataAvailable(Error); })) return;
      if (!Taken) {
        char Discard[1024];
        if (Receive(Discard, sizeof Discard) < 0) {
          if (FLastError == WSAEWOULDBLOCK) FLastError = 0;
          break;
        }
      }
      if (Options & wsoNoReceiveLoop) break;
      if (FLastError != 0 || !FHSocket.Valid()) break;
      // A handler that reads nothing would make this loop spin; the data stays
      // until the owner reads it (the next read notification needs a receive).
      if (FSelect.RecvCalls == Reads) break;
      // What a pending count reported is still there, less what was read since:
      // the count is asked again only when that is used up.
      if (FSsl ? !SslMoreToRead() : FSelect.KnownPending <= 0 && PlatformRcvdCount() <= 0) break;
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
  if (!FHSocket.Valid()) {
    RaiseError("Cannot set linger option at this time");
    return;
  }
  linger L{};
  L.l_onoff = FLingerOnOff == wsLingerOn ? 1 : 0;
  L.l_linger = FLingerTimeout;
  if (setsockopt(FHSocket.Fd(), SOL_SOCKET, SO_LINGER, &L, sizeof L) < 0) {
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
  if (bind(FHSocket.Fd(), reinterpret_cast<sockaddr*>(&Local), sizeof Local) < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    RaiseErrorFmt("winsock.bind failed, error #%d", FLastError);
    return false;
  }
  socklen_t Len = sizeof Local;
  if (getsockname(FHSocket.Fd(), reinterpret_cast<sockaddr*>(&Local), &Len) < 0) {
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

bool TCustomWSocket::CheckConnectSettings() {
  const char* Problem = nullptr;
  if (FHSocket.Valid() && FState != wsClosed)
    Problem = "Connect: Socket already in use";
  else if (!FPort.Assigned)
    Problem = "Connect: No Port Specified";
  else if (!FAddr.Assigned)
    Problem = "Connect: No IP Address Specified";
  else if (!FProto.Assigned)
    Problem = "Connect: No Protocol Specified";
  if (!Problem) return true;
  RaiseError(Problem);
  return false;
}

// Proto, Port and Addr as numbers in FSin. Connect converts what was set
// since the last conversion (and the local port to bind), Listen all of it,
// any address when none is set. False when a conversion failed (raised, or
// taken by OnError).
bool TCustomWSocket::ResolveEndpoint(const char* Op, bool Listening) {
  try {
    if (Listening || !FProto.Resolved) {
      FProtocol = WSocketResolveProto(FProto.Str);
      FSocketType = FProtocol == IPPROTO_UDP ? 2 : 1;
      FProto.Resolved = true;
    }
    if (Listening || !FPort.Resolved) {
      FPortNum = WSocketResolvePort(FPort.Str, FProto.Str);
      FSin.sin_port = htons(FPortNum);
      FPort.Resolved = true;
    }
    if (!Listening && !FLocalPortResolved) {
      FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProto.Str);
      FLocalPortResolved = true;
    }
    if (Listening && !FAddr.Assigned) {
      FSin.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (Listening || !FAddr.Resolved) {
      FSin.sin_addr = WSocketResolveHost(FAddr.Str);
      FAddr.Resolved = true;
    }
  } catch (const std::exception& E) {
    RaiseError(std::string(Op) + ": " + E.what());
    return false;
  }
  return true;
}

// A new non-blocking descriptor of the resolved type; false when the system
// refused one (raised, or taken by OnError).
bool TCustomWSocket::OpenSocket(const char* FunctionName) {
  const bool Datagram = FSocketType == 2;
  const int Fd =
      socket(AF_INET, (Datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC,
             Datagram ? IPPROTO_UDP : FProtocol);
  if (Fd < 0) {
    SetErrno();
    SocketError(FunctionName);
    return false;
  }
  FHSocket.Adopt(Fd);
  FCloseInvoked = false;
  return true;
}

// A call on the new descriptor failed: the descriptor goes, the error is reported.
void TCustomWSocket::FailSocketCall(const char* FunctionName) {
  SetErrno();
  const int Code = WSAGetLastError();
  CloseHandleOnce();
  SetState(wsClosed);
  WSASetLastError(Code);
  SocketError(FunctionName);
}

// A failure raised on the way (bind, linger) must not leave the descriptor either.
void TCustomWSocket::DropSocket(const TConnectionWatch& Conn) {
  if (Conn.Gone()) return;
  CloseHandleOnce();
  SetState(wsClosed);
}

void TCustomWSocket::Connect() {
  if (!CheckConnectSettings() || !ResolveEndpoint("connect", false)) return;
  FBufList.clear();
  FAllSent = true;
  FCloseInvoked = false;
  FSelect.PlatformCloseSeen = false;
  FSelect.RecvError = 0;
  FSslErrorText.clear();
  if (!OpenSocket("Connect (socket)")) return;
  SetState(wsOpened);
  const TConnectionWatch Conn(*this);
  bool Ready = false;
  try {
    Ready = FSocketType == 1 ? SetUpStreamSocket(Conn) : SetUpDatagramSocket(Conn);
  } catch (...) {
    DropSocket(Conn);
    throw;
  }
  if (!Ready || Conn.Gone()) return;  // an OnError handler closed it meanwhile
  FSelect.Events = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  if (FSocketType == 2) {
    FSelect.ReadArmed = true;
    SetState(wsConnected);
    ArmWatch();
    NotifySessionConnected(0);
    return;
  }
  StartTcpConnect();
}

// The options of a new stream socket; false when one failed (and was reported).
bool TCustomWSocket::SetUpStreamSocket(const TConnectionWatch& Conn) {
  const int Fd = FHSocket.Fd();
  int One = 1;
  if (setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One) < 0)
    return FailSocketCall("setsockopt(SO_REUSEADDR)"), false;
  if ((FComponentOptions & wsoTcpNoDelay) &&
      setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One) < 0)
    return FailSocketCall("setsockopt(IPPROTO_TCP, TCP_NODELAY)"), false;
  ApplyLinger();
  if (setsockopt(Fd, SOL_SOCKET, SO_KEEPALIVE, &One, sizeof One) < 0)
    return FailSocketCall("setsockopt(SO_KEEPALIVE)"), false;
  if ((FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket())
    return DropSocket(Conn), false;
  return true;
}

bool TCustomWSocket::SetUpDatagramSocket(const TConnectionWatch& Conn) {
  const int Fd = FHSocket.Fd();
  if (!BindSocket()) return DropSocket(Conn), false;
  if (FMultiCast && FMultiCastIpTTL != 1) {
    unsigned char Ttl = static_cast<unsigned char>(FMultiCastIpTTL);
    if (setsockopt(Fd, IPPROTO_IP, IP_MULTICAST_TTL, &Ttl, sizeof Ttl) < 0)
      return FailSocketCall("setsockopt(IP_MULTICAST_TTL)"), false;
  }
  int One = 1;
  if (FSin.sin_addr.s_addr == INADDR_BROADCAST &&
      setsockopt(Fd, SOL_SOCKET, SO_BROADCAST, &One, sizeof One) < 0)
    return FailSocketCall("setsockopt(SO_BROADCAST)"), false;
  return true;
}

// The TCP handshake starts; its end is FD_CONNECT (see ConnectingReady).
void TCustomWSocket::StartTcpConnect() {
  const int Fd = FHSocket.Fd();
  if (::connect(Fd, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin) == 0 || errno == EINPROGRESS) {
    SetState(wsConnecting);
    ArmWatch();
    return;
  }
  const int Errno = errno;
  const int Code = WSocketErrorFromErrno(Errno);
  switch (Errno) {
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
  if (!FHSocket.Valid()) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  if (FSsl) return SslRecv(Buffer, BufferSize);
  ssize_t N =
      recv(FHSocket.Fd(), Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize), Flags);
  if (N < 0) {
    SetErrno();
    FSelect.KnownPending = 0;
    // The kernel reports a reset once; the close notice that follows must still carry it.
    if (errno != EAGAIN && errno != EINTR) FSelect.RecvError = WSAGetLastError();
  } else {
    FSelect.KnownPending = N == 0 || FSocketType == 2 ? 0 : FSelect.KnownPending - N;
  }
  ++FSelect.RecvCalls;
  FSelect.ReadArmed = true;  // a receive asks for the next read notification
  ArmWatch();
  return static_cast<int>(N);
}

int TCustomWSocket::DoRecvFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
  if (!FHSocket.Valid()) {
    WSASetLastError(WSAENOTSOCK);
    return -1;
  }
  socklen_t Len = static_cast<socklen_t>(FromLen);
  ssize_t N = recvfrom(FHSocket.Fd(), Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize),
                       0, reinterpret_cast<sockaddr*>(&From), &Len);
  if (N < 0)
    SetErrno();
  else
    FromLen = static_cast<int>(Len);
  FSelect.KnownPending = 0;  // a datagram count covers one datagram only
  ++FSelect.RecvCalls;
  FSelect.ReadArmed = true;
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
  const TConnectionWatch Conn(*this);
  TryToSend();
  // OnDataSent always comes from the message loop, never from inside Send.
  if (!Conn.Gone() && FAllSent)
    FLoop.PostMessage(FWindowHandle, SKM_ASYNC_SELECT, static_cast<uintptr_t>(FHSocket.Fd()),
                      WSAMakeSelectReply(FD_WRITE, 0));
  return Len;
}

int TCustomWSocket::SendStr(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
  if (!FHSocket.Valid()) {
    WSASetLastError(WSAENOTSOCK);
    FLastError = WSAENOTSOCK;
    return -1;
  }
  ssize_t N = sendto(FHSocket.Fd(), Data, static_cast<size_t>(Len < 0 ? 0 : Len),
                     MSG_NOSIGNAL | (FSendFlags == wsSendUrgent ? MSG_OOB : 0),
                     reinterpret_cast<const sockaddr*>(&Dest), static_cast<socklen_t>(DestLen));
  if (N < 0) {
    SetErrno();
    FLastError = WSAGetLastError();
    if (FLastError == WSAEWOULDBLOCK) WaitWritable();
  }
  return static_cast<int>(N);
}

int TCustomWSocket::RealSend(const void* Data, int Len) {
  // With TLS switched on, nothing of the owner's leaves before the handshake
  // (a Send from OnChangeState, say): it waits in the queue for the session.
  if (FSslEnable && !FSsl && FSocketType == 1 && !NegotiatingBelowSsl()) return 0;
  if (FSsl) {
    const int Sent = SslSend(Data, Len);
    if (Sent > 0 && OnSendData) OnSendData(Self(), Sent);
    return Sent;
  }
  int Flags = MSG_NOSIGNAL | (FSendFlags == wsSendUrgent ? MSG_OOB : 0);
  ssize_t N;
  if (FSocketType == 2)
    N = sendto(FHSocket.Fd(), Data, static_cast<size_t>(Len), Flags,
               reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
  else
    N = send(FHSocket.Fd(), Data, static_cast<size_t>(Len), Flags);
  if (N < 0) {
    SetErrno();
    return -1;
  }
  if (N > 0 && OnSendData) OnSendData(Self(), static_cast<int>(N));
  return static_cast<int>(N);
}

void TCustomWSocket::TryToSend() {
  if (!FHSocket.Valid() || FBufList.empty()) return;
  const TConnectionWatch Conn(*this);
  for (;;) {
    TBuffer& B = *FBufList.front();
    int32_t Len = 0;
    const uint8_t* P = B.UnsentPart(Len);
    if (Len == 0) {
      if (FBufList.size() > 1) {
        FBufList.pop_front();
        continue;
      }
      return SendQueueEmpty();
    }
    const int N = RealSend(P, Len);
    if (Conn.Gone()) return;  // OnSendData closed or deleted it
    if (N == 0) return;
    if (N < 0) return SendFailed(WSAGetLastError());
    B.Consume(N);
    // The network took part of it: wait until it takes more.
    if (N < Len) return WaitWritable();
  }
}

void TCustomWSocket::SendQueueEmpty() {
  FAllSent = true;
  if (FCloseAfterSend)
    FLoop.PostMessage(FWindowHandle, SKM_CLOSE_DELAYED, static_cast<uintptr_t>(FHSocket.Fd()), 1);
}

void TCustomWSocket::WaitWritable() {
  FSelect.WriteArmed = true;
  ArmWatch();
}

// The connection has gone (closed with Code), the network is full, or this
// one datagram can never go out.
void TCustomWSocket::SendFailed(int Code) {
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
      if (FLife.Fire([&] { DoClose(false, 0); })) NotifySessionClosed(static_cast<uint16_t>(Code));
      return;
    case WSAEWOULDBLOCK: return WaitWritable();
    default:
      FLastError = Code;
      if (FSocketType == 2) {
        // That datagram can never go out; the ones behind it still can.
        FBufList.pop_front();
        FAllSent = FBufList.empty();
      }
      SocketError("TryToSend failed");
  }
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::CloseHandleOnce() {
  if (!FHSocket.Valid()) return;
  TSocketDescriptor Closing;
  Closing.Adopt(FHSocket.Release());
  FLoop.UnwatchFd(Closing.Fd());
  if (FWindowHandle) FLoop.RemoveMessages(FWindowHandle, SKM_ASYNC_SELECT);
  FSelect.ArmedEvents = 0;
  FSelect.WatchLive = false;
  FSelect.KnownPending = 0;
  FSsl.reset();
}

void TSocketDescriptor::Close() {
  if (FFd >= 0) ::close(std::exchange(FFd, -1));
}

void TCustomWSocket::DoClose(bool Shut, int Error) {
  if (!FHSocket.Valid()) {
    if (FState != wsClosed) {
      SetState(wsClosed);
      ResetQuietly();
    }
    return;
  }
  if (FState == wsClosed) return;
  if (Shut && FSocketType == 1 && FState == wsConnected && ShutdownGracefully()) return;
  // Done with; a connection started from OnSessionClosed must not inherit it.
  FCloseAfterSend = false;
  CloseHandleOnce();
  FBufList.clear();
  SetState(wsClosed);
  if (!FDestroying && !FCloseInvoked) {
    FCloseInvoked = true;
    // The handler may have deleted the socket, or started the next
    // connection, whose settings a reset would wipe out.
    if (!FLife.Fire([&] { NotifySessionClosed(static_cast<uint16_t>(Error)); }) || FHSocket.Valid())
      return;
  }
  ResetQuietly();
}

void TCustomWSocket::ResetQuietly() {
  try {
    ResetDefaults();
  } catch (...) {}
}

// The graceful close of a connected stream. True while queued data still goes
// out first (the close follows the last byte).
bool TCustomWSocket::ShutdownGracefully() {
  if (!FDestroying && BufferedByteCount() > 0) {
    FCloseAfterSend = true;
    return true;
  }
  // Unread input would make the kernel answer the close with a reset, and
  // the peer could lose what we sent last: what has arrived is dropped first.
  char Drain[4096];
  for (int Left = 256; Left > 0 && recv(FHSocket.Fd(), Drain, sizeof Drain, MSG_DONTWAIT) > 0;
       --Left) {}
  if (FSsl) FSsl->SendCloseNotify();  // RFC 8446, 6.1: close_notify, then the FIN
  shutdown(FHSocket.Fd(), SHUT_WR);
  // The kernel delivers what it still holds in the background instead of
  // resetting the connection (a zero linger would throw that data away).
  linger L{};
  setsockopt(FHSocket.Fd(), SOL_SOCKET, SO_LINGER, &L, sizeof L);
  return false;
}

void TCustomWSocket::Close() { DoClose(true, 0); }

void TCustomWSocket::CloseDelayed() { FLoop.PostMessage(FWindowHandle, SKM_CLOSE_DELAYED); }

void TCustomWSocket::Release() { FLoop.PostMessage(FWindowHandle, SKM_RELEASE); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  FBufList.clear();
  FAllSent = true;
  FCloseAfterSend = false;
  if (FHSocket.Valid() && FSocketType == 1 && FState == wsConnected) {
    // Abortive: a zero linger resets the connection at once.
    linger L{};
    L.l_onoff = 1;
    L.l_linger = 0;
    setsockopt(FHSocket.Fd(), SOL_SOCKET, SO_LINGER, &L, sizeof L);
  }
  DoClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
  if (FHSocket.Valid()) shutdown(FHSocket.Fd(), How);
}

void TCustomWSocket::Flush() {
  const auto Alive = FLife.Watch();
  while (Alive.Alive() && FHSocket.Valid() && !FAllSent) {
    TryToSend();
    if (Alive.Alive() && FHSocket.Valid() && !FAllSent) FLoop.WaitOne();  // blocks until writable
  }
}

void TCustomWSocket::WaitForClose() {
  const auto Alive = FLife.Watch();
  while (Alive.Alive() && FState != wsClosed) {
    if (FHSocket.Valid() && PlatformRcvdCount() > 0) {
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
  if (FHSocket.Valid() && FState != wsClosed) return RaiseError("listen: Socket already in use");
  if (!FPort.Assigned) return RaiseError("listen: port not assigned");
  if (!FProto.Assigned) return RaiseError("listen: protocol not assigned");
  if (!ResolveEndpoint("listen", true) || !OpenSocket("socket")) return;
  const int Fd = FHSocket.Fd();
  int One = 1;
  if (FReuseAddr && setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One) < 0)
    return FailSocketCall("setsockopt(SO_REUSEADDR)");
  sockaddr_in Local = FSin;
  if (bind(Fd, reinterpret_cast<sockaddr*>(&Local), sizeof Local) < 0)
    return FailSocketCall("bind");
  socklen_t Len = sizeof Local;
  if (getsockname(Fd, reinterpret_cast<sockaddr*>(&Local), &Len) == 0) {
    FLocalPortNum = ntohs(Local.sin_port);
    FLocalPortStr = std::to_string(FLocalPortNum);
  }
  if (!(FSocketType == 1 ? StartListening() : JoinMulticastGroup())) return;
  SetState(wsListening);
  ArmWatch();
}

bool TCustomWSocket::StartListening() {
  if (::listen(FHSocket.Fd(), SOMAXCONN) < 0) return FailSocketCall("listen"), false;
  FSelect.Events = FD_ACCEPT | FD_CLOSE;
  FSelect.AcceptArmed = true;
  return true;
}

// A listening datagram socket: joins the multicast group when one is set.
bool TCustomWSocket::JoinMulticastGroup() {
  if (FMultiCast && !FMultiCastAddrStr.empty()) {
    ip_mreq Mreq{};
    Mreq.imr_multiaddr.s_addr = inet_addr(FMultiCastAddrStr.c_str());
    Mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(FHSocket.Fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &Mreq, sizeof Mreq) < 0)
      return FailSocketCall("setsockopt(IP_ADD_MEMBERSHIP)"), false;
  }
  FSelect.Events = FD_READ | FD_WRITE;
  FSelect.ReadArmed = true;
  return true;
}

int TCustomWSocket::Accept() {
  if (!FHSocket.Valid() || FState != wsListening || FSocketType != 1) {
    WSASetLastError(WSAEINVAL);
    FLastError = WSAEINVAL;
    SocketError("Accept");
    return -1;
  }
  sockaddr_in Peer{};
  socklen_t Len = sizeof Peer;
  int Fd = accept4(FHSocket.Fd(), reinterpret_cast<sockaddr*>(&Peer), &Len,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  FSelect.AcceptArmed = true;  // an accept asks for the next accept notification
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
  if (FHSocket.Valid() && FState != wsClosed) {
    ::close(NewHSocket);  // handed over to us: never leak it
    return RaiseError("Dup: Socket already in use");
  }
  int Flags = fcntl(NewHSocket, F_GETFL);
  if (Flags >= 0) fcntl(NewHSocket, F_SETFL, Flags | O_NONBLOCK);
  int Type = SOCK_STREAM;
  socklen_t Len = sizeof Type;
  getsockopt(NewHSocket, SOL_SOCKET, SO_TYPE, &Type, &Len);
  FSocketType = Type == SOCK_DGRAM ? 2 : 1;
  FHSocket.Adopt(NewHSocket);
  FBufList.clear();
  FAllSent = true;
  FCloseInvoked = false;
  FSelect.PlatformCloseSeen = false;
  FSelect.RecvError = 0;
  FSelect.Events = FD_READ | FD_WRITE | FD_CLOSE;
  FSelect.ReadArmed = true;
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
    A.s_addr = inet_addr(std::string(Trim(HostName, SpaceTab)).c_str());
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
  StartLookupThread(std::string(Trim(HostAddr, SpaceTab)), true);
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
