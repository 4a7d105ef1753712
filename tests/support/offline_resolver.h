#pragma once
// A getaddrinfo of the test program's own that answers every name as unknown
// without asking the machine's resolver (offline_resolver.cpp).

#include <string>
#include <vector>

namespace chronark::test {

// The names asked for so far, in order.
std::vector<std::string> NamesLookedUp();

}  // namespace chronark::test
