// Replaces its own program file (rename FROM TO) or deletes it (one
// argument), as a package upgrade does while the program runs, then prints
// the version the update check would show.
#include "platform/version/version.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (argc == 3 && std::rename(argv[1], argv[2]) != 0) return 2;
  if (argc == 2 && std::remove(argv[1]) != 0) return 2;
  std::fputs(chronark::ReadRunningVersionString("FileVersion").c_str(), stdout);
  return 0;
}
