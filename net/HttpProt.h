// THttpCli: a message-driven HTTP/1.0 client over TWSocket, with one blocking
// operation, Get. One request at a time, one connection per request; the
// component answers socket events by advancing its request (RFC 1945).
//
//   THttpCli Http;
//   TMemoryStream Doc(1 << 20);          // bounded document
//   Http.URL = "http://host/software/version.txt";
//   Http.ReceiveStream = &Doc;
//   Http.Get();                          // pumps the thread's event queue; raises EHttpException
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/Liveness.h"
#include "net/Stream.h"

namespace chronark {

class TWSocket;

enum THttpCliState : uint8_t {
  hsReady = 0,
  hsStarting = 1,
  hsConnected = 2,
  hsLookingUp = 3,
  hsLookedUp = 4,
  hsWaitingHeader = 5,
  hsWaitingBody = 6,
  hsAborting = 7,
};

enum THttpRequest : uint8_t { hrNone = 0, hrGet = 1, hrPost = 2, hrHead = 3 };

// Private messages of the component's own message target.
constexpr uint32_t HCM_REQUEST_DONE = 1025;
constexpr uint32_t HCM_SET_READY = 1026;
constexpr uint32_t HCM_RESTART = 1027;
constexpr uint32_t HCM_TIMEOUT = 1028;

// The client's own failures. Each has one code (EHttpException::ErrorCode,
// FailCode) and one text, kept in a single table in HttpProt.cpp.
enum class THttpError : uint8_t {
  Busy,                 // a request is running already
  NothingToPost,        // Post without PostStream
  LineTooLong,          // the header exceeds its bounds
  NoResponse,           // the server closed before a status line
  IncompleteDocument,   // the server closed before Content-Length bytes came
  TooManyRelocations,   // code: the status of the last relocation
  Destroyed,            // a handler destroyed the component during Get
  HttpsToHttp,          // RefuseHttpsToHttp; code: the status of the relocation
  ProxyClosed,          // the proxy closed before answering CONNECT
  HeaderNul,            // a NUL byte in the response header
  UnsupportedResponse,  // the first line is no HTTP/1.0 or HTTP/1.1 status line
  UnsupportedProtocol,  // a URL or relocation names ftp://, file://, ...
  EmptyLocation,        // a relocation with an empty Location value
  BadContentLength,     // a negative Content-Length
  HandlerFailed,        // an event handler threw something that is no std::exception
  Failed,               // text from the cause: a handler's exception, a socket error
};
uint16_t HttpErrorCode(THttpError E);
// Empty for THttpError::Failed, whose text comes from its cause.
std::string HttpErrorText(THttpError E);

class EHttpException : public std::runtime_error {
public:
  EHttpException(const std::string& Msg, uint16_t Code)
      : std::runtime_error(Msg), ErrorCode(Code) {}
  uint16_t ErrorCode;
};

// Parts of a URL as SplitUrl takes it apart; all empty when absent.
struct TUrlParts {
  std::string Proto, User, Pass, Host, Port, Path;
};

// Splits Url; Base is the path the relative forms "./" and "../" refer to.
TUrlParts SplitUrl(std::string_view Url, std::string_view Base = {});
// "Tue, 02 Jan 1900 12:00:00" for a date-time (days since 30 Dec 1899), no zone conversion.
std::string FormatHttpDate(double DateTime);
// Base64 of RFC 2045, padded, without line breaks.
std::string EncodeBase64(std::string_view Data);
// The decimal value of S (leading blanks and a sign allowed); raises
// std::invalid_argument "'S' is not a valid integer value".
int64_t HttpStrToInt(std::string_view S);

class THttpCli {
public:
  using TNotifyEvent = std::function<void(THttpCli& Sender)>;
  using TDocDataEvent = std::function<void(THttpCli& Sender, const void* Buffer, int32_t Len)>;
  using TCommandEvent = std::function<void(THttpCli& Sender, std::string& S)>;
  using TCookieRcvdEvent =
      std::function<void(THttpCli& Sender, const std::string& Data, bool& Accept)>;
  using THttpRequestDone =
      std::function<void(THttpCli& Sender, THttpRequest RqType, uint16_t Error)>;
  using TStrayLineEvent = std::function<void(THttpCli& Sender, uint16_t Error)>;

