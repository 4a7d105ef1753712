// URLs through SplitUrl and through a request that is relocated: the first
// line of the input is the URL (and, with the second, the base path of
// SplitUrl); the second and third lines are the Location values of two
// relocations, after which the document arrives. Nothing may crash, and the
// component must be ready for the next request whatever happened.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FakeHttpCli.h"
#include "net/Stream.h"

using chronark::EHttpException;
using chronark::TMemoryStream;
using chronark::test::TFakeHttpCli;

namespace {

std::string_view NextLine(std::string_view& In) {
  const size_t End = In.find('\n');
  const std::string_view Line = In.substr(0, End);
  In = End == std::string_view::npos ? std::string_view() : In.substr(End + 1);
  return Line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::string_view In(reinterpret_cast<const char*>(Data), Size);
  const std::string_view Url = NextLine(In);
  const std::string_view First = NextLine(In);
  const std::string_view Second = NextLine(In);

  (void)chronark::SplitUrl(Url);
  (void)chronark::SplitUrl(First, Url);

  TFakeHttpCli H;
  H.URL = std::string(Url);
  H.Responses = {
      "HTTP/1.0 302 Found\r\nLocation: " + std::string(First) + "\r\n\r\n",
      "HTTP/1.1 301 Moved\r\nContent-Length: 0\r\nLocation: " + std::string(Second) + "\r\n\r\n",
      "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"};
  TMemoryStream Doc(1 << 16);
  H.ReceiveStream = &Doc;
  try {
    H.Get();
  } catch (const EHttpException&) {}
  if (H.State() != chronark::hsReady) __builtin_trap();
  return 0;
}
