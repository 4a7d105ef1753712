#include "net/HttpProt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/civildate.h"
#include "common/cstring.h"
#include "common/exceptions.h"
#include "net/WSocket.h"
#include "platform/eventloop/EventLoop.h"

namespace chronark {

namespace {

// Copy(S, Index1, Count) with 1-based Index1: out-of-range parts give less or nothing.
std::string Copy1(std::string_view S, int64_t Index1, int64_t Count) {
  if (Index1 < 1) Index1 = 1;
  if (Count <= 0 || Index1 > static_cast<int64_t>(S.size())) return {};
  return std::string(S.substr(static_cast<size_t>(Index1 - 1), static_cast<size_t>(Count)));
}

bool IsHttps(std::string_view Proto) { return AsciiLowerCase(Proto) == "https"; }

std::string DefaultPort(bool Ssl) { return Ssl ? "443" : "80"; }

std::string Scheme(bool Ssl) { return Ssl ? "https://" : "http://"; }

// ":" + Port unless it is the scheme's default port, for the Location texts.
std::string PortSuffix(const std::string& Port, bool Ssl) {
  return Port.empty() || Port == DefaultPort(Ssl) ? std::string() : ":" + Port;
}

// An absolute URL from its parts: "http" when no protocol is named, the
// port only when one is.
std::string UrlText(const TUrlParts& U, const std::string& Path) {
  return (U.Proto.empty() ? std::string("http") : U.Proto) + "://" + U.Host +
         (U.Port.empty() ? "" : ":" + U.Port) + Path;
}

// The protocols this client speaks: none named (plain HTTP), "http", and
// "https" as it has always been taken.
bool IsHttpScheme(const std::string& Proto) {
  const std::string P = AsciiLowerCase(Proto);
  return P.empty() || P == "http" || P == "https";
}

// "HTTP/1.0" or "HTTP/1.1", alone or followed by a blank (the status code
// and reason phrase are checked as they are taken apart).
bool IsStatusLine(std::string_view Line) {
  const std::string_view Version = Line.substr(0, 8);
  return (Version == "HTTP/1.0" || Version == "HTTP/1.1") && (Line.size() == 8 || Line[8] == ' ');
}

std::string ErrorText(int Error) {
  return WSocketErrorDesc(Error) + " (Error #" + std::to_string(Error) + ")";
}

struct THttpErrorEntry {
  THttpError Error;
  uint16_t Code;
  const char* Text;
};

constexpr THttpErrorEntry HttpErrors[] = {
    {THttpError::Busy, 1, "HTTP component is busy"},
    {THttpError::NothingToPost, 2, "HTTP component has nothing to post"},
    {THttpError::LineTooLong, 4, "HTTP line too long"},
    {THttpError::NoResponse, 404, "HTTP connection closed without response"},
    {THttpError::IncompleteDocument, 404, "HTTP connection closed before end of document"},
    {THttpError::TooManyRelocations, 0, "HTTP too many relocations"},
    {THttpError::HttpsToHttp, 0, "HTTP relocation from https to http refused"},
    {THttpError::ProxyClosed, 404, "HTTP proxy closed the connection before answering CONNECT"},
    {THttpError::Destroyed, 0, "HTTP component destroyed during request"},
    {THttpError::HeaderNul, 404, "HTTP header contains a NUL byte"},
    {THttpError::UnsupportedResponse, 404, "HTTP unsupported response"},
    {THttpError::UnsupportedProtocol, 404, "HTTP unsupported protocol"},
    {THttpError::EmptyLocation, 404, "HTTP relocation without location"},
    {THttpError::BadContentLength, 404, "HTTP invalid Content-Length"},
    {THttpError::HandlerFailed, 404, "HTTP event handler failed"},
    {THttpError::Failed, 404, ""},
};

const THttpErrorEntry& HttpErrorEntry(THttpError E) {
  for (const auto& Entry : HttpErrors)
    if (Entry.Error == E) return Entry;
  return HttpErrors[std::size(HttpErrors) - 1];
}

[[noreturn]] void RaiseHttpError(THttpError E) {
  throw EHttpException(HttpErrorText(E), HttpErrorCode(E));
}

// The status a request gets when it ends by a failure of its own.
uint16_t FailedStatus() { return HttpErrorCode(THttpError::Failed); }

}  // namespace

uint16_t HttpErrorCode(THttpError E) { return HttpErrorEntry(E).Code; }
std::string HttpErrorText(THttpError E) { return HttpErrorEntry(E).Text; }

int64_t HttpStrToInt(std::string_view S) {
  size_t I = 0;
  while (I < S.size() && S[I] == ' ') ++I;
  bool Neg = false;
  if (I < S.size() && (S[I] == '-' || S[I] == '+')) Neg = S[I++] == '-';
  const size_t Digits = I;
  int64_t V = 0;
  bool Overflow = false;
  for (; I < S.size() && S[I] >= '0' && S[I] <= '9'; ++I) {
    if (V > (INT64_MAX - (S[I] - '0')) / 10)
      Overflow = true;
    else
      V = V * 10 + (S[I] - '0');
  }
  if (I == Digits || I != S.size() || Overflow) throw std::invalid_argument(InvalidIntegerText(S));
  return Neg ? -V : V;
}

namespace {

// "./x" and "../x" against the directory of Base (up to its last "/", or
// "/"); false when Url is neither form.
bool ResolveRelative(std::string_view Url, std::string_view Base, TUrlParts& R) {
  const size_t Slash = Base.rfind('/');
  std::string Dir = Slash == std::string_view::npos ? "/" : std::string(Base.substr(0, Slash + 1));
  if (Url.substr(0, 2) == "./") {
    R.Path = Dir + std::string(Url.substr(2));
    return true;
  }
  if (Url.substr(0, 3) != "../") return false;
  std::string_view Rest = Url.substr(3);
  for (;;) {
    // Drop the directory's last segment.
    const size_t P = Dir.size() >= 2 ? Dir.rfind('/', Dir.size() - 2) : std::string::npos;
    Dir = P == std::string::npos ? std::string("/") : Dir.substr(0, P + 1);
    if (Rest.substr(0, 3) != "../") break;
    Rest.remove_prefix(3);
  }
  R.Path = Dir + std::string(Rest);
  return true;
}

// The protocol in front; Rem is what follows it. False when Url turned out
// to be a path on this server (R.Path holds it).
bool SplitScheme(std::string_view Url, TUrlParts& R, std::string_view& Rem) {
  const size_t Sep = Url.find("://");
  if (Sep != std::string_view::npos) {
    R.Proto = std::string(Url.substr(0, Sep));
    Rem = Url.substr(Sep + 3);
  } else if (Url[0] == '/') {
    R.Proto = "http";
    if (Url.size() > 1 && Url[1] != '/') {
      R.Path = std::string(Url);
      return false;
    }
    Rem = Url.substr(1);
  } else if (StartsTextAscii(Url, "http:")) {
    R.Proto = "http";
    if (Url.size() > 6 && Url[6] != '/') {
      R.Path = std::string(Url.substr(5));
      return false;
    }
    Rem = Url.substr(std::min<size_t>(6, Url.size()));
  } else if (StartsTextAscii(Url, "mailto:")) {
    R.Proto = "mailto";
    Rem = Url.substr(Url.find(':') + 1);
  } else {
    Rem = Url;
  }
  return true;
}

// "user:pass" in front of the host's "@".
void SplitCredentials(std::string_view Cred, TUrlParts& R) {
  const size_t C = Cred.find(':');
  R.User = std::string(Cred.substr(0, C));
  if (C != std::string_view::npos) R.Pass = std::string(Cred.substr(C + 1));
}

// [user[:pass]@]host[:port][/path or ?query]
void SplitAuthority(std::string_view Rem, TUrlParts& R) {
  const size_t PathStart = std::min(Rem.find('/'), Rem.find('?'));
  std::string_view Auth = Rem;
  if (PathStart != std::string_view::npos) {
    R.Path = std::string(Rem.substr(PathStart));
    Auth = Rem.substr(0, PathStart);
  }
  const size_t Colon = Auth.rfind(':');
  const size_t At = Auth.rfind('@');
  if (Colon == std::string_view::npos && At == std::string_view::npos) {
    R.Host = std::string(Auth);
    return;
  }
  if (Colon != std::string_view::npos && (At == std::string_view::npos || At < Colon)) {
    R.Port = std::string(Auth.substr(Colon + 1));
    const size_t HostStart = At == std::string_view::npos ? 0 : At + 1;
    R.Host = std::string(Auth.substr(HostStart, Colon - HostStart));
  } else {
    R.Host = std::string(Auth.substr(At + 1));
  }
  if (At != std::string_view::npos) SplitCredentials(Auth.substr(0, At), R);
}

}  // namespace

TUrlParts SplitUrl(std::string_view Url, std::string_view Base) {
  TUrlParts R;
  if (Url.empty() || ResolveRelative(Url, Base, R)) return R;
  std::string_view Rem;
  if (SplitScheme(Url, R, Rem)) SplitAuthority(Rem, R);
  return R;
}

std::string FormatHttpDate(double DateTime) {
  static const char Days[] = "MonTueWedThuFriSatSun";
  static const char Months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (!std::isfinite(DateTime) || std::fabs(DateTime) > 3.0e6)
    DateTime = 0;  // outside the years 1..9999: no date to speak of
  const int64_t WholeDays = static_cast<int64_t>(std::trunc(DateTime));
  const int64_t K = (((WholeDays - 2) % 7) + 7) % 7;

  int Year, Month, Day;
  CivilFromDays(WholeDays - 25569, Year, Month, Day);  // day 25569 is 01.01.1970

  int64_t Ms = std::llround(std::fabs(DateTime - std::trunc(DateTime)) * 86400000.0);
  Ms = std::min<int64_t>(Ms, 86399999);
  const int Secs = static_cast<int>(Ms / 1000);

  char Buf[64];
  std::snprintf(Buf, sizeof Buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d", Days + 3 * K, Day,
                Months + 3 * (Month - 1), Year, Secs / 3600, Secs / 60 % 60, Secs % 60);
  return Buf;
}

std::string EncodeBase64(std::string_view Data) {
  static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string Out;
  Out.reserve((Data.size() + 2) / 3 * 4);
  size_t I = 0;
  for (; I + 2 < Data.size(); I += 3) {
    const uint32_t V = static_cast<uint8_t>(Data[I]) << 16 |
                       static_cast<uint8_t>(Data[I + 1]) << 8 | static_cast<uint8_t>(Data[I + 2]);
    Out += Alphabet[V >> 18];
    Out += Alphabet[(V >> 12) & 63];
    Out += Alphabet[(V >> 6) & 63];
    Out += Alphabet[V & 63];
  }
  if (I < Data.size()) {
    const bool Two = I + 1 < Data.size();
    const uint32_t V =
        static_cast<uint8_t>(Data[I]) << 16 | (Two ? static_cast<uint8_t>(Data[I + 1]) << 8 : 0);
    Out += Alphabet[V >> 18];
    Out += Alphabet[(V >> 12) & 63];
    Out += Two ? Alphabet[(V >> 6) & 63] : '=';
    Out += '=';
  }
  return Out;
}

// ---------------------------------------------------------------------------

THttpCli::THttpCli() : FCtrlSocket(std::make_unique<TWSocket>()) {
  FCtrlSocket->OnSessionClosed = [this](TWSocket&, uint16_t E) { SocketSessionClosed(E); };
  FCtrlSocket->OnDataAvailable = [this](TWSocket&, uint16_t E) { SocketDataAvailable(E); };
  FCtrlSocket->OnSessionConnected = [this](TWSocket&, uint16_t E) { SocketSessionConnected(E); };
  FCtrlSocket->OnDataSent = [this](TWSocket&, uint16_t E) { SocketDataSent(E); };
  FCtrlSocket->OnDnsLookupDone = [this](TWSocket&, uint16_t E) { SocketDnsLookupDone(E); };
  AllocateWindow();
}

THttpCli::~THttpCli() {
  FLife.End();
  // The socket may still report its close while it goes; nobody listens any more.
  FCtrlSocket->OnSessionClosed = nullptr;
  FCtrlSocket->OnDataAvailable = nullptr;
  FCtrlSocket->OnSessionConnected = nullptr;
  FCtrlSocket->OnDataSent = nullptr;
  FCtrlSocket->OnDnsLookupDone = nullptr;
  try {
    DisarmTimer();
    ReleaseWindow();
  } catch (...) {}
}

void THttpCli::SetMultiThreaded(bool Value) {
  FMultiThreaded = Value;
  FCtrlSocket->SetMultiThreaded(Value);
}

// ---- the transport -------------------------------------------------------

void THttpCli::AllocateWindow() {
  std::weak_ptr<const bool> Alive = FLife.Weak();
  FWindow = TEventLoop::Current().AllocateTarget([this, Alive](const TMessage& M) {
    if (auto A = Alive.lock(); A && *A) HandleMessage(M.Msg, M.WParam);
  });
}

void THttpCli::ReleaseWindow() {
  if (FWindow) {
    TEventLoop::Current().DestroyTarget(FWindow);
    FWindow = 0;
  }
}

int32_t THttpCli::SocketReceive(void* Buffer, int32_t Size) {
  return FCtrlSocket->Receive(Buffer, Size);
}
void THttpCli::SocketSend(const void* Data, int32_t Len) { FCtrlSocket->Send(Data, Len); }
void THttpCli::SocketClose() {
  // The request is over when this is called: nothing still queued needs to
  // reach the server, and the closing handler must run within this call.
  if (FCtrlSocket->BufferedByteCount() > 0)
    FCtrlSocket->Abort();
  else
    FCtrlSocket->Close();
}
void THttpCli::SocketAbort() { FCtrlSocket->Abort(); }
int THttpCli::SocketLastError() { return FCtrlSocket->LastError(); }

void THttpCli::PostToSelf(uint32_t Msg, uintptr_t WParam) {
  TEventLoop::Current().PostMessage(FWindow, Msg, WParam);
}

void THttpCli::ArmTimer(std::chrono::milliseconds Delay) {
  DisarmTimer();
  FTimerId = TEventLoop::Current().SetTimer(FWindow, HCM_TIMEOUT, Delay, FRequestId);
}

void THttpCli::DisarmTimer() {
  if (FTimerId) {
    TEventLoop::Current().KillTimer(FTimerId);
    FTimerId = 0;
  }
}

void THttpCli::WaitForEvents() {
  // Blocks without using CPU until the next event; in a Qt program the
  // installed strategy waits in Qt's loop, so windows stay responsive.
  if (FMultiThreaded)
    TEventLoop::Current().NativeWaitOne();
  else
    TEventLoop::Current().WaitOne();
}

void THttpCli::ProcessPending() { TEventLoop::Current().ProcessMessages(); }

// ---- events and re-entry ---------------------------------------------------
//
// Every event fire goes through Fire. A handler may throw, or destroy the
// component; either way the step that fired must not go on. Fire ends the
// request with the handler's message (or notices that nothing is left) and
// throws TStop, which unwinds to the entry point the event loop, the socket
// or the caller came in through (Entry). Calls into the transport that may
// report back at once (a close runs the closing handler within) go through
// Transport, which notices a component destroyed meanwhile.

template <class TCall>
void THttpCli::Fire(TCall&& Call) {
  const TLiveness::TWatch Alive = FLife.Watch();
  bool Threw = false;
  std::string Failure;
  try {
    Call();
  } catch (const TStop&) {
    throw;
  } catch (const std::exception& E) {
    Threw = true;
    Failure = E.what();
  } catch (...) {
    Threw = true;
    Failure = HttpErrorText(THttpError::HandlerFailed);
  }
  if (!Alive.Alive()) throw TStop{};
  if (!Threw) return;
  HandlerFailed(Failure);
  throw TStop{};
}

template <class TEvent, class... TArgs>
void THttpCli::FireEvent(const TEvent& Event, TArgs&&... Args) {
  if (Event) Fire([&] { Event(*this, std::forward<TArgs>(Args)...); });
}

template <class TStep>
void THttpCli::Entry(TStep&& Step) {
  try {
    Step();
  } catch (const TStop&) {
    // The request was ended by the step that stopped, or the component is gone.
  }
}

template <class TCall>
void THttpCli::Transport(TCall&& Call) {
  const TLiveness::TWatch Alive = FLife.Watch();
  Call();
  if (!Alive.Alive()) throw TStop{};
}

void THttpCli::CloseSocket() {
  Transport([&] { SocketClose(); });
}
void THttpCli::AbortSocket() {
  Transport([&] { SocketAbort(); });
}

// A handler threw: the request ends with its message. After the request's
// end (OnStateChange to hsReady, OnRequestDone) Get still raises it.
void THttpCli::HandlerFailed(const std::string& Message) {
  if (!FReadyPosted) return FailWith(Message);
  if (FFailed) return;
  FFailed = true;
  FFailMessage = Message;
  FFailCode = HttpErrorCode(THttpError::Failed);
}

// ---- the private messages --------------------------------------------------

void THttpCli::HandleMessage(uint32_t Msg, uintptr_t WParam) {
  Entry([&] {
    switch (Msg) {
      case HCM_REQUEST_DONE: FireEvent(OnRequestDone, FRequestType, FRequestDoneError); break;
      case HCM_SET_READY:
        // A stale message of an earlier request must not end this one.
        if (WParam == FRequestId) {
          DisarmTimer();
          SetState(hsReady);
        }
        break;
      case HCM_RESTART:
        if (WParam == FRequestId && !FReadyPosted) StartLookup();
        break;
      case HCM_TIMEOUT:
        if (WParam == FRequestId) {
          FTimerId = 0;
          CheckTimeouts();
        }
        break;
      default: break;
    }
  });
}

void THttpCli::SetState(THttpCliState NewState) {
  if (FState == NewState) return;
  FState = NewState;
  // Posted first: OnRequestDone follows even when OnStateChange fails.
  if (NewState == hsReady) PostToSelf(HCM_REQUEST_DONE, FRequestId);
  FireEvent(OnStateChange);
}

void THttpCli::SetReady() {
  if (FReadyPosted) return;
  FReadyPosted = true;
  PostToSelf(HCM_SET_READY, FRequestId);
}

// ---- timeouts -------------------------------------------------------------

void THttpCli::Progress() { FLastProgress = std::chrono::steady_clock::now(); }

void THttpCli::ScheduleTimer() {
  using namespace std::chrono;
  const auto Now = steady_clock::now();
  milliseconds Delay = milliseconds::max();
  if (TotalTimeout.count() > 0)
    Delay = std::min(Delay, duration_cast<milliseconds>(FStartTime + TotalTimeout - Now));
  if (IdleTimeout.count() > 0)
    Delay = std::min(Delay, duration_cast<milliseconds>(FLastProgress + IdleTimeout - Now));
  if (Delay == milliseconds::max()) return;
  // The timer is armed for the earliest deadline known now; progress made
  // meanwhile only moves the deadline, which CheckTimeouts finds then.
  ArmTimer(std::max(Delay, milliseconds(0)) + milliseconds(1));
}

void THttpCli::CheckTimeouts() {
  Entry([&] {
    if (FReadyPosted || FState == hsReady) return;
    const auto Now = std::chrono::steady_clock::now();
    const bool Total = TotalTimeout.count() > 0 && Now - FStartTime >= TotalTimeout;
    const bool Idle = IdleTimeout.count() > 0 && Now - FLastProgress >= IdleTimeout;
    if (Total || Idle)
      FailWith(ErrorText(WSAETIMEDOUT), WSAETIMEDOUT);
    else
      ScheduleTimer();
  });
}

void THttpCli::Fail(const std::string& Msg, uint16_t Code, uint16_t SocketErr, bool KeepStatus) {
  if (FReadyPosted) return;
  FFailed = true;
  FFailMessage = Msg;
  FFailCode = Code;
  if (SocketErr) FRequestDoneError = SocketErr;
  if (!KeepStatus) FStatusCode = FailedStatus();
  FReasonPhrase = Msg;
  SetReady();
  FRcvdCount = 0;
  FConnected = false;
  // Drop the connection at once: the server's further bytes are not wanted.
  AbortSocket();
}

void THttpCli::Fail(THttpError E) {
  // Too many relocations keeps the status of the last one, and raises it.
  if (E == THttpError::TooManyRelocations || E == THttpError::HttpsToHttp)
    return Fail(HttpErrorText(E), static_cast<uint16_t>(FStatusCode), 0, true);
  Fail(HttpErrorText(E), HttpErrorCode(E), 0);
}

void THttpCli::FailWith(const std::string& Msg, uint16_t SocketErr) {
  Fail(Msg, HttpErrorCode(THttpError::Failed), SocketErr);
}

// ---- starting a request ----------------------------------------------------

void THttpCli::Get() { BlockingRequest(hrGet); }
void THttpCli::Post() { BlockingRequest(hrPost); }
void THttpCli::Head() { BlockingRequest(hrHead); }

void THttpCli::BlockingRequest(THttpRequest Rq) {
  const auto Alive = FLife.Watch();
  StartRequest(Rq);
  bool Waited = false;
  while (Alive.Alive() && FState != hsReady) {
    WaitForEvents();
    Waited = true;
  }
  // OnRequestDone was posted by the step that reached hsReady: it belongs
  // to the same round. A request that never started waits for the
  // caller's next message processing instead.
  if (Waited && Alive.Alive()) ProcessPending();
  if (!Alive.Alive()) RaiseHttpError(THttpError::Destroyed);
  if (FFailed) throw EHttpException(FFailMessage, FFailCode);
  if (FStatusCode >= 400) throw EHttpException(FReasonPhrase, static_cast<uint16_t>(FStatusCode));
}

void THttpCli::StartRequest(THttpRequest Rq) {
  if (FState != hsReady) RaiseHttpError(THttpError::Busy);
  if (Rq == hrPost && !PostStream) RaiseHttpError(THttpError::NothingToPost);
  Entry([&] {
    ++FRequestId;
    FReadyPosted = false;
    FRelocPending = false;
    FBodyComplete = false;
    FFailed = false;
    FFailCode = 0;
    FFailMessage.clear();
    FRelocations = 0;
    FRequestType = Rq;
    SetState(hsStarting);
    ResetForRequest();
    FStartTime = FLastProgress = std::chrono::steady_clock::now();
    ScheduleTimer();
    SplitRequestUrl();
    if (!FFailed) StartLookup();
  });
}

// What one answer has read so far: a new request and every relocated leg
// start reading from nothing.
void THttpCli::ResetResponseReading() {
  FReceivedHeader.clear();
  FRcvdCount = 0;
  FHeaderLineCount = 0;
  FHeaderBytes = 0;
  FBodyCount = 0;
  FBodyBytes = 0;
}

void THttpCli::ResetForRequest() {
  ResetResponseReading();
  FAuthChallenges.clear();
  FRequestDoneError = 0;
  FDocumentName.clear();
  FStatusCode = 0;
  FReceivedBytes = 0;
  FSentBytes = 0;
  FContentLength = -1;
  FContentType.clear();
  FResponseRangeBegin.clear();
  FResponseRangeEnd.clear();
  FAllowedToSend = false;
  FHeaderInProgress = false;
  FLocationSeen = false;
  FLocation = URL;
}

void THttpCli::SplitRequestUrl() {
  // The fragment is the client's own business: it is never sent.
  const TUrlParts U = SplitUrl(std::string_view(URL).substr(0, URL.find('#')), FPath);
  if (!IsHttpScheme(U.Proto)) return Fail(THttpError::UnsupportedProtocol);
  // Credentials in the URL are this request's only, and go to its host and
  // port alone (a relocation elsewhere drops them, see LeaveAuthHost).
  FAuthUser = U.User.empty() ? Username : U.User;
  FAuthPass = U.Pass.empty() ? Password : U.Pass;
  FAuthHost = AsciiLowerCase(U.Host);
  FAuthPort = U.Port.empty() ? DefaultPort(IsHttps(U.Proto)) : U.Port;
  FTargetHost = U.Host;
  FDocumentName = U.Path;
  // A query right behind the host ("http://h?x") asks for the root: a
  // request target starts with "/".
  const std::string Path = !U.Path.empty() && U.Path[0] == '?' ? "/" + U.Path : U.Path;
  std::string Host, Port;
  FUseSsl = IsHttps(U.Proto);
  if (Proxy.empty()) {
    FPath = Path;
    Host = U.Host;
    Port = U.Port.empty() ? DefaultPort(FUseSsl) : U.Port;
  } else {
    // Through a proxy the request line carries the absolute URL.
    FPath = UrlText(U, Path);
    const TUrlParts P = SplitUrl(Proxy);
    Host = P.Host;
    Port = P.Port.empty() ? ProxyPort : P.Port;
  }
  if (FPath.empty()) FPath = "/";

  std::string Doc = FDocumentName.substr(0, FDocumentName.find('?'));
  if (Doc.empty() || Doc == "/") {
    Doc = "document.htm";
  } else {
    if (Doc.back() == '/') Doc.pop_back();
    Doc = Doc.substr(Doc.rfind('/') == std::string::npos ? 0 : Doc.rfind('/') + 1).substr(0, 255);
    Doc = Doc.substr(0, Doc.find('?'));
  }
  FDocumentName = Doc;
  FHostName = Host;
  FPort = Port;
}

void THttpCli::StartLookup() {
  FDnsResult.clear();
  FTunnelStep = tsNone;
  SetState(hsLookingUp);
  try {
    FCtrlSocket->SetLocalAddr(LocalAddr);
    Transport([&] { FCtrlSocket->DnsLookup(FHostName); });
  } catch (const std::exception& E) {
    // The lookup could not even start: the request ends here and now.
    FStatusCode = FailedStatus();
    FReasonPhrase = E.what();
    FConnected = false;
    FReadyPosted = true;
    DisarmTimer();
    SetState(hsReady);
  }
}

// ---- socket events ----------------------------------------------------------

void THttpCli::SocketDnsLookupDone(uint16_t Error) {
  Entry([&] {
    if (FReadyPosted || FState != hsLookingUp) return;
    Progress();
    if (Error != 0) {
      if (FState != hsAborting) {
        FRequestDoneError = Error;
        FStatusCode = FailedStatus();
        FReasonPhrase = "can't resolve hostname to IP address";
        ClosingHandler(0);
      }
      return;
    }
    FDnsResult = FCtrlSocket->DnsResult();
    SetState(hsLookedUp);
    try {
      FCtrlSocket->SetAddr(FDnsResult);
      FCtrlSocket->SetLocalAddr(LocalAddr);
      FCtrlSocket->SetPort(FPort);
      FCtrlSocket->SetProto("tcp");
      // Through a proxy the URL in the request line tells the scheme; https
      // there opens a tunnel first and starts TLS inside it.
      if (!Proxy.empty()) FUseSsl = IsHttps(SplitUrl(FPath).Proto);
      FCtrlSocket->SetSslEnable(FUseSsl && Proxy.empty());
      FCtrlSocket->SetSslHostName(FUseSsl ? FTargetHost : std::string());
      FCtrlSocket->SetSslCAFile(SslCAFile);
      FCtrlSocket->SetSslVerifyPeer(true);
      Transport([&] { FCtrlSocket->Connect(); });
    } catch (const std::exception& Ex) {
      const int E = FCtrlSocket->LastError();
      FRequestDoneError = static_cast<uint16_t>(E);
      FStatusCode = FailedStatus();
      // A failure found before any socket call (a port that is no number or
      // service) has no error code: "No Error (Error #0)" would say nothing.
      FReasonPhrase = "can't connect: " + (E != 0 ? ErrorText(E) : std::string(Ex.what()));
      try {
        CloseSocket();
      } catch (const TStop&) {
        throw;
      } catch (...) {}
      ClosingHandler(0);
    }
  });
}

void THttpCli::SocketSessionConnected(uint16_t Error) {
  Entry([&] {
    if (FReadyPosted || FState != hsLookedUp) return;
    Progress();
    if (Error != 0) {
      FRequestDoneError = Error;
      FStatusCode = FailedStatus();
      FReasonPhrase = SocketErrorText(Error);
      ClosingHandler(0);
      return;
    }
    if (FTunnelStep == tsNone && FUseSsl && !Proxy.empty()) return SendTunnelRequest();
    if (FTunnelStep == tsHandshake) FTunnelStep = tsOpen;
    FConnected = true;
    SetState(hsConnected);
    NotifySessionConnected();
    SetState(hsWaitingHeader);
    try {
      static const char* const Methods[] = {"GET", "GET", "POST", "HEAD"};
      WriteRequest(Methods[FRequestType]);
      if (FRequestType == hrPost) {
        NotifySendBegin();
        FAllowedToSend = true;
        SendPostChunk();
      }
    } catch (const std::exception& E) {
      FailWith(E.what());
    }
  });
}

void THttpCli::SocketDataSent(uint16_t /*Error*/) {
  Entry([&] {
    if (FReadyPosted) return;
    Progress();
    if (!FAllowedToSend) return;
    try {
      SendPostChunk();
    } catch (const std::exception& E) {
      FailWith(E.what());
    }
  });
}

void THttpCli::SendPostChunk() {
  if (!FAllowedToSend || !PostStream) return;
  const int64_t N = PostStream->Read(FSndBuf, SndBufSize);
  if (N > 0) {
    FSentBytes += N;
    NotifySendData(FSndBuf, static_cast<int32_t>(N));
    Transport([&] { SocketSend(FSndBuf, static_cast<int32_t>(N)); });
  } else {
    FAllowedToSend = false;
    NotifySendEnd();
  }
}

void THttpCli::SocketSessionClosed(uint16_t Error) {
  Entry([&] {
    FConnected = false;
    if (FTunnelStep == tsWaitReply && !FReadyPosted) {
      Fail(HttpErrorText(THttpError::ProxyClosed), HttpErrorCode(THttpError::ProxyClosed), Error);
      return;
    }
    if (FRelocPending) {
      FRelocPending = false;
      RestartAfterRelocation();
      return;
    }
    ClosingHandler(Error);
  });
}

// A TLS failure says what failed ("SSL certificate verify failed: certificate
// has expired"), not just its kind.
std::string THttpCli::SocketErrorText(uint16_t Error) {
  const std::string& Detail = FCtrlSocket->SslErrorText();
  if (!SslErrorDesc(Error).empty() && !Detail.empty())
    return Detail + " (Error #" + std::to_string(Error) + ")";
  return ErrorText(Error);
}

// ---- the CONNECT tunnel --------------------------------------------------------

void THttpCli::SendTunnelRequest() {
  // The proxy is asked for a bare byte pipe to the server; everything after
  // its answer is TLS between us and the server.
  const TUrlParts U = SplitUrl(FPath);
  std::string Req =
      "CONNECT " + U.Host + ":" + (U.Port.empty() ? DefaultPort(true) : U.Port) + " HTTP/1.0\r\n";
  if (!ProxyUsername.empty())
    Req +=
        "Proxy-Authorization: Basic " + EncodeBase64(ProxyUsername + ":" + ProxyPassword) + "\r\n";
  Req += "\r\n";
  if (Req.find_first_of("\r\n") != Req.find("\r\n") || Req.find("\r\n\r\n") + 4 != Req.size()) {
    // A host or credential with a line break would smuggle lines to the proxy.
    FailWith("HTTP proxy tunnel: invalid host name");
    return;
  }
  FTunnelStep = tsWaitReply;
  FRcvdCount = 0;
  SocketSend(Req.data(), static_cast<int32_t>(Req.size()));
}

void THttpCli::ReceiveTunnelReply() {
  // Read no further than the answer's empty line: the server's TLS bytes
  // follow it and belong to the session.
  for (;;) {
    if (FRcvdCount >= RcvBufSize) return Fail(THttpError::LineTooLong);
    const int32_t N = SocketReceive(FRcvdBuf + FRcvdCount, 1);
    if (N <= 0) return;
    Progress();
    ++FRcvdCount;
    const std::string_view Got(FRcvdBuf, static_cast<size_t>(FRcvdCount));
    const bool End = Got.size() >= 4 && Got.substr(Got.size() - 4) == "\r\n\r\n";
    if (!End && !(Got.size() >= 2 && Got.substr(Got.size() - 2) == "\n\n")) continue;
    const std::string Status(Got.substr(0, Got.find_first_of("\r\n")));
    FRcvdCount = 0;
    FReceivedHeader.push_back(Status);
    int32_t Code = 0;
    if (Status.substr(0, 5) == "HTTP/" && Status.find(' ') != std::string::npos) {
      const size_t Sp = Status.find(' ');
      try {
        Code = static_cast<int32_t>(HttpStrToInt(Copy1(Status, static_cast<int64_t>(Sp) + 2, 3)));
      } catch (const std::invalid_argument&) {
        Code = 0;
      }
      FReasonPhrase =
          Copy1(Status, static_cast<int64_t>(Sp) + 6, static_cast<int64_t>(Status.size()));
    }
    if (Code < 200 || Code > 299) {
      // 400 and above: the proxy's status and reason, as for a server's answer.
      FStatusCode = Code;
      if (Code >= 400) return Fail(FReasonPhrase, static_cast<uint16_t>(Code), 0, true);
      return FailWith("HTTP proxy refused the tunnel: " + Status);
    }
    FReceivedHeader.clear();
    FTunnelStep = tsHandshake;
    FCtrlSocket->StartSsl();  // OnSessionConnected follows the handshake
    return;
  }
}

void THttpCli::CloseConnection() {
  Entry([&] {
    FConnected = false;
    CloseSocket();
  });
}

// ---- writing the request -------------------------------------------------

void THttpCli::QueueRequestLine(std::string Line) {
  // A value with a line break would smuggle header lines of its own; the
  // handler sees the line as it is sent.
  Line.resize(std::min(Line.size(), Line.find_first_of("\r\n")));
  if (OnCommand) {
    Fire([&] { OnCommand(*this, Line); });
    Line.resize(std::min(Line.size(), Line.find_first_of("\r\n")));
  }
  FReqBuf += Line;
  FReqBuf += "\r\n";
}

void THttpCli::WriteRequest(const char* Method) {
  FReqBuf.clear();
  NotifyRequestHeaderBegin();
  const bool IsPost = std::strcmp(Method, "POST") == 0;
  // A path with a line break is cut there, before the version, so that the
  // request stays an HTTP/1.0 one.
  // Inside a tunnel the request goes to the server itself: the path only.
  std::string Full = FTunnelStep == tsOpen ? SplitUrl(FPath).Path : FPath;
  if (Full.empty()) Full = "/";
  const std::string_view Target = std::string_view(Full).substr(0, Full.find_first_of("\r\n"));
  QueueRequestLine(std::string(Method) + " " + std::string(Target) + " HTTP/1.0");
  if (!Sender.empty()) QueueRequestLine("From: " + Sender);
  if (!Accept.empty()) QueueRequestLine("Accept: " + Accept);
  if (!Reference.empty()) QueueRequestLine("Referer: " + Reference);
  if (IsPost && !ContentTypePost.empty()) QueueRequestLine("Content-Type: " + ContentTypePost);
  if (!Agent.empty()) QueueRequestLine("User-Agent: " + Agent);
  QueueRequestLine("Host: " + FTargetHost);
  if (NoCache) QueueRequestLine("Pragma: no-cache");
  if (IsPost)
    QueueRequestLine("Content-Length: " + std::to_string(PostStream ? PostStream->Size() : 0));
  if (ModifiedSince != 0)
    QueueRequestLine("If-Modified-Since: " + FormatHttpDate(ModifiedSince) + " GMT");
  if (!FAuthUser.empty())
    QueueRequestLine("Authorization: Basic " + EncodeBase64(FAuthUser + ":" + FAuthPass));
  // The proxy's credentials never travel inside the tunnel to the server.
  if (!Proxy.empty() && !ProxyUsername.empty() && FTunnelStep != tsOpen)
    QueueRequestLine("Proxy-Authorization: Basic " +
                     EncodeBase64(ProxyUsername + ":" + ProxyPassword));
  if (!Cookie.empty()) QueueRequestLine("Cookie: " + Cookie);
  if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
    QueueRequestLine("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
    ContentRangeBegin.clear();
    ContentRangeEnd.clear();
  }
  FAcceptRanges.clear();
  NotifyRequestHeaderEnd();
  QueueRequestLine("");
  Transport([&] { SocketSend(FReqBuf.data(), static_cast<int32_t>(FReqBuf.size())); });
  FReqBuf.clear();
}

// ---- receiving -----------------------------------------------------------

void THttpCli::SocketDataAvailable(uint16_t /*Error*/) {
  Entry([&] {
    if (FRcvdCount >= RcvBufSize) {
      Fail(THttpError::LineTooLong);
      return;
    }
    // An exception of an event handler (OnDocData, OnHeaderData, ...) ends
    // the request with its message instead of leaving it to wait for a
    // timeout: the socket's receive loop would swallow it.
    try {
      if (FState == hsWaitingBody && FRcvdCount == 0 && FRequestType != hrNone && !FReadyPosted) {
        ReceiveBody();
        return;
      }
      if (FTunnelStep == tsWaitReply) return ReceiveTunnelReply();
      ReceiveLines();
    } catch (const std::exception& E) {
      FailWith(E.what());
    }
  });
}

void THttpCli::ReceiveLines() {
  const int32_t N = SocketReceive(FRcvdBuf + FRcvdCount, RcvBufSize - FRcvdCount);
  if (N < 0) {
    const int E = SocketLastError();
    if (E != 0 && E != WSAEWOULDBLOCK && FRequestType != hrNone && !FReadyPosted)
      ClosingHandler(static_cast<uint16_t>(E));
    return;
  }
  if (FRequestType == hrNone || N == 0 || FReadyPosted) return;
  Progress();
  FRcvdCount += N;
  FRcvdBuf[FRcvdCount] = '\0';
  ProcessReceived();
}

void THttpCli::ReceiveBody() {
  // Body bytes need no line buffer: they are read in large blocks, each
  // passed on as one chunk (fewer system calls for a large document).
  if (!FBodyBuf) FBodyBuf = std::make_unique<char[]>(BodyBufSize);
  const int32_t N = SocketReceive(FBodyBuf.get(), BodyBufSize);
  if (N > 0) {
    Progress();
    BodyReader(FBodyBuf.get(), N);
  } else if (N < 0) {
    const int E = SocketLastError();
    if (E != 0 && E != WSAEWOULDBLOCK) ClosingHandler(static_cast<uint16_t>(E));
  }
}

void THttpCli::ProcessReceived() {
  if (FState == hsWaitingBody) {
    const int32_t N = FRcvdCount;
    FRcvdCount = 0;
    BodyReader(FRcvdBuf, N);
    return;
  }
  while (FRcvdCount > 0) {
    // The line ends at the first LF. A NUL byte has no place in a header:
    // it would hide the rest of the line and the header's end with it.
    const size_t Limit = strnlen(FRcvdBuf, static_cast<size_t>(FRcvdCount));
    const char* Lf = static_cast<const char*>(std::memchr(FRcvdBuf, '\n', Limit));
    if (!Lf && FState == hsWaitingHeader && Limit < static_cast<size_t>(FRcvdCount))
      return Fail(THttpError::HeaderNul);
    if (!Lf) break;
    int32_t Len = static_cast<int32_t>(Lf - FRcvdBuf);
    const int32_t Used = Len + 1;
    int32_t EndLen = 1;
    if (Len > 0 && FRcvdBuf[Len - 1] == '\r') {
      --Len;
      EndLen = 2;
    }
    const std::string Line(FRcvdBuf, static_cast<size_t>(Len));
    const std::string LineEnd(FRcvdBuf + Len, static_cast<size_t>(EndLen));
    std::memmove(FRcvdBuf, FRcvdBuf + Used, static_cast<size_t>(FRcvdCount - Used));
    FRcvdCount -= Used;
    FRcvdBuf[FRcvdCount] = '\0';

    if (FState == hsWaitingHeader)
      HeaderReader(Line, LineEnd);
    else if (FState == hsWaitingBody)
      BodyReader(Line.data(), Len);
    else
      FireEvent(OnStrayLine, uint16_t{0});
    if (FFailed) return;
    if (FState == hsWaitingBody && FRcvdCount > 0) {
      // The header ended inside this read: the rest is the first chunk,
      // passed on unchanged.
      const int32_t N = FRcvdCount;
      FRcvdCount = 0;
      BodyReader(FRcvdBuf, N);
      return;
    }
  }
  if (FState == hsWaitingHeader && FRcvdCount >= RcvBufSize) Fail(THttpError::LineTooLong);
}

void THttpCli::HeaderReader(std::string_view Line, std::string_view LineEnd) {
  if (FHeaderLineCount == 0) {
    // Each response brings its own length and type (a relocation's
    // "Content-Length: 0" must not end the next document).
    FStatusCode = 0;
    FContentLength = -1;
    FContentType.clear();
    NotifyHeaderBegin();
  }
  ++FHeaderLineCount;
  FHeaderBytes += static_cast<int64_t>(Line.size() + LineEnd.size());
  // The empty line that ends the header is no header line of its own.
  if ((FHeaderLineCount > MaxHeaderLines && !Line.empty()) || FHeaderBytes > MaxHeaderBytes) {
    Fail(THttpError::LineTooLong);
    return;
  }

  if (Line.size() >= 6 && AsciiLowerCase(Line.substr(0, 6)) == "<html>") {
    // A document without header; its first line is part of the body.
    if (FContentType.empty()) FContentType = "text/html";
    SetState(hsWaitingBody);
    NotifyHeaderEnd();
    std::string Chunk(Line);
    Chunk += LineEnd;
    BodyReader(Chunk.data(), static_cast<int32_t>(Chunk.size()));
    return;
  }
  // A response starts with its status line (RFC 1945, 6.1); another version,
  // or anything else, is no answer this client understands.
  if (FHeaderLineCount == 1 && !IsStatusLine(Line)) return Fail(THttpError::UnsupportedResponse);
  if (Line.empty()) {
    HeaderComplete();
    return;
  }

  FReceivedHeader.emplace_back(Line);
  try {
    HeaderLine(Line);
  } catch (const std::invalid_argument& E) {
    FailWith(E.what());
    return;
  }
  if (FFailed) return;
  FireEvent(OnHeaderData);
  if (FStatusCode >= 400 && !FReadyPosted) CloseSocket();  // the closing handler runs within
}

void THttpCli::HeaderLine(std::string_view Line) {
  if (Line.substr(0, 8) == "HTTP/1.0" || Line.substr(0, 8) == "HTTP/1.1") {
    FStatusCode = static_cast<int32_t>(HttpStrToInt(Copy1(Line, 10, 3)));
    FReasonPhrase = Copy1(Line, 14, static_cast<int64_t>(Line.size()));
    return;
  }
  const size_t Colon = Line.find(':');
  if (Colon == std::string_view::npos) return;
  const std::string Name = AsciiLowerCase(Line.substr(0, Colon));
  std::string_view Value = Line.substr(Colon + 1);
  while (Value.size() > 1 && Value[0] == ' ') Value.remove_prefix(1);

  if (Name == "location") {
    FLocationSeen = true;
    Relocate(std::string(Value));
  } else if (Name == "content-length") {
    FContentLength = HttpStrToInt(Trim(Value, ControlsAndSpace));
    if (FContentLength < 0) return Fail(THttpError::BadContentLength);
  } else if (Name == "content-range") {
    const int64_t Dash = static_cast<int64_t>(Value.find('-')) + 1;  // 1-based, 0: none
    const int64_t Slash = static_cast<int64_t>(Value.find('/')) + 1;
    FResponseRangeBegin = Copy1(Value, 7, Dash - 7);
    FResponseRangeEnd = Dash > 0 ? Copy1(Value, Dash + 1, Slash - Dash - 1) : std::string();
  } else if (Name == "accept-ranges") {
    FAcceptRanges = std::string(Value);
  } else if (Name == "content-type") {
    FContentType = AsciiLowerCase(Value);
  } else if (Name == "www-authenticate") {
    FAuthChallenges.emplace_back(Value);
  } else if (Name == "set-cookie") {
    bool AcceptIt = true;
    NotifyCookie(std::string(Value), AcceptIt);
  }
}

void THttpCli::HeaderComplete() {
  // A relocation is followed whatever its Content-Length says: most
  // servers send "Content-Length: 0" with one.
  if (FLocationSeen) {
    NotifyHeaderEnd();
    FRcvdCount = 0;
    FHeaderLineCount = 0;
    FHeaderBytes = 0;
    FBodyCount = 0;
    FRelocPending = true;
    CloseSocket();
    if (FRelocPending) {
      FRelocPending = false;
      RestartAfterRelocation();
    }
    return;
  }
  if (FContentLength == 0 || FRequestType == hrHead) {
    // No body follows; the connection is not needed any more.
    NotifyHeaderEnd();
    SetReady();
    FBodyComplete = true;
    CloseSocket();
    return;
  }
  const std::string Ext = AsciiLowerCase(FDocumentName.substr(
      FDocumentName.rfind('.') == std::string::npos ? FDocumentName.size()
                                                    : FDocumentName.rfind('.')));
  if (Ext == ".exe" && FContentType == "text/html") {
    const size_t Dot = FDocumentName.rfind('.');
    FDocumentName =
        (Dot == std::string::npos ? FDocumentName + "." : FDocumentName.substr(0, Dot + 1)) + "htm";
  }
  if (ReceiveStream && FContentLength > 0) ReceiveStream->Reserve(FContentLength);
  SetState(hsWaitingBody);
  NotifyHeaderEnd();
}

void THttpCli::BodyReader(const char* Data, int32_t Len) {
  if (FBodyComplete) return;
  // Bytes beyond the announced length do not belong to the document.
  if (FContentLength >= 0 && Len > FContentLength - FBodyBytes)
    Len = static_cast<int32_t>(std::max<int64_t>(FContentLength - FBodyBytes, 0));
  if (Len <= 0) return;
  if (FBodyCount == 0) NotifyDocBegin();
  ++FBodyCount;
  FBodyBytes += Len;
  FReceivedBytes += Len;
  if (ReceiveStream) {
    try {
      ReceiveStream->WriteBuffer(Data, Len);
    } catch (const std::exception& E) {
      FailWith(E.what());
      return;
    }
  }
  NotifyDocData(Data, Len);
  if (!FFailed && FContentLength >= 0 && FBodyBytes >= FContentLength) {
    // The whole document is here: no need to wait for the server's close.
    FBodyComplete = true;
    CloseSocket();
  }
}

bool THttpCli::ExpectsBody() const {
  return FContentLength > 0 && FBodyBytes < FContentLength && FRequestType != hrHead &&
         FStatusCode >= 200 && FStatusCode != 204 && FStatusCode != 304;
}

void THttpCli::ClosingHandler(uint16_t Error) {
  FConnected = false;
  if (FReadyPosted) return;
  if (Error != 0 && !FBodyComplete) {
    FailWith(SocketErrorText(Error), Error);
    return;
  }
  if (FHeaderInProgress) {
    NotifyHeaderEnd();
    if (FLocationSeen)
      RestartAfterRelocation();
    else if (FStatusCode == 0)
      Fail(THttpError::NoResponse);  // lines, but no status line
    else if (ExpectsBody())
      Fail(THttpError::IncompleteDocument);
    else
      SetReady();
    return;
  }
  if (FState == hsWaitingHeader && FHeaderLineCount == 0) {
    Fail(THttpError::NoResponse);
    return;
  }
  // Blank or status-less lines and no byte of a document: no answer at all.
  if (FState == hsWaitingBody && FStatusCode == 0 && FBodyCount == 0) {
    Fail(THttpError::NoResponse);
    return;
  }
  // A document shorter than its announced length is no document: the
  // connection broke off. (204, 304 and 1xx answers carry no body.)
  if (FState == hsWaitingBody && ExpectsBody()) {
    Fail(THttpError::IncompleteDocument);
    return;
  }
  if (FBodyCount > 0) NotifyDocEnd();
  SetReady();
}

// ---- relocations ---------------------------------------------------------

// What a Location value names, decided once for both ways of following it.
struct THttpCli::TLocationTarget {
  enum TKind {
    ServerPath,   // "/x": a path on the same server
    AbsoluteUrl,  // "http://host/x"
    SameServer,   // "./x", "../x", "http:/x": the resolved path on the same server
    BareName,     // "x": a document at the server's root
    HostPath,     // "name/path" without protocol: the first segment names the host
  } Kind;
  TUrlParts U;
};

void THttpCli::Relocate(const std::string& Value) {
  if (Trim(Value, ControlsAndSpace).empty()) return Fail(THttpError::EmptyLocation);
  const std::string V = Value.substr(0, Value.find('#'));  // the fragment is never sent
  const auto Classify = [&V](std::string_view Base) -> TLocationTarget {
    if (!V.empty() && V[0] == '/') return {TLocationTarget::ServerPath, {}};
    TUrlParts U = SplitUrl(V, Base);
    if (!U.Proto.empty() && !U.Host.empty()) return {TLocationTarget::AbsoluteUrl, std::move(U)};
    if (U.Host.empty()) return {TLocationTarget::SameServer, std::move(U)};
    if (U.Path.empty()) return {TLocationTarget::BareName, std::move(U)};
    return {TLocationTarget::HostPath, std::move(U)};
  };
  const TUrlParts Cur = Proxy.empty() ? TUrlParts{} : SplitUrl(FPath);
  const TLocationTarget L = Classify(Proxy.empty() ? std::string_view(FPath) : Cur.Path);
  if (!IsHttpScheme(L.U.Proto)) return Fail(THttpError::UnsupportedProtocol);
  const bool WasSsl = Proxy.empty() ? FUseSsl : IsHttps(Cur.Proto);
  if (Proxy.empty())
    RelocateDirect(L, V);
  else
    RelocateViaProxy(L, V, Cur);
  const bool NowSsl = Proxy.empty() ? FUseSsl : IsHttps(SplitUrl(FPath).Proto);
  // The update check trusts what came over TLS only: a step down to plain
  // text could hand it anyone's document.
  if (WasSsl && !NowSsl && RefuseHttpsToHttp) Fail(THttpError::HttpsToHttp);
}

void THttpCli::RelocateDirect(const TLocationTarget& L, const std::string& V) {
  const TUrlParts& U = L.U;
  switch (L.Kind) {
    case TLocationTarget::ServerPath:
      FPath = V;
      FLocation = Scheme(FUseSsl) + FHostName + PortSuffix(FPort, FUseSsl) + V;
      return;
    case TLocationTarget::AbsoluteUrl:
    case TLocationTarget::HostPath:
      // An absolute URL names its scheme: http and https switch TLS and the
      // default port with it.
      if (L.Kind == TLocationTarget::AbsoluteUrl) FUseSsl = IsHttps(U.Proto);
      LeaveAuthHost(U);
      FHostName = U.Host;
      FTargetHost = U.Host;
      FPort = U.Port.empty() ? DefaultPort(FUseSsl) : U.Port;
      FPath = U.Path;
      // A query right behind the host asks for the root.
      if (L.Kind == TLocationTarget::AbsoluteUrl && (U.Path.empty() || U.Path[0] == '?'))
        FPath = "/" + U.Path;
      FLocation = UrlText(U, U.Path);
      return;
    case TLocationTarget::SameServer:
      FPath = U.Path.empty() ? "/" : U.Path;
      FHostName = FTargetHost;
      FLocation = Scheme(FUseSsl) + FTargetHost + PortSuffix(FPort, FUseSsl) + FPath;
      return;
    case TLocationTarget::BareName:
      // The next request line carries its absolute URL, which servers accept.
      FHostName = FTargetHost;
      FLocation = Scheme(FUseSsl) + FTargetHost + PortSuffix(FPort, FUseSsl) + "/" + U.Host;
      FPath = FLocation;
      return;
  }
}

// Through a proxy the next leg goes to the same proxy, and the request line
// carries the new absolute URL.
void THttpCli::RelocateViaProxy(const TLocationTarget& L, const std::string& V,
                                const TUrlParts& Cur) {
  const std::string CurBase = UrlText(Cur, "");
  const TUrlParts& U = L.U;
  switch (L.Kind) {
    case TLocationTarget::ServerPath: FLocation = CurBase + V; break;
    case TLocationTarget::AbsoluteUrl:
      LeaveAuthHost(U);
      FTargetHost = U.Host;
      FLocation = UrlText(U, U.Path.empty() ? "/" : U.Path);
      break;
    case TLocationTarget::SameServer: FLocation = CurBase + (U.Path.empty() ? "/" : U.Path); break;
    case TLocationTarget::BareName: FLocation = CurBase + "/" + U.Host; break;
    case TLocationTarget::HostPath:
      LeaveAuthHost(U);
      FTargetHost = U.Host;
      FLocation = UrlText(U, U.Path);
      break;
  }
  FPath = FLocation;
}

// A relocation to another host or port: the credentials stay behind, for
// the rest of the request (a server must not learn another one's password).
void THttpCli::LeaveAuthHost(const TUrlParts& Next) {
  // FUseSsl is already the next leg's scheme: its default port applies.
  if (AsciiLowerCase(Next.Host) == FAuthHost &&
      (Next.Port.empty() ? DefaultPort(FUseSsl) : Next.Port) == FAuthPort)
    return;
  FAuthUser.clear();
  FAuthPass.clear();
}

void THttpCli::RestartAfterRelocation() {
  FConnected = false;
  if (FReadyPosted) return;
  // RFC 1945, 9.3: a client should not follow more than five redirections.
  if (++FRelocations > MaxRelocations) {
    Fail(THttpError::TooManyRelocations);
    return;
  }
  FLocationSeen = false;
  FHeaderInProgress = false;
  if (FRequestType == hrPost) FRequestType = hrGet;
  FireEvent(OnLocationChange);
  ResetResponseReading();
  PostToSelf(HCM_RESTART, FRequestId);
}

// ---- notifications ---------------------------------------------------------

void THttpCli::NotifyCookie(const std::string& Data, bool& AcceptIt) {
  FireEvent(OnCookie, Data, AcceptIt);
}
void THttpCli::NotifySessionConnected() { FireEvent(OnSessionConnected); }
void THttpCli::NotifyRequestHeaderBegin() { FireEvent(OnRequestHeaderBegin); }
void THttpCli::NotifyRequestHeaderEnd() { FireEvent(OnRequestHeaderEnd); }
void THttpCli::NotifyHeaderBegin() {
  FHeaderInProgress = true;
  FireEvent(OnHeaderBegin);
}
void THttpCli::NotifyHeaderEnd() {
  FHeaderInProgress = false;
  FireEvent(OnHeaderEnd);
}
void THttpCli::NotifyDocBegin() { FireEvent(OnDocBegin); }
void THttpCli::NotifyDocData(const void* Buffer, int32_t Len) { FireEvent(OnDocData, Buffer, Len); }
void THttpCli::NotifyDocEnd() { FireEvent(OnDocEnd); }
void THttpCli::NotifySendBegin() { FireEvent(OnSendBegin); }
void THttpCli::NotifySendData(const void* Buffer, int32_t Len) {
  FireEvent(OnSendData, Buffer, Len);
}
void THttpCli::NotifySendEnd() { FireEvent(OnSendEnd); }

}  // namespace chronark
