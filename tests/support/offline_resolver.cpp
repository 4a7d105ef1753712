// A test program's own name lookup: it takes the place of the C library's
// getaddrinfo for the whole test program (the executable exports it, so the
// loaded relcheck.so binds to it too). No name lookup leaves the machine; every
// name is unknown, and the names asked for are kept for the test to inspect.
#include "tests/support/offline_resolver.h"

#include <mutex>
#include <netdb.h>

namespace chronark::test {
namespace {

std::mutex& NamesLock() {
  static std::mutex Instance;
  return Instance;
}

std::vector<std::string>& Names() {
  static std::vector<std::string> Instance;
  return Instance;
}

}  // namespace

std::vector<std::string> NamesLookedUp() {
  std::lock_guard Lock(NamesLock());
  return Names();
}

}  // namespace chronark::test

extern "C" int getaddrinfo(const char* Node, const char*, const addrinfo*, addrinfo** Result) {
  if (Result) *Result = nullptr;
  std::lock_guard Lock(chronark::test::NamesLock());
  chronark::test::Names().emplace_back(Node ? Node : "");
  return EAI_NONAME;
}
