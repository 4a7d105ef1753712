// TWSocket: an asynchronous, message-driven socket over the thread's TEventLoop.
//
// How to use it (for THttpCli and the tests):
//   TWSocket S;                              // belongs to the calling thread
//   S.OnSessionConnected = [](TWSocket& S, uint16_t Err) { ... };   // events are
//   S.OnDataAvailable = [](TWSocket& S, uint16_t Err) {             // std::function
//     char B[8192]; int N = S.Receive(B, sizeof B); ... };          // members
//   S.OnSessionClosed = [](TWSocket& S, uint16_t Err) { ... };
//   S.DnsLookup("localhost");                // -> OnDnsLookupDone(Err), DnsResult()
//   S.SetAddr("127.0.0.1"); S.SetPort("8080"); S.SetProto("tcp");
//   S.Connect();                             // -> OnSessionConnected(Err)
//   S.Send(Data, Len);                       // queued in 1460-byte chunks; OnDataSent
//                                            // fires from the loop once all went out
//   S.Close();                               // OnSessionClosed fires once per connection;
//                                            // with data still queued it is sent first
//   S.Abort();                               // drops the queue and resets the connection
//   TEventLoop::Current().PumpUntil([&] { return S.State() == wsClosed; });
// Servers: S.SetAddr("127.0.0.1"); S.SetPort("0"); S.Listen(); S.LocalPort() is the
// port given; in OnSessionAvailable: TWSocket* C = new TWSocket; C->Dup(S.Accept());
// As with WinSock, a new connection reports connected and writable together, so
// OnDataSent also fires once right after OnSessionConnected. A refused connect is
// OnSessionConnected(10061) followed by OnSessionClosed(0); a failed lookup is 11001.
// Every close resets Addr, Port and Proto (ResetDefaults): set them again before
// the next Connect. Synchronous errors go to OnError when it is assigned,
// otherwise they raise ESocketException. Error texts: WSocketErrorDesc(code).
// Events run on the loop of the thread that created the socket; a handler may
// Close the socket, but must not delete it (use Release(), which deletes later).
#pragma once

