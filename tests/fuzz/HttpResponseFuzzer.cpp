// Feeds arbitrary bytes through THttpCli's receive path as the answers of a
// server: header reader, body reader, relocations and the closing handler.
// Input layout: byte 0 picks the read size, byte 1 the close (orderly or
// reset) and the stream limit; the rest is split at "\xff\xfe" into the
// responses of consecutive connections (relocations use the later ones).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FakeHttpCli.h"
#include "net/Stream.h"

using chronark::EHttpException;
using chronark::TMemoryStream;
using chronark::test::TFakeHttpCli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  std::string_view In(reinterpret_cast<const char*>(Data) + 2, Size - 2);

  TFakeHttpCli H;
  static const size_t Chunks[] = {1, 2, 3, 7, 64, 1000, 8192, 1 << 20};
  H.ChunkSize = Chunks[Data[0] & 7];
  H.CloseError = (Data[1] & 1) ? 10054 : 0;
  H.URL = (Data[1] & 2) ? "http://u:p@fuzz.example:8080/dir/doc.exe?q" : "fuzz.example/a/b/";
  if (Data[1] & 4) H.Proxy = "proxy.example:3128";
  TMemoryStream Doc((Data[1] & 8) ? 4096 : -1);
  H.ReceiveStream = &Doc;
  int Rq = (Data[1] >> 4) & 3;

  for (int I = 0; I < 8 && !In.empty(); ++I) {
    const size_t Sep = In.find("\xff\xfe");
    H.Responses.emplace_back(In.substr(0, Sep));
    In = Sep == std::string_view::npos ? std::string_view() : In.substr(Sep + 2);
  }
  chronark::TStringStream Body("k=v");
  try {
    if (Rq == 2) {
      H.PostStream = &Body;
      H.Post();
    } else if (Rq == 3) {
      H.Head();
    } else {
      H.Get();
    }
  } catch (const EHttpException&) {}
  // The component must be reusable after whatever happened.
  if (H.State() != chronark::hsReady) __builtin_trap();
  return 0;
}
