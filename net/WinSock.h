// The socket library's declarations: the Windows Sockets error codes the
// components report, the notification bits of asynchronous select, and the
// mapping of POSIX errno values onto those codes.
#pragma once

#include <cstdint>

namespace chronark {

// Windows Sockets error codes (the 16-bit Error of every socket event).
enum : int {
  WSABASEERR = 10000,
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETOOMANYREFS = 10059,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAELOOP = 10062,
  WSAENAMETOOLONG = 10063,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  WSAENOTEMPTY = 10066,
  WSAEPROCLIM = 10067,
  WSAEUSERS = 10068,
  WSAEDQUOT = 10069,
  WSAESTALE = 10070,
  WSAEREMOTE = 10071,
  WSASYSNOTREADY = 10091,
  WSAVERNOTSUPPORTED = 10092,
  WSANOTINITIALISED = 10093,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

// Notification bits of asynchronous select (low word of SKM_ASYNC_SELECT's LParam).
enum : uint16_t {
  FD_READ = 1,
  FD_WRITE = 2,
  FD_OOB = 4,
  FD_ACCEPT = 8,
  FD_CONNECT = 16,
  FD_CLOSE = 32,
};

// The WinSock code for a POSIX errno value (0 stays 0; values without a WinSock
// counterpart give 10022, Invalid argument).
int WSocketErrorFromErrno(int Errno);

// The calling thread's "last socket error" (WSAGetLastError / WSASetLastError).
int WSAGetLastError();
void WSASetLastError(int Code);

// Pack/unpack the LParam of a socket notification: low word events, high word error.
inline intptr_t WSAMakeSelectReply(uint16_t Events, uint16_t Error) {
  return static_cast<intptr_t>((static_cast<uint32_t>(Error) << 16) | Events);
}
inline uint16_t WSAGetSelectEvent(intptr_t LParam) {
  return static_cast<uint16_t>(LParam & 0xFFFF);
}
inline uint16_t WSAGetSelectError(intptr_t LParam) {
  return static_cast<uint16_t>((static_cast<uint32_t>(LParam) >> 16) & 0xFFFF);
}

}  // namespace chronark
