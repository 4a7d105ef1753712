// The running program's version block and the temporary file of one update
// check: the Linux stand-ins for a program file's version resource and for
// the platform's unique temporary file names.
#pragma once

#include <string>

namespace chronark {

// Name of the ELF section that carries a program's version block.
inline constexpr const char* VersionSectionName = ".versioninfo";

// The string named Key (ASCII letter case ignored) of the first translation
// of the version block in the ELF file FileName. Empty when the file cannot
// be read, is no ELF file, has no version block, or the first translation has
// no such string. The value ends at its first NUL byte. Never throws.
std::string ReadVersionString(const std::string& FileName, const std::string& Key);

// $TMPDIR when set and not empty, else /tmp; always with a trailing '/'.
std::string GetTempPath();

// Creates a new, empty file GetTempPath() + "XYZ" + unique suffix + ".tmp",
// exclusively and with mode 0600, and returns its full path; empty when no
// such file could be created. Never throws.
std::string MakeTempFileName();

// Full path of the running process's executable, links resolved; empty when
// the system does not tell. After the program file was replaced or deleted
// (a package upgrade) this names no readable file any more ("... (deleted)").
std::string HostExecutableName();

// ReadVersionString of the running process's own executable, read through
// /proc/self/exe itself, which stays readable after the file was replaced.
std::string ReadRunningVersionString(const std::string& Key);

}  // namespace chronark