  THttpCli();
  virtual ~THttpCli();
  THttpCli(const THttpCli&) = delete;
  THttpCli& operator=(const THttpCli&) = delete;

  // Published properties.
  std::string URL;
  std::string LocalAddr = "0.0.0.0";
  std::string Proxy;
  std::string ProxyPort = "80";
  std::string Sender;
  std::string Agent = "Mozilla/3.0 (compatible)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string Reference;
  // Basic authentication towards the URL's host and port (not beyond a
  // relocation elsewhere); credentials in the URL take their place for that
  // request only.
  std::string Username, Password;
  std::string ProxyUsername, ProxyPassword;
  bool NoCache = false;
  double ModifiedSince = 0;
  std::string Cookie;
  std::string ContentTypePost = "application/x-www-form-urlencoded";
  // The range asked for with "Range: bytes=Begin-End" (either set); sent
  // once, then emptied. Only what the caller sets here is ever sent.
  std::string ContentRangeBegin, ContentRangeEnd;
  // A request that makes no progress (no byte in either direction, no
  // connection) for IdleTimeout, or that runs longer than TotalTimeout in
  // all, is aborted with 10060. Zero turns a limit off.
  std::chrono::milliseconds IdleTimeout{30000};
  std::chrono::milliseconds TotalTimeout{60000};
  // https: the CA bundle to trust instead of the system store (empty: the
  // system store). A relocation from https to plain http fails with
  // "HTTP relocation from https to http refused" when RefuseHttpsToHttp is set.
  std::string SslCAFile;
  bool RefuseHttpsToHttp = false;

  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value);

  // Streams of the caller, not owned.
  TStream* ReceiveStream = nullptr;
  TStream* PostStream = nullptr;

  // Published events.
  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnRequestHeaderBegin;
  TCommandEvent OnCommand;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnSendBegin;
  TDocDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderData;
  TCookieRcvdEvent OnCookie;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnLocationChange;
  THttpRequestDone OnRequestDone;
  TStrayLineEvent OnStrayLine;

  // Blocking GET of URL: returns once State is hsReady again, raises
  // EHttpException for every failure.
  void Get();
  // Asynchronous requests: they return at once, OnRequestDone tells the end.
  void GetASync() { StartRequest(hrGet); }
  void PostASync() { StartRequest(hrPost); }
  void HeadASync() { StartRequest(hrHead); }
  // Blocking POST (body from PostStream) and HEAD, same contract as Get.
  void Post();
  void Head();

  // What the last request left.
  int32_t StatusCode() const { return FStatusCode; }
  const std::string& ReasonPhrase() const { return FReasonPhrase; }
  int64_t ContentLength() const { return FContentLength; }
  const std::string& ContentType() const { return FContentType; }
  const std::string& Location() const { return FLocation; }
  const std::string& DocumentName() const { return FDocumentName; }
  const std::vector<std::string>& ReceivedHeader() const { return FReceivedHeader; }
  const std::vector<std::string>& AuthChallenges() const { return FAuthChallenges; }
  const std::string& AcceptRanges() const { return FAcceptRanges; }
  // First and last byte of the last response's Content-Range.
  const std::string& ResponseRangeBegin() const { return FResponseRangeBegin; }
  const std::string& ResponseRangeEnd() const { return FResponseRangeEnd; }
  int64_t ReceivedBytes() const { return FReceivedBytes; }
  int64_t SentBytes() const { return FSentBytes; }
  THttpRequest RequestType() const { return FRequestType; }
  THttpCliState State() const { return FState; }
  uint16_t RequestDoneError() const { return FRequestDoneError; }
  // The request's own failure, when it ended by one (0 otherwise): the
  // message and code Get raises.
  uint16_t FailCode() const { return FFailCode; }
  const std::string& FailMessage() const { return FFailMessage; }
  // Whether the current leg speaks TLS (an https URL or relocation).
  bool UseSsl() const { return FUseSsl; }
  // Where the request goes (host or proxy), the Host line's host, the port
  // and the request target of the next request line.
  const std::string& HostName() const { return FHostName; }
  const std::string& TargetHost() const { return FTargetHost; }
  const std::string& Port() const { return FPort; }
  const std::string& Path() const { return FPath; }