#include "net/Liveness.h"
#include "net/SslEngine.h"
#include "net/WSockBuf.h"
#include "net/WinSock.h"
#include "platform/eventloop/EventLoop.h"

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace chronark {

class TWSocket;

class ESocketException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

enum TSocketState : uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

// Set of TWSocketOption bits.
using TWSocketOptions = uint8_t;
enum : uint8_t {
  wsoNoReceiveLoop = 1u << 0,
  wsoTcpNoDelay = 1u << 1,
};

enum TSocketSendFlags : uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff : uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

enum TSocksAuthentication : uint8_t { socksNoAuthentication = 0, socksAuthenticateUsercode = 1 };
enum TSocksAuthState : uint8_t {
  socksAuthStart = 0,
  socksAuthSuccess = 1,
  socksAuthFailure = 2,
  socksAuthNotRequired = 3,
};

// Error codes of the SOCKS negotiation (OnSocksError, and OnSessionConnected
// when it fails).
enum : int {
  socksProtocolError = 20001,    // malformed or unexpected answer
  socksVersionError = 20002,     // answer of another SOCKS version
  socksAuthMethodError = 20003,  // no acceptable authentication method
  socksGeneralFailure = 20004,
  socksConnectionNotAllowed = 20005,
  socksNetworkUnreachable = 20006,
  socksHostUnreachable = 20007,
  socksConnectionRefused = 20008,
  socksTtlExpired = 20009,
  socksUnknownCommand = 20010,
  socksUnknownAddressType = 20011,
  socksUnassignedError = 20012,
  socksRejectedOrFailed = 20013,  // level 4 request rejected (91..93)
  socksAuthenticationFailed = 20014,
  socksServerClosed = 20015,  // the server closed during the negotiation
};

// Messages of the socket's own message target on the event loop (Handle()).
enum : uint32_t {
  SKM_ASYNC_SELECT = 1025,  // WParam = socket handle, LParam = events | error << 16
  SKM_LOOKUP_DONE = 1026,   // WParam = lookup handle, LParam = error << 16
  SKM_REVERSE_LOOKUP_DONE = 1027,
  SKM_CLOSE_DELAYED = 1028,
  SKM_RELEASE = 1029,
  SKM_TEST_EXCEPTION = 1030,
  SKM_FD_READY = 1031,     // readiness from the event loop (WParam = fd, LParam = epoll bits)
  SKM_SSL_PENDING = 1032,  // TLS holds records the descriptor no longer signals (WParam = fd)
  SKM_LINE_REDELIVER = 1044,
};

// The text of a socket error code ("Connection refused" for 10061, ...).
std::string WSocketErrorDesc(int ErrCode);
// "Error <code> in function <name>\r\n<text>".
std::string WSocketErrorMsg(int ErrCode, const std::string& FunctionName);

// Conversions of Connect; each raises ESocketException with its own message.
in_addr WSocketResolveHost(const std::string& Host);
uint16_t WSocketResolvePort(const std::string& Port, const std::string& Proto);  // host order
int WSocketResolveProto(const std::string& Proto);
// A dotted address by the rules of WSocketResolveHost (no lookup).
bool WSocketIsDottedIP(const std::string& S);
std::string WSocketIPToStr(in_addr A);

using TNotifyEvent = std::function<void(TWSocket& Sender)>;
using TSessionEvent = std::function<void(TWSocket& Sender, uint16_t Error)>;
using TDataAvailable = TSessionEvent;
using TDataSent = TSessionEvent;
using TDnsLookupDone = TSessionEvent;
using TSendData = std::function<void(TWSocket& Sender, int BytesSent)>;
using TChangeState =
    std::function<void(TWSocket& Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent =
    std::function<void(TWSocket& Sender, std::exception_ptr E, bool& CanClose)>;
using TSocksErrorEvent = std::function<void(TWSocket& Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TWSocket& Sender, TSocksAuthState AuthState)>;
using TLineLimitEvent = std::function<void(TWSocket& Sender, int RcvdLength, bool& ClearData)>;

// The socket descriptor: one owner, closed exactly once (the event loop's
// watch on it is the socket's business and ends before it, see CloseHandleOnce).
class TSocketDescriptor {
public:
  TSocketDescriptor() = default;
  TSocketDescriptor(const TSocketDescriptor&) = delete;
  TSocketDescriptor& operator=(const TSocketDescriptor&) = delete;
  ~TSocketDescriptor() { Close(); }

  int Fd() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  void Adopt(int Fd) {
    Close();
    FFd = Fd;
  }
  // Hands the number over; the caller closes it.
  int Release() { return std::exchange(FFd, -1); }
  // Once, whatever close says: on Linux the number is free again even after
  // an error, and may already belong to another file.
  void Close();

private:
  int FFd = -1;
};

// Asynchronous select emulation.
//
// The socket reports readiness the way WinSock's message-based select does,
// not the way epoll does: each notification is a one-shot that must be asked
// for again by the operation it announces. A receive re-arms FD_READ (and
// with it FD_CLOSE), an accept re-arms FD_ACCEPT, and FD_WRITE is wanted only
// while connecting or after a send would block (or went out in part). So a
// handler that does not read gets no second FD_READ, and an idle connection
// costs the loop nothing. ArmWatch turns the armed flags into the epoll mask
// the loop watches (one shot: WatchLive is false once it fired); HandleFdReady
// turns what fired back into FD_* bits, clearing the flag of each bit it
// delivers. The peer's close is FD_CLOSE once, after the last byte was read.
struct TSelectEmulation {
  uint16_t Events = 0;             // the selected notification mask (FD_*)
  bool ReadArmed = false;          // FD_READ / FD_CLOSE may be delivered
  bool WriteArmed = false;         // FD_WRITE wanted (after a send would block)
  bool AcceptArmed = false;        // FD_ACCEPT may be delivered
  uint32_t ArmedEvents = 0;        // what the loop currently watches (EPOLL* bits)
  bool WatchLive = false;          // the watch has not fired since it was armed
  bool PlatformCloseSeen = false;  // FD_CLOSE was delivered: read readiness ends
  int RecvError = 0;               // a receive that failed for good (a reset): the close reports it
  int RecvCalls = 0;               // platform reads, so that the receive loop sees progress
  int64_t KnownPending =
      0;  // bytes surely waiting: the last pending count less what was read since
};

// One of Addr, Port and Proto: the text as set, and whether it was set and
// converted to its number since.
struct TEndpointPart {
  std::string Str;
  bool Assigned = false;
  bool Resolved = false;
};

// The socket itself.
class TCustomWSocket {
public:
  virtual ~TCustomWSocket();
  TCustomWSocket(const TCustomWSocket&) = delete;
  TCustomWSocket& operator=(const TCustomWSocket&) = delete;

  // Properties.
  const std::string& Addr() const { return FAddr.Str; }
  void SetAddr(const std::string& Value);
  const std::string& Port() const { return FPort.Str; }
  virtual void SetPort(const std::string& Value);
  const std::string& Proto() const { return FProto.Str; }
  virtual void SetProto(const std::string& Value);
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value);
  const std::string& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const std::string& Value);
  std::string PeerAddr();
  std::string PeerPort();
  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  uint32_t ReadCount() const { return FReadCount; }
  virtual int32_t RcvdCount();
  int32_t LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool V) { FMultiThreaded = V; }
  bool MultiCast() const { return FMultiCast; }
  void SetMultiCast(bool V) { FMultiCast = V; }
  const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
  void SetMultiCastAddrStr(const std::string& V) { FMultiCastAddrStr = V; }
  int32_t MultiCastIpTTL() const { return FMultiCastIpTTL; }
  void SetMultiCastIpTTL(int32_t V) { FMultiCastIpTTL = V; }
  bool ReuseAddr() const { return FReuseAddr; }
  void SetReuseAddr(bool V) { FReuseAddr = V; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions V) { FComponentOptions = V; }
  TSocketSendFlags SendFlags() const { return FSendFlags; }
  void SetSendFlags(int V);  // anything but 0 and 1: "Invalid SendFlags"
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff V) { FLingerOnOff = V; }
  int32_t LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int32_t V) { FLingerTimeout = V; }
  int HSocket() const { return FHSocket.Fd(); }
  int32_t SendChunkSize() const { return FSendChunkSize; }
  // Bytes queued in the send buffers and not yet accepted by the network.
  int64_t BufferedByteCount() const;
  // The socket's message target on the event loop.
  THandle Handle() const { return FWindowHandle; }

  // TLS. SslEnable (set while closed) makes the next Connect a TLS client:
  // the handshake runs after the TCP connection (and after a SOCKS
  // negotiation), and OnSessionConnected fires once it is done, or with an
  // ssl* code of net/SslEngine.h when it failed (then OnSessionClosed
  // follows). Receive and Send carry plaintext; OnDataAvailable fires only
  // when decrypted bytes can be read; Close sends close_notify before the
  // FIN, Abort does not. The certificate is verified against the system
  // trust store (or SslCAFile alone) and SslHostName (Addr when empty).
  // Every close resets SslEnable and SslHostName, as it resets Addr and
  // Port; SslCAFile and SslVerifyPeer stay.
  bool SslEnable() const { return FSslEnable; }
  void SetSslEnable(bool V);
  const std::string& SslHostName() const { return FSslHostName; }
  void SetSslHostName(const std::string& V);
  const std::string& SslCAFile() const { return FSslCAFile; }
  void SetSslCAFile(const std::string& V) { FSslCAFile = V; }
  bool SslVerifyPeer() const { return FSslVerifyPeer; }
  void SetSslVerifyPeer(bool V) { FSslVerifyPeer = V; }
  // Starts TLS on an open connection (after a proxy's CONNECT answer); the
  // end of the handshake is reported as OnSessionConnected, as above.
  void StartSsl();
  // True from the start of the handshake until the close.
  bool SslActive() const { return FSsl != nullptr; }
  // After the handshake: protocol, cipher and the certificate's subject.
  std::string SslVersion() const;
  std::string SslCipher() const;
  std::string SslPeerSubject() const;
  // The last TLS failure with its detail ("SSL certificate verify failed:
  // certificate has expired"); empty when there was none.
  const std::string& SslErrorText() const { return FSslErrorText; }

  // Events.
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionEvent OnSessionClosed;
  TSessionEvent OnSessionAvailable;
  TSessionEvent OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

  // Operations.
  virtual void Connect();
  virtual void Close();
  virtual void CloseDelayed();
  virtual void Release();  // the object deletes itself from the loop (allocate it with new)
  virtual void Abort();
  virtual void Flush();
  virtual void WaitForClose();
  virtual void Listen();
  virtual int Accept();  // the new descriptor (hand it to Dup), -1 on failure
  virtual int Receive(void* Buffer, int BufferSize);
  virtual std::string ReceiveStr();
  virtual int ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  virtual int Send(const void* Data, int Len);
  virtual int SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len);
  virtual int SendStr(const std::string& Str);
  virtual void DnsLookup(const std::string& HostName);
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  virtual void CancelDnsLookup();
  virtual int GetPeerName(sockaddr_in& Name, int NameLen);
  virtual int GetSockName(sockaddr_in& Name, int& NameLen);
  virtual std::string GetPeerAddr();
  virtual std::string GetPeerPort();
  virtual std::string GetLocalPortText();
  virtual std::string GetLocalAddrText();
  virtual void Dup(int NewHSocket);  // adopt an accepted descriptor: wsConnected
  virtual void Shutdown(int How);
  virtual void Pause();
  virtual void Resume();
  virtual void MessagePump();
  void PostTestException();  // posts SKM_TEST_EXCEPTION

