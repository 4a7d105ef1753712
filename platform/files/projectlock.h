// One writer per project: advisory locks on a lock file of the project.
//
// The lock file lives in $XDG_RUNTIME_DIR/chronark/ (else a private folder
// /tmp/chronark-<uid>/), named after a hash of the project's real path, so
// every name of one file (links, "..", relative paths) meets the same lock.
// Two byte-range locks of the open file description (F_OFD_SETLK) are used:
//   byte 0, "open":  held by the program for as long as it has the project open;
//   byte 1, "write": held by a writer for the time of one write.
// The program takes byte 0, then waits once for byte 1, so that a write in
// progress ends before the program reads the file. A writing command takes
// byte 1 (waiting for other writers: they serialise) and then refuses when
// byte 0 is held. Readers take no lock.
//
// Use in a writing command, one line before the load:
//   const TProjectLock Lock = TProjectLock::ForWriting(FileName);
// It throws EProjectOpen (German text naming the project) while the program
// has the project open; the write is serialised with other writers until
// Lock goes out of scope.
#pragma once

#include "common/exceptions.h"

#include <string>

namespace chronark {

// The project is open in the program (for a writer), or in another
// instance of it (for the program).
class EProjectOpen : public EInOutError {
public:
  using EInOutError::EInOutError;
};

class TProjectLock {
public:
  TProjectLock() = default;
  ~TProjectLock();
  TProjectLock(TProjectLock&& Other) noexcept;
  TProjectLock& operator=(TProjectLock&& Other) noexcept;
  TProjectLock(const TProjectLock&) = delete;
  TProjectLock& operator=(const TProjectLock&) = delete;

  // For a writing command: see above. Throws EProjectOpen, or EInOutError
  // when the lock file cannot be made.
  static TProjectLock ForWriting(const std::string& FileName);
  // For the program, held while the project is open. Throws EProjectOpen
  // when another instance has it open.
  static TProjectLock ForProgram(const std::string& FileName);

  bool Held() const { return FFd >= 0; }
  void Release() noexcept;
  // Where the running instance that holds the project listens for another
  // one (a local socket path beside the lock file).
  const std::string& SocketName() const { return FSocketName; }

  // The lock file of a project (also for tests and the documentation).
  static std::string LockFileName(const std::string& FileName);
  static std::string SocketNameFor(const std::string& FileName);

private:
  explicit TProjectLock(int Fd, std::string SocketName) : FFd(Fd), FSocketName(SocketName) {}
  int FFd = -1;
  std::string FSocketName;
};

// The project's real path: links and ".." resolved; for a file that does
// not exist yet, its folder's real path and its name.
std::string ProjectRealPath(const std::string& FileName);

// A 64-bit FNV-1a hash as 16 hex digits: names derived from a project's path.
std::string PathKey(const std::string& RealPath);

// The folder of the lock files, created (0700) when missing; with a trailing '/'.
std::string LockFolder();

}  // namespace chronark