  TWSocket& CtrlSocket() { return *FCtrlSocket; }

  // Buffer sizes (one header line, one POST chunk, one body read) and the
  // bounds of one response header (more is taken as a hostile answer).
  static constexpr int32_t RcvBufSize = 8192;
  static constexpr int32_t SndBufSize = 8193;
  static constexpr int32_t BodyBufSize = 256 * 1024;
  static constexpr int MaxHeaderLines = 1000;
  static constexpr int64_t MaxHeaderBytes = 256 * 1024;
  static constexpr int MaxRelocations = 5;

protected:
  virtual void QueueRequestLine(std::string Line);
  virtual void StartLookup();
  virtual void CloseConnection();
  virtual void ResetForRequest();
  void ResetResponseReading();
  virtual void RestartAfterRelocation();
  virtual void NotifyCookie(const std::string& Data, bool& Accept);
  virtual void NotifySessionConnected();
  virtual void NotifyRequestHeaderBegin();
  virtual void NotifyRequestHeaderEnd();
  virtual void NotifyHeaderBegin();
  virtual void NotifyHeaderEnd();
  virtual void NotifyDocBegin();
  virtual void NotifyDocData(const void* Buffer, int32_t Len);
  virtual void NotifyDocEnd();
  virtual void NotifySendBegin();
  virtual void NotifySendData(const void* Buffer, int32_t Len);
  virtual void NotifySendEnd();
  virtual void AllocateWindow();
  virtual void ReleaseWindow();

  // The transport beneath the request logic. The defaults use the owned
  // TWSocket and the thread's event queue; the buffer tests and the fuzzer
  // replace them to drive the receive path without a network.
  virtual int32_t SocketReceive(void* Buffer, int32_t Size);
  virtual void SocketSend(const void* Data, int32_t Len);
  virtual void SocketClose();
  virtual void SocketAbort();
  virtual int SocketLastError();
  virtual void PostToSelf(uint32_t Msg, uintptr_t WParam);
  virtual void ArmTimer(std::chrono::milliseconds Delay);
  virtual void DisarmTimer();
  virtual void WaitForEvents();
  // Handles what is queued now, without blocking.
  virtual void ProcessPending();

  // Socket events, bound to the owned socket by the constructor.
  void SocketDnsLookupDone(uint16_t Error);
  void SocketSessionConnected(uint16_t Error);
  void SocketDataAvailable(uint16_t Error);
  void SocketDataSent(uint16_t Error);
  void SocketSessionClosed(uint16_t Error);
  void HandleMessage(uint32_t Msg, uintptr_t WParam);
  // Checks both limits now; aborts the request when one is exceeded.
  void CheckTimeouts();