protected:
  TCustomWSocket();

  // Message handling.
  virtual void HandleMessage(const TMessage& Msg);
  virtual void CreateSocketWindow();
  virtual void DestroySocketWindow();
  virtual void ResetDefaults();
  virtual void DoClose(bool Shut, int Error);
  virtual bool BindSocket();  // false when it failed (and OnError took the error)
  virtual int RealSend(const void* Data, int Len);
  virtual void RaiseErrorFmt(const char* Format, ...);
  virtual void RaiseError(const std::string& Msg);
  // Sets one of Addr, Port and Proto; refused while not closed unless it is unchanged.
  void AssignEndpointPart(const char* Name, const std::string& Value, TEndpointPart& Part);
  virtual void HandleBackgroundException(std::exception_ptr E);
  virtual bool NotifyDataAvailable(uint16_t Error);
  virtual void NotifySessionAvailable(uint16_t Error);
  virtual void NotifySessionConnected(uint16_t Error);
  virtual void NotifySessionClosed(uint16_t Error);
  virtual void NotifyDataSent(uint16_t Error);
  virtual void NotifyChangeState(TSocketState OldState, TSocketState NewState);
  virtual void NotifyDnsLookupDone(uint16_t Error);
  virtual void NotifyError();
  virtual int DoRecv(void* Buffer, int BufferSize, int Flags);
  virtual int DoRecvFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen);
  // Asynchronous select notification (SKM_ASYNC_SELECT), already checked for the handle.
  virtual void HandleAsyncSelect(uint16_t Events, uint16_t Error);
  virtual void ReceiveLoop(uint16_t Error, TWSocketOptions Options);
  void SocketError(const std::string& FunctionName);
  void SetState(TSocketState NewState);
  void ApplyLinger();
  TWSocket& Self();
  bool Destroying() const { return FDestroying; }

  // The connection a step works on: gone once a handler deleted the socket,
  // closed it, or moved it on to another descriptor.
  class TConnectionWatch {
  public:
    explicit TConnectionWatch(const TCustomWSocket& S)
        : FAlive(S.FLife.Watch()), FSocket(&S.FHSocket), FHandle(S.FHSocket.Fd()) {}
    bool Gone() const { return !FAlive.Alive() || !FSocket->Valid() || FSocket->Fd() != FHandle; }

  private:
    TLiveness::TWatch FAlive;
    const TSocketDescriptor* FSocket;  // read only while FAlive says the socket exists
    int FHandle;
  };

  // Connecting and listening, in steps: the settings, the endpoint as
  // numbers, a new descriptor, its options, then the connect or listen.
  bool CheckConnectSettings();  // false after the error was raised (or given to OnError)
  bool ResolveEndpoint(const char* Op, bool Listening);
  bool OpenSocket(const char* FunctionName);
  void FailSocketCall(const char* FunctionName);
  void DropSocket(const TConnectionWatch& Conn);
  bool SetUpStreamSocket(const TConnectionWatch& Conn);
  bool SetUpDatagramSocket(const TConnectionWatch& Conn);
  void StartTcpConnect();
  bool StartListening();
  bool JoinMulticastGroup();

  // Select notifications, one step per event; false when the connection has gone.
  bool SelectConnect(uint16_t Error, const TConnectionWatch& Conn);
  bool SelectRead(uint16_t Error, const TConnectionWatch& Conn);
  bool SelectWrite(uint16_t Error, const TConnectionWatch& Conn);
  void SelectClose(uint16_t Error, const TConnectionWatch& Conn);

  // Sending: the queue goes out through RealSend.
  void TryToSend();
  void SendQueueEmpty();
  void SendFailed(int Code);
  void WaitWritable();

  // Closing.
  bool ShutdownGracefully();
  void ResetQuietly();  // ResetDefaults, whatever it raises

  // Readiness through the loop, re-armed as asynchronous select does.
  void ArmWatch();
  void HandleFdReady(uint32_t EpollEvents);
  // What fired, as FD_* bits, one function per socket state.
  uint16_t ConnectingReady(uint32_t EpollEvents, int& Err);
  uint16_t ListeningReady(uint32_t EpollEvents);
  uint16_t DatagramReady(uint32_t EpollEvents);
  uint16_t ConnectedReady(uint32_t EpollEvents, int& Err);
  uint16_t StreamReadReady(int& Err);
  void CloseHandleOnce();
  void StartLookupThread(const std::string& Host, bool Reverse);
  void HandleLookupDone(const TMessage& Msg);
  int32_t PlatformRcvdCount();
  // Closes without events; run by the most derived destructor while the object is whole.
  void Teardown();

  // True while a layer beneath TLS talks to a server of its own (SOCKS):
  // its bytes go out in plain text, the owner's wait for the handshake.
  virtual bool NegotiatingBelowSsl() const { return false; }
  // TLS steps (net/WSocketSsl.cpp).
  bool SslHandshaking() const { return FSsl && !FSsl->Established(); }
  bool SslEstablished() const { return FSsl && FSsl->Established(); }
  void SslBeginHandshake();
  void SslStep();
  int SslRecv(void* Buffer, int BufferSize);
  int SslSend(const void* Data, int Len);
  // Whether decrypted bytes can be read now; a close found on the way is posted.
  bool SslMoreToRead();
  // Readiness of an established session, as the events it stands for.
  uint16_t SslReadiness(int& Err);
  void SslPostClose(int Error);
  void SslPostPending();
  void SslHandlePending();

  std::shared_ptr<TEventLoop> FLoopRef;  // keeps the queue for lookups posting back
  TEventLoop& FLoop;
  THandle FWindowHandle = 0;
  TSocketDescriptor FHSocket;
  TLiveness FLife;  // ended first by Teardown: a handler that deleted the socket is noticed

  // Where to connect or listen, and from where.
  TEndpointPart FAddr;
  TEndpointPart FPort;
  TEndpointPart FProto{"tcp", true, false};
  std::string FLocalAddr = "0.0.0.0";
  std::string FLocalPortStr = "0";
  bool FLocalPortResolved = false;
  sockaddr_in FSin{};
  int FSocketType = 1;  // 1 stream, 2 datagram
  int FProtocol = 6;
  uint16_t FPortNum = 0;       // host order
  uint16_t FLocalPortNum = 0;  // host order

  // Options set by the owner.
  bool FMultiThreaded = false;
  bool FMultiCast = false;
  std::string FMultiCastAddrStr;
  int32_t FMultiCastIpTTL = 1;
  bool FReuseAddr = false;
  TWSocketOptions FComponentOptions = 0;
  TSocketSendFlags FSendFlags = wsSendNormal;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int32_t FLingerTimeout = 0;

  // State of the connection.
  TSocketState FState = wsClosed;
  uint32_t FReadCount = 0;
  int32_t FLastError = 0;
  TSelectEmulation FSelect;
  bool FPaused = false;
  bool FCloseInvoked = false;  // close notified
  bool FTerminated = false;
  bool FDestroying = false;

  // The send queue.
  std::deque<std::unique_ptr<TBuffer>> FBufList;
  int32_t FSendChunkSize = 1460;
  bool FAllSent = true;
  bool FCloseAfterSend = false;  // a graceful close waits for the last queued byte

  // Name lookup.
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;
  struct TLookupJob;
  std::shared_ptr<TLookupJob> FLookup;  // the running lookup, if any
  uint64_t FLookupSerial = 0;

  // TLS.
  std::unique_ptr<TSslSession> FSsl;  // from the handshake's start to the close
  bool FSslEnable = false;
  bool FSslVerifyPeer = true;
  std::string FSslHostName;
  std::string FSslCAFile;
  std::string FSslErrorText;
  bool FSslWantWrite = false;       // the handshake waits for writability
  bool FSslReadWantsWrite = false;  // a read waits for writability
  bool FSslPendingPosted = false;
  bool FSslClosePosted = false;
};

