// Test helpers: a temporary folder per test, whole-file reads and writes,
// and running a step as an unprivileged user (tests often run as root,
// which no permission bit stops).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace chronark::test {

// The tests expect Berlin time and the C locale also when run by hand
// (ctest sets the same); children such as chronark-cli inherit them.
inline const bool PinnedEnvironment = [] {
  ::setenv("TZ", "Europe/Berlin", 1);
  ::setenv("LC_ALL", "C.UTF-8", 1);
  ::tzset();
  return true;
}();

// A fresh folder under $TMPDIR (else /tmp), removed with all it holds.
class TTempDir {
public:
  TTempDir() {
    const char* Base = std::getenv("TMPDIR");
    std::string T = std::string(Base && *Base ? Base : "/tmp") + "/chronark-test-XXXXXX";
    if (!::mkdtemp(T.data())) std::abort();
    ::chmod(T.c_str(), 0777);  // the unprivileged user may work here too
    FPath = T + "/";
  }
  ~TTempDir() {
    const std::string Cmd = "chmod -R u+rwx '" + FPath + "' 2>/dev/null; rm -rf '" + FPath + "'";
    (void)!std::system(Cmd.c_str());
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  // The folder with a trailing '/'; Folder() without.
  const std::string& Path() const { return FPath; }
  std::string Folder() const { return FPath.substr(0, FPath.size() - 1); }
  std::string operator/(const std::string& Name) const { return FPath + Name; }
  // The names of what the folder holds, "." and ".." left out.
  std::vector<std::string> Entries() const {
    std::vector<std::string> Names;
    if (DIR* Dir = ::opendir(FPath.c_str())) {
      while (const dirent* Entry = ::readdir(Dir))
        if (std::string(Entry->d_name) != "." && std::string(Entry->d_name) != "..")
          Names.push_back(Entry->d_name);
      ::closedir(Dir);
    }
    return Names;
  }

private:
  std::string FPath;
};

// Sets (or, for a null Value, removes) an environment variable while alive.
class TScopedEnv {
public:
  TScopedEnv(const char* Name, const char* Value) : FName(Name) {
    if (const char* Old = std::getenv(Name)) FOld = Old, FHadOld = true;
    Value ? ::setenv(Name, Value, 1) : ::unsetenv(Name);
  }
  ~TScopedEnv() { FHadOld ? ::setenv(FName.c_str(), FOld.c_str(), 1) : ::unsetenv(FName.c_str()); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
  std::string FName, FOld;
  bool FHadOld{false};
};

inline std::string ReadFile(const std::string& Name) {
  std::ifstream F(Name, std::ios::binary);
  std::ostringstream S;
  S << F.rdbuf();
  return S.str();
}

inline void WriteFile(const std::string& Name, const std::string& Data) {
  std::ofstream F(Name, std::ios::binary | std::ios::trunc);
  F.write(Data.data(), std::streamsize(Data.size()));
}

inline bool Exists(const std::string& Name) {
  struct stat St;
  return ::lstat(Name.c_str(), &St) == 0;
}

// The user that test files are handed to when the tests run as root.
constexpr uid_t NobodyId = 65534;

// While alive, file access is checked as an ordinary user: as root the
// effective ids change to nobody's; otherwise nothing changes.
class TAsUser {
public:
  TAsUser() {
    if (::geteuid() == 0) {
      FWasRoot = ::setegid(NobodyId) == 0 && ::seteuid(NobodyId) == 0;
    }
  }
  ~TAsUser() {
    if (FWasRoot) {
      (void)!::seteuid(0);
      (void)!::setegid(0);
    }
  }
  TAsUser(const TAsUser&) = delete;
  TAsUser& operator=(const TAsUser&) = delete;

private:
  bool FWasRoot = false;
};

// Makes a file belong to the user TAsUser switches to (no-op unless root).
inline void GiveToUser(const std::string& Name) {
  if (::geteuid() == 0) (void)!::chown(Name.c_str(), NobodyId, NobodyId);
}

// A folder the user may not write in: root-owned 0755 as root, else 0555.
inline void MakeFolderReadOnly(const std::string& Dir) {
  if (::geteuid() == 0) {
    (void)!::chown(Dir.c_str(), 0, 0);
    ::chmod(Dir.c_str(), 0755);
  } else {
    ::chmod(Dir.c_str(), 0555);
  }
}

}  // namespace chronark::test
