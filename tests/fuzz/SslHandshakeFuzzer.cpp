// Arbitrary bytes as the server's side of a TLS connection: the session must
// end in a failure with a code and a text (or wait for more), never crash,
// hang or hand out bytes it did not decrypt.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/SslEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace chronark;
  int Pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, Pair) != 0) return 0;
  // The whole answer is there at once, then the peer's end of data.
  (void)!::send(Pair[1], Data, Size, MSG_NOSIGNAL);
  ::shutdown(Pair[1], SHUT_WR);
  {
    TSslSession S(Pair[0], "localhost", "", true);
    TSslResult R = TSslResult::WantWrite;
    for (int Step = 0; Step < 16 && (R == TSslResult::WantRead || R == TSslResult::WantWrite);
         ++Step)
      R = S.Handshake();
    if (R == TSslResult::Failed && (S.ErrorCode() < sslHandshakeFailed || S.ErrorText().empty()))
      std::abort();                     // every failed handshake has its code and its words
    if (S.Established()) std::abort();  // nobody holds the test CA's key
    char Buf[256];
    if (S.Read(Buf, sizeof Buf, R) != 0) std::abort();
  }
  ::close(Pair[0]);
  ::close(Pair[1]);
  return 0;
}