  void StartRequest(THttpRequest Rq);
  void SetState(THttpCliState NewState);
  void SetReady();

private:
  void SplitRequestUrl();
  void WriteRequest(const char* Method);
  void SendPostChunk();
  void ProcessReceived();
  void DeliverLine(const char* Line, int32_t Len, int32_t EndLen);
  void HeaderReader(std::string_view Line, std::string_view LineEnd);
  void HeaderLine(std::string_view Line);
  void HeaderComplete();
  void BodyReader(const char* Data, int32_t Len);
  void ReceiveBody();
  void ReceiveLines();
  void Relocate(const std::string& Value);
  void LeaveAuthHost(const TUrlParts& Next);
  struct TLocationTarget;
  void RelocateDirect(const TLocationTarget& L, const std::string& Value);
  void RelocateViaProxy(const TLocationTarget& L, const std::string& Value, const TUrlParts& Cur);
  // https through a proxy: the CONNECT tunnel (RFC 7231, 4.3.6).
  void SendTunnelRequest();
  void ReceiveTunnelReply();
  // A socket error's text; for TLS with its detail.
  std::string SocketErrorText(uint16_t Error);
  void ClosingHandler(uint16_t Error);
  // Content-Length announced a body that has not fully arrived.
  bool ExpectsBody() const;
  // Event fires and re-entry (see HttpProt.cpp).
  struct TStop {};
  template <class TCall>
  void Fire(TCall&& Call);
  template <class TEvent, class... TArgs>
  void FireEvent(const TEvent& Event, TArgs&&... Args);
  template <class TStep>
  void Entry(TStep&& Step);
  template <class TCall>
  void Transport(TCall&& Call);
  void CloseSocket();
  void AbortSocket();
  void HandlerFailed(const std::string& Message);

  void Fail(const std::string& Msg, uint16_t Code, uint16_t SocketErr, bool KeepStatus = false);
  void Fail(THttpError E);
  // A failure whose text comes from its cause (THttpError::Failed).
  void FailWith(const std::string& Msg, uint16_t SocketErr = 0);
  void Progress();
  void ScheduleTimer();
  void BlockingRequest(THttpRequest Rq);

  std::unique_ptr<TWSocket> FCtrlSocket;
  uint64_t FWindow = 0;
  uint64_t FTimerId = 0;
  TLiveness FLife;
  bool FMultiThreaded = false;

  std::string FHostName, FTargetHost, FPort, FPath, FDnsResult;
  // This request's credentials and the host and port they belong to.
  std::string FAuthUser, FAuthPass, FAuthHost, FAuthPort;
  bool FConnected = false;
  bool FHeaderInProgress = false;
  bool FLocationSeen = false;
  bool FAllowedToSend = false;
  bool FReadyPosted = false;
  bool FRelocPending = false;
  bool FBodyComplete = false;
  bool FFailed = false;
  bool FUseSsl = false;
  // The CONNECT tunnel of this leg: none, waiting for the proxy's answer,
  // TLS handshake inside it, request sent through it.
  enum : uint8_t { tsNone, tsWaitReply, tsHandshake, tsOpen } FTunnelStep = tsNone;
  uint32_t FRequestId = 0;
  int FHeaderLineCount = 0;
  int64_t FHeaderBytes = 0;
  int FBodyCount = 0;
  int64_t FBodyBytes = 0;
  int FRelocations = 0;
  std::chrono::steady_clock::time_point FStartTime, FLastProgress;

  char FRcvdBuf[RcvBufSize + 1] = {};
  int32_t FRcvdCount = 0;
  char FSndBuf[SndBufSize] = {};
  std::unique_ptr<char[]> FBodyBuf;  // body reads, larger than a line
  std::string FReqBuf;

  int32_t FStatusCode = 0;
  std::string FReasonPhrase;
  int64_t FContentLength = -1;
  std::string FContentType, FLocation, FDocumentName, FAcceptRanges;
  std::string FResponseRangeBegin, FResponseRangeEnd;
  std::vector<std::string> FReceivedHeader, FAuthChallenges;
  int64_t FReceivedBytes = 0, FSentBytes = 0;
  THttpRequest FRequestType = hrNone;
  THttpCliState FState = hsReady;
  uint16_t FRequestDoneError = 0;
  uint16_t FFailCode = 0;
  std::string FFailMessage;
};

}  // namespace chronark
