// The SOCKS client of TWSocket: levels 4 and 4A (the request of RFC-less
// common practice: VN 4, CD 1, port, address, user id, NUL, and for 4A the host
// name behind the address 0.0.0.1) and 5 (RFC 1928 with the user name and
// password method of RFC 1929).
#include "common/cstring.h"
#include "net/WSocket.h"

#include <arpa/inet.h>

namespace chronark {

namespace {

std::string SocksReplyText(int Code) {
  switch (Code) {
    case socksProtocolError: return "Protocol error";
    case socksVersionError: return "Version error";
    case socksAuthMethodError: return "Authentication method not acceptable";
    case socksGeneralFailure: return "General SOCKS server failure";
    case socksConnectionNotAllowed: return "Connection not allowed by ruleset";
    case socksNetworkUnreachable: return "Network unreachable";
    case socksHostUnreachable: return "Host unreachable";
    case socksConnectionRefused: return "Connection refused";
    case socksTtlExpired: return "TTL expired";
    case socksUnknownCommand: return "Command not supported";
    case socksUnknownAddressType: return "Address type not supported";
    case socksRejectedOrFailed: return "Request rejected or failed";
    case socksAuthenticationFailed: return "Authentication failed";
    case socksServerClosed: return "SOCKS server closed the connection";
    default: return "Unassigned error";
  }
}

std::string Port16(uint16_t Port) {
  return std::string{static_cast<char>(Port >> 8), static_cast<char>(Port & 0xFF)};
}

}  // namespace

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

void TCustomSocksWSocket::ResetDefaults() {
  TCustomWSocket::ResetDefaults();
  FSocksLevel = "5";
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksStep = ssNone;
  FSocksRcvd.clear();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksLevel if not closed");
  const std::string L = AsciiUpperCase(V);
  if (L != "4" && L != "4A" && L != "5")
    return RaiseError("Invalid socks level. Must be 4, 4A or 5.");
  FSocksLevel = L;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksServer if not closed");
  FSocksServer = V;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksPort if not closed");
  FSocksPort = V;
}

void TCustomSocksWSocket::SetSocksUsercode(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksUsercode if not closed");
  FSocksUsercode = V;
}

void TCustomSocksWSocket::SetSocksPassword(const std::string& V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksPassword if not closed");
  FSocksPassword = V;
}

void TCustomSocksWSocket::SetSocksAuthentication(TSocksAuthentication V) {
  if (FState != wsClosed) return RaiseError("Cannot change SocksAuthentication if not closed");
  FSocksAuthentication = V;
}

void TCustomSocksWSocket::Listen() {
  if (!FSocksServer.empty()) return RaiseError("Listening is not supported thru socks server");
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
  if (FSocksServer.empty()) {
    FSocksStep = ssNone;
    return TCustomWSocket::Connect();
  }
  if (!CheckConnectSettings() || !SocksResolveTarget()) return;
  // The connection goes to the server; Addr and Port are what it is asked for.
  FAddr = TEndpointPart{FSocksServer, true, false};
  FPort = TEndpointPart{FSocksPort.empty() ? "1080" : FSocksPort, true, false};
  FSocksRcvd.clear();
  FSocksStep = ssConnecting;
  try {
    TCustomWSocket::Connect();
  } catch (...) {
    FSocksStep = ssNone;
    throw;
  }
  if (FState == wsClosed) FSocksStep = ssNone;
}

// The target the server is asked for; false when it cannot be named (raised,
// or taken by OnError).
bool TCustomSocksWSocket::SocksResolveTarget() {
  int Protocol = 0;
  try {
    Protocol = WSocketResolveProto(FProto.Str);
  } catch (const std::exception& E) {
    RaiseError(std::string("connect: ") + E.what());
    return false;
  }
  if (Protocol != IPPROTO_TCP) {
    RaiseError("tcp is the only protocol supported thru socks server");
    return false;
  }
  try {
    FSocksTargetPort = WSocketResolvePort(FPort.Str, FProto.Str);
    FSocksTargetHost = FAddr.Str;
    // Level 4 carries an address only: the name is resolved here.
    if (FSocksLevel == "4" || (FSocksLevel == "4A" && WSocketIsDottedIP(FAddr.Str)))
      FSocksTargetHost = WSocketIPToStr(WSocketResolveHost(FAddr.Str));
  } catch (const std::exception& E) {
    RaiseError(std::string("connect: ") + E.what());
    return false;
  }
  return true;
}

void TCustomSocksWSocket::NotifySocksConnected(uint16_t Error) {
  if (OnSocksConnected) OnSocksConnected(Self(), Error);
}
void TCustomSocksWSocket::NotifySocksError(int Error, const std::string& Msg) {
  if (OnSocksError) OnSocksError(Self(), Error, Msg);
}
void TCustomSocksWSocket::NotifySocksAuthState(TSocksAuthState AuthState) {
  if (OnSocksAuthState) OnSocksAuthState(Self(), AuthState);
}

void TCustomSocksWSocket::NotifyDataSent(uint16_t Error) {
  if (SocksNegotiating()) return;  // our own negotiation bytes: not the owner's data
  TCustomWSocket::NotifyDataSent(Error);
}

void TCustomSocksWSocket::NotifySessionConnected(uint16_t Error) {
  if (FSocksStep != ssConnecting) return TCustomWSocket::NotifySessionConnected(Error);
  if (Error != 0) {
    FSocksStep = ssNone;  // the server itself could not be reached
    return TCustomWSocket::NotifySessionConnected(Error);
  }
  if (FSocksLevel == "5") {
    std::string Greeting = FSocksAuthentication == socksAuthenticateUsercode
                               ? std::string("\x05\x02\x00\x02", 4)
                               : std::string("\x05\x01\x00", 3);
    FSocksStep = ssGreeting;
    SendStr(Greeting);
  } else {
    SocksSendRequest();
  }
}

void TCustomSocksWSocket::SocksSendRequest() {
  std::string R;
  if (FSocksLevel == "5") {
    R = std::string("\x05\x01\x00", 3);
    in_addr A{};
    if (WSocketIsDottedIP(FSocksTargetHost) &&
        inet_pton(AF_INET, FSocksTargetHost.c_str(), &A) == 1) {
      R += '\x01';
      R.append(reinterpret_cast<const char*>(&A), 4);
    } else {
      if (FSocksTargetHost.size() > 255)
        return SocksFailed(socksProtocolError, "Host name too long");
      R += '\x03';
      R += static_cast<char>(FSocksTargetHost.size());
      R += FSocksTargetHost;
    }
    R += Port16(FSocksTargetPort);
  } else {
    R = std::string("\x04\x01", 2) + Port16(FSocksTargetPort);
    in_addr A{};
    bool Named = inet_pton(AF_INET, FSocksTargetHost.c_str(), &A) != 1;
    if (Named) A.s_addr = htonl(1);  // 0.0.0.1: the name follows (4A)
    R.append(reinterpret_cast<const char*>(&A), 4);
    R += FSocksUsercode;
    R += '\0';
    if (Named) {
      R += FSocksTargetHost;
      R += '\0';
    }
  }
  FSocksStep = ssRequest;
  FSocksRcvd.clear();
  SendStr(R);
}

void TCustomSocksWSocket::SocksFailed(int Error, const std::string& Msg) {
  FSocksStep = ssNone;
  if (!FLife.Fire([&] { NotifySocksError(Error, Msg); })) return;
  if (!FLife.Fire([&] { TCustomWSocket::NotifySessionConnected(static_cast<uint16_t>(Error)); }))
    return;
  if (FState != wsClosed) Close();
}

void TCustomSocksWSocket::SocksFailed(int Error) { SocksFailed(Error, SocksReplyText(Error)); }

// Reads until FSocksRcvd holds Want bytes, never beyond: what follows the
// answer is the owner's data.
bool TCustomSocksWSocket::SocksRead(size_t Want) {
  while (FSocksRcvd.size() < Want) {
    char Buf[512];
    size_t Need = std::min(Want - FSocksRcvd.size(), sizeof Buf);
    int N = TCustomWSocket::Receive(Buf, static_cast<int>(Need));
    if (N == 0) return false;
    if (N < 0) return true;  // would block: wait for more
    FSocksRcvd.append(Buf, static_cast<size_t>(N));
  }
  return true;
}

bool TCustomSocksWSocket::NotifyDataAvailable(uint16_t Error) {
  if (!SocksNegotiating()) return TCustomWSocket::NotifyDataAvailable(Error);
  SocksHandleReply();
  return true;
}

void TCustomSocksWSocket::SocksHandleReply() {
  switch (FSocksStep) {
    case ssGreeting: return SocksGreetingReply();
    case ssAuth: return SocksAuthReply();
    case ssRequest: return SocksRequestReply();
    default: return;
  }
}

// Reads the answer of the current step up to Want bytes: false while it is
// incomplete (or after the server closed, which ends the negotiation).
bool TCustomSocksWSocket::SocksAnswer(size_t Want) {
  if (!SocksRead(Want)) {
    SocksFailed(socksServerClosed);
    return false;
  }
  return FSocksRcvd.size() >= Want;
}

uint8_t TCustomSocksWSocket::SocksByte(size_t I) const {
  return static_cast<uint8_t>(FSocksRcvd[I]);
}

// Level 5: the server chose an authentication method.
void TCustomSocksWSocket::SocksGreetingReply() {
  if (!SocksAnswer(2)) return;
  if (SocksByte(0) != 5) return SocksFailed(socksVersionError);
  const uint8_t Method = SocksByte(1);
  FSocksRcvd.clear();
  if (Method == 0) {
    // Unless the handler closed it.
    if (!SocksAuthStateFired(socksAuthNotRequired, ssGreeting)) return;
    return SocksSendRequest();
  }
  if (Method != 2 || FSocksAuthentication != socksAuthenticateUsercode)
    return SocksFailed(socksAuthMethodError);
  if (FSocksUsercode.size() > 255 || FSocksPassword.size() > 255)
    return SocksFailed(socksAuthenticationFailed);
  if (!SocksAuthStateFired(socksAuthStart, ssGreeting)) return;
  std::string A = "\x01";
  A += static_cast<char>(FSocksUsercode.size());
  A += FSocksUsercode;
  A += static_cast<char>(FSocksPassword.size());
  A += FSocksPassword;
  FSocksStep = ssAuth;
  SendStr(A);
}

// Level 5: the answer to the user name and password (RFC 1929).
void TCustomSocksWSocket::SocksAuthReply() {
  if (!SocksAnswer(2)) return;
  const bool Ok = SocksByte(1) == 0;
  FSocksRcvd.clear();
  if (!Ok) {
    NotifySocksAuthState(socksAuthFailure);
    return SocksFailed(socksAuthenticationFailed);
  }
  if (!SocksAuthStateFired(socksAuthSuccess, ssAuth)) return;
  SocksSendRequest();
}

// OnSocksAuthState; false when its handler deleted or closed the socket.
bool TCustomSocksWSocket::SocksAuthStateFired(TSocksAuthState State, TSocksStep Step) {
  return FLife.Fire([&] { NotifySocksAuthState(State); }) && FSocksStep == Step;
}

// The answer to the connect request: the connection to the target stands, or
// the server says why not.
void TCustomSocksWSocket::SocksRequestReply() {
  int Failure = 0;
  if (!(FSocksLevel == "5" ? Socks5RequestReply(Failure) : Socks4RequestReply(Failure))) return;
  FSocksRcvd.clear();
  if (Failure) return SocksFailed(Failure);
  FSocksStep = ssDone;
  if (!FLife.Fire([&] { NotifySocksConnected(0); }) || FState != wsConnected) return;
  TCustomWSocket::NotifySessionConnected(0);
}

// True once the whole answer is read (Failure set when it refuses).
bool TCustomSocksWSocket::Socks5RequestReply(int& Failure) {
  if (!SocksAnswer(5)) return false;
  if (SocksByte(0) != 5) return SocksFailed(socksVersionError), false;
  size_t Total;
  switch (SocksByte(3)) {
    case 1: Total = 4 + 4 + 2; break;
    case 3: Total = 4 + 1 + SocksByte(4) + 2; break;
    case 4: Total = 4 + 16 + 2; break;
    default: return SocksFailed(socksUnknownAddressType), false;
  }
  if (!SocksAnswer(Total)) return false;
  const uint8_t Rep = SocksByte(1);
  if (Rep != 0) Failure = Rep <= 8 ? socksGeneralFailure + Rep - 1 : socksUnassignedError;
  return true;
}

bool TCustomSocksWSocket::Socks4RequestReply(int& Failure) {
  if (!SocksAnswer(8)) return false;
  if (SocksByte(0) != 0 && SocksByte(0) != 4) return SocksFailed(socksVersionError), false;
  if (SocksByte(1) != 90) Failure = socksRejectedOrFailed;
  return true;
}

}  // namespace chronark
