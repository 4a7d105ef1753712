// libFuzzer target: any file may be asked for its version, so the ELF and
// version block readers must survive arbitrary bytes; the version texts come
// from the network.
#include "platform/version/version.h"
#include "platform/version/versionblock.h"
#include "relcheck/versioncompare.h"

#include "common/exceptions.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace chronark;
  FindVersionString({Data, Size}, "FileVersion");

  static const int Fd = memfd_create("versionblock", 0);
  if (Fd >= 0 && ftruncate(Fd, 0) == 0 && pwrite(Fd, Data, Size, 0) == static_cast<ssize_t>(Size))
    ReadVersionString("/proc/self/fd/" + std::to_string(Fd), "FileVersion");

  const std::string Text(reinterpret_cast<const char*>(Data), Size);
  const size_t Split = Text.find('\n');
  try {
    relcheck::IsNewerVersion(Text.substr(0, Split),
                             Split == std::string::npos ? "" : Text.substr(Split + 1));
  } catch (const EConvertError&) {}
  return 0;
}
