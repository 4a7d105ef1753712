#pragma once
// Shared by the test libraries: appends one line per call to the file named by
// $CHRONARK_BINDING_RECORD, fields separated by tabs:
//   <export>\t<path of the library file>\t<field>=<value>...
// A short string is written as <length>:<characters>.

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace chronark::test {

inline std::string LibraryPath(const void* Address) {
  Dl_info Info{};
  if (dladdr(Address, &Info) && Info.dli_fname) return Info.dli_fname;
  return "?";
}

inline std::string ShortStringField(const char* Name, const unsigned char* S) {
  std::string Field = std::string("\t") + Name + "=";
  if (!S) return Field + "null";
  Field += std::to_string(unsigned(S[0])) + ":";
  Field.append(reinterpret_cast<const char*>(S + 1), S[0]);
  return Field;
}

inline std::string HandleField(const char* Name, uintptr_t Handle) {
  return std::string("\t") + Name + "=" + std::to_string(Handle);
}

inline void AppendRecord(const std::string& Line) {
  const char* FileName = std::getenv("CHRONARK_BINDING_RECORD");
  if (!FileName || !*FileName) return;
  if (std::FILE* F = std::fopen(FileName, "ab")) {
    std::fputs((Line + "\n").c_str(), F);
    std::fclose(F);
  }
}

// Window tests pass real handles and ask for them to be looked at.
inline bool InspectHandles() {
  const char* Flag = std::getenv("CHRONARK_BINDING_INSPECT");
  return Flag && *Flag == '1';
}

}  // namespace chronark::test