// Adds a SOCKS 4 / 4A / 5 client in front of Connect.
class TCustomSocksWSocket : public TCustomWSocket {
public:
  ~TCustomSocksWSocket() override;

  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& V);  // "4", "4A" or "5"
  const std::string& SocksServer() const { return FSocksServer; }
  virtual void SetSocksServer(const std::string& V);
  const std::string& SocksPort() const { return FSocksPort; }
  virtual void SetSocksPort(const std::string& V);
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& V);
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& V);
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication V);

  TSessionEvent OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

  void Connect() override;
  void Listen() override;

protected:
  TCustomSocksWSocket() = default;
  virtual void NotifySocksConnected(uint16_t Error);
  virtual void NotifySocksError(int Error, const std::string& Msg);
  virtual void NotifySocksAuthState(TSocksAuthState AuthState);
  void NotifySessionConnected(uint16_t Error) override;
  bool NotifyDataAvailable(uint16_t Error) override;
  void NotifyDataSent(uint16_t Error) override;
  void ResetDefaults() override;
  // True while the SOCKS server is being talked to (the owner sees nothing yet).
  bool SocksNegotiating() const { return FSocksStep != ssNone && FSocksStep != ssDone; }
  bool NegotiatingBelowSsl() const override { return SocksNegotiating(); }

