// Loopback sockets for tests: 127.0.0.1 on a port the kernel picks.
#pragma once

#include <cstdint>
#include <string>

namespace chronark::test {

// A TCP socket bound to 127.0.0.1, port 0, listening when Backlog > 0;
// Port receives the port the kernel gave. -1 when any step fails.
int BindLoopback(uint16_t& Port, int Backlog = 0);

// A loopback port on which nobody listens (bound once, then closed).
std::string FreeLoopbackPort();

// A blocking TCP socket connected to 127.0.0.1:Port; -1 when refused.
int ConnectLoopback(uint16_t Port);

}  // namespace chronark::test