private:
  enum TSocksStep : uint8_t { ssNone, ssConnecting, ssGreeting, ssAuth, ssRequest, ssDone };
  void SocksFailed(int Error, const std::string& Msg);
  void SocksFailed(int Error);  // with the code's own text
  bool SocksResolveTarget();
  void SocksSendRequest();
  // The server's answers, one step each.
  void SocksHandleReply();
  void SocksGreetingReply();
  void SocksAuthReply();
  void SocksRequestReply();
  bool Socks5RequestReply(int& Failure);
  bool Socks4RequestReply(int& Failure);
  bool SocksAnswer(size_t Want);
  uint8_t SocksByte(size_t I) const;
  bool SocksAuthStateFired(TSocksAuthState State, TSocksStep Step);
  bool SocksRead(size_t Want);  // reads up to Want bytes in all into FSocksRcvd; false on EOF
  std::string FSocksLevel = "5";
  std::string FSocksServer;
  std::string FSocksPort;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  TSocksStep FSocksStep = ssNone;
  std::string FSocksTargetHost;  // Addr as given by the owner
  uint16_t FSocksTargetPort = 0;
  std::string FSocksRcvd;
};

// Adds line mode: OnDataAvailable sees one complete line at a time.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
  bool LineMode() const { return FLineMode; }
  virtual void SetLineMode(bool V);
  int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(int32_t V) { FLineLimit = V; }
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& V) { FLineEnd = V; }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool V) { FLineEcho = V; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool V) { FLineEdit = V; }
  // The bytes held by line mode and not yet offered or read.
  const std::string& LineBuffer() const { return FRcvdBuf; }

  TLineLimitEvent OnLineLimitExceeded;

  int Receive(void* Buffer, int BufferSize) override;
  int32_t RcvdCount() override;

protected:
  TCustomLineWSocket() = default;
  virtual void NotifyLineLimitExceeded(int RcvdLength, bool& ClearData);
  virtual void EditLine();
  bool NotifyDataAvailable(uint16_t Error) override;
  void HandleMessage(const TMessage& Msg) override;
  void NotifySessionClosed(uint16_t Error) override;

private:
  void OfferLines();
  bool FLineMode = false;
  int32_t FLineLimit = 65536;
  std::string FLineEnd = "\r\n";
  bool FLineEcho = false;
  bool FLineEdit = false;
  std::string FRcvdBuf;     // bytes read from the platform in line mode
  int32_t FLineLength = 0;  // length of the line on offer (0: none)
  bool FLineOffered = false;
  bool FRedeliverPosted = false;
};

// Adds a blocking wait that pumps the thread's messages.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
  // Pumps until Flag is true or the own pump saw a quit: 0, or 12001 on quit.
  virtual int WaitUntilReady(const bool& Flag);

protected:
  TCustomSyncWSocket() = default;
};

class TWSocket final : public TCustomSyncWSocket {
public:
  TWSocket();
  ~TWSocket() override;
};

}  // namespace chronark
