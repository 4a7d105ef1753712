#include "platform/files/safefile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>

#include <csignal>

#include "common/exceptions.h"
#include "support/testfs.h"

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

ino_t Inode(const std::string& Name) {
  struct stat St;
  return ::stat(Name.c_str(), &St) == 0 ? St.st_ino : 0;
}

mode_t Mode(const std::string& Name) {
  struct stat St;
  return ::stat(Name.c_str(), &St) == 0 ? (St.st_mode & 07777) : 0;
}

int EntriesIn(const std::string& Dir) {
  int N = 0;
  if (DIR* D = ::opendir(Dir.c_str())) {
    while (dirent* E = ::readdir(D))
      if (std::string(E->d_name) != "." && std::string(E->d_name) != "..") ++N;
    ::closedir(D);
  }
  return N;
}

// Writes beyond Limit bytes fail with EFBIG while alive, as a full disk would.
class TFileSizeLimit {
public:
  explicit TFileSizeLimit(rlim_t Limit) {
    ::getrlimit(RLIMIT_FSIZE, &FOld);
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit L = FOld;
    L.rlim_cur = Limit;
    ::setrlimit(RLIMIT_FSIZE, &L);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &FOld);
    std::signal(SIGXFSZ, FOldHandler);
  }

private:
  rlimit FOld{};
  void (*FOldHandler)(int) = nullptr;
};

TEST(SafeFile, ReplacesContentsThroughANewFile) {
  TTempDir D;
  WriteFile(D / "a.crf", "old contents");
  const ino_t Before = Inode(D / "a.crf");
  SafeWriteFile(D / "a.crf", "new");
  EXPECT_EQ(ReadFile(D / "a.crf"), "new");
  EXPECT_NE(Inode(D / "a.crf"), Before);
  EXPECT_EQ(EntriesIn(D.Path()), 1) << "no temporary file stays behind";
}

TEST(SafeFile, CreatesAMissingFileWithTheUsualPermissions) {
  TTempDir D;
  const mode_t Old = ::umask(027);
  SafeWriteFile(D / "neu.crf", "x");
  ::umask(Old);
  EXPECT_EQ(ReadFile(D / "neu.crf"), "x");
  EXPECT_EQ(Mode(D / "neu.crf"), 0640u);
}

TEST(SafeFile, KeepsThePermissionsOfTheOldFile) {
  TTempDir D;
  WriteFile(D / "a.crf", "old");
  ::chmod((D / "a.crf").c_str(), 0604);
  SafeWriteFile(D / "a.crf", "new");
  EXPECT_EQ(Mode(D / "a.crf"), 0604u);
}

TEST(SafeFile, FollowsASymbolicLinkAndKeepsTheLink) {
  TTempDir D;
  ::mkdir((D / "real").c_str(), 0755);
  WriteFile(D / "real/target.crf", "old");
  ASSERT_EQ(::symlink("real/target.crf", (D / "hop").c_str()), 0);
  ASSERT_EQ(::symlink((D / "hop").c_str(), (D / "link.crf").c_str()), 0);
  SafeWriteFile(D / "link.crf", "new");
  struct stat St;
  ASSERT_EQ(::lstat((D / "link.crf").c_str(), &St), 0);
  EXPECT_TRUE(S_ISLNK(St.st_mode));
  EXPECT_EQ(ReadFile(D / "real/target.crf"), "new");
  EXPECT_EQ(EntriesIn(D / "real"), 1);
}

TEST(SafeFile, DanglingLinkCreatesItsTarget) {
  TTempDir D;
  ASSERT_EQ(::symlink("target.crf", (D / "link.crf").c_str()), 0);
  SafeWriteFile(D / "link.crf", "new");
  EXPECT_EQ(ReadFile(D / "target.crf"), "new");
}

TEST(SafeFile, FailedWriteLeavesTheOldFileUnchanged) {
  TTempDir D;
  WriteFile(D / "a.crf", "the only copy");
  {
    TFileSizeLimit Limit(100);
    EXPECT_THROW(SafeWriteFile(D / "a.crf", std::string(5000, 'x')), EInOutError);
  }
  EXPECT_EQ(ReadFile(D / "a.crf"), "the only copy");
  EXPECT_EQ(EntriesIn(D.Path()), 1);
}

TEST(SafeFile, WithoutCommitNothingChanges) {
  TTempDir D;
  WriteFile(D / "a.crf", "old");
  {
    TSafeFileWriter W(D / "a.crf");
    W.Write("new");
  }
  EXPECT_EQ(ReadFile(D / "a.crf"), "old");
  EXPECT_EQ(EntriesIn(D.Path()), 1);
}

TEST(SafeFile, ReadOnlyFolderWithWritableFileIsWrittenInPlace) {
  TTempDir D;
  ::mkdir((D / "ro").c_str(), 0755);
  WriteFile(D / "ro/a.crf", "old contents, longer");
  test::GiveToUser(D / "ro/a.crf");
  test::MakeFolderReadOnly(D / "ro");
  const ino_t Before = Inode(D / "ro/a.crf");
  {
    test::TAsUser User;
    TSafeFileWriter W(D / "ro/a.crf");
    EXPECT_TRUE(W.InPlace());
    W.Write("new");
    W.Commit();
  }
  EXPECT_EQ(ReadFile(D / "ro/a.crf"), "new");
  EXPECT_EQ(Inode(D / "ro/a.crf"), Before);
}

TEST(SafeFile, ReadOnlyFolderWithoutTheFileFailsNamingIt) {
  TTempDir D;
  ::mkdir((D / "ro").c_str(), 0755);
  test::MakeFolderReadOnly(D / "ro");
  test::TAsUser User;
  try {
    SafeWriteFile(D / "ro/a.crf", "x");
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()),
              "Cannot create file " + (D / "ro/a.crf") + ": Permission denied");
    EXPECT_EQ(E.ErrorCode(), EACCES);
  }
}

TEST(SafeFile, ReadOnlyFileStaysProtected) {
  TTempDir D;
  WriteFile(D / "a.crf", "old");
  test::GiveToUser(D / "a.crf");
  ::chmod((D / "a.crf").c_str(), 0444);
  test::TAsUser User;
  try {
    SafeWriteFile(D / "a.crf", "new");
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot create file " + (D / "a.crf") + ": Permission denied");
  }
  EXPECT_EQ(ReadFile(D / "a.crf"), "old");
  EXPECT_EQ(EntriesIn(D.Path()), 1);
}

TEST(SafeFile, APipeIsWrittenToNotReplaced) {
  TTempDir D;
  ASSERT_EQ(::mkfifo((D / "pipe").c_str(), 0644), 0);
  const int Reader = ::open((D / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(Reader, 0);
  SafeWriteFile(D / "pipe", "through");
  char Buf[16] = {};
  EXPECT_EQ(::read(Reader, Buf, sizeof Buf), 7);
  EXPECT_EQ(std::string(Buf), "through");
  ::close(Reader);
  struct stat St;
  ASSERT_EQ(::lstat((D / "pipe").c_str(), &St), 0);
  EXPECT_TRUE(S_ISFIFO(St.st_mode));
}

TEST(SafeFile, AFolderAsTargetIsAnError) {
  TTempDir D;
  ::mkdir((D / "sub").c_str(), 0755);
  EXPECT_THROW(SafeWriteFile(D / "sub", "x"), EInOutError);
}

TEST(SafeFile, AnEmptyNameCannotBeCreatedAndLeavesNothingBehind) {
  TTempDir D;
  char Was[4096];
  ASSERT_NE(::getcwd(Was, sizeof Was), nullptr);
  ASSERT_EQ(::chdir(D.Path().c_str()), 0);  // where a temporary file would land
  std::string Message;
  try {
    SafeWriteFile("", "x");
  } catch (const EInOutError& E) {
    Message = E.what();
  }
  const int Left = EntriesIn(D.Path());
  ASSERT_EQ(::chdir(Was), 0);
  EXPECT_EQ(Message, "Cannot create file : No such file or directory");
  EXPECT_EQ(Left, 0);
}

TEST(SafeFile, MissingFolderIsAnError) {
  TTempDir D;
  EXPECT_THROW(SafeWriteFile(D / "nope/a.crf", "x"), EInOutError);
}

// --- links planted by others, extended attributes ------------------------------

// Runs SafeWriteFile(Name, Data) in a child process as the user nobody (the
// tests run as root, which the link protection does not stop); the error
// text, or "" when the write succeeded.
std::string WriteAsNobody(const std::string& Name, const std::string& Data) {
  int Pipe[2];
  if (::pipe(Pipe) != 0) return "pipe";
  const pid_t Child = ::fork();
  if (Child == 0) {
    ::close(Pipe[0]);
    std::string Result;
    if (::setgroups(0, nullptr) != 0 ||
        ::setresgid(test::NobodyId, test::NobodyId, test::NobodyId) != 0 ||
        ::setresuid(test::NobodyId, test::NobodyId, test::NobodyId) != 0) {
      Result = "cannot switch user";
    } else {
      try {
        SafeWriteFile(Name, Data);
      } catch (const std::exception& E) {
        Result = E.what();
      }
    }
    (void)!::write(Pipe[1], Result.data(), Result.size());
    ::_exit(0);
  }
  ::close(Pipe[1]);
  std::string Result;
  char Buf[512];
  for (ssize_t N; (N = ::read(Pipe[0], Buf, sizeof Buf)) > 0;) Result.append(Buf, size_t(N));
  ::close(Pipe[0]);
  int Status = 0;
  ::waitpid(Child, &Status, 0);
  return Result;
}

struct TPlantedLinkCase {
  const char* Name;
  mode_t FolderMode;  // of the root-owned folder holding the link
  uid_t LinkOwner;
  bool Followed;
};

void PrintTo(const TPlantedLinkCase& Case, std::ostream* Out) { *Out << Case.Name; }

class PlantedLink : public ::testing::TestWithParam<TPlantedLinkCase> {};

// The victim (nobody) owns the file the link names; the link lies in a
// shared folder owned by root.
TEST_P(PlantedLink, IsFollowedOnlyWhereTheKernelWould) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a link of another user";
  const TPlantedLinkCase& Case = GetParam();
  TTempDir Dir;
  const std::string Own = Dir / "own", Shared = Dir / "shared";
  ASSERT_EQ(::mkdir(Own.c_str(), 0755), 0);
  ASSERT_EQ(::chown(Own.c_str(), test::NobodyId, test::NobodyId), 0);
  ASSERT_EQ(::mkdir(Shared.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Shared.c_str(), Case.FolderMode), 0);
  const std::string Secret = Own + "/secret", Link = Shared + "/report.htm";
  WriteFile(Secret, "secret");
  test::GiveToUser(Secret);
  ASSERT_EQ(::symlink(Secret.c_str(), Link.c_str()), 0);
  ASSERT_EQ(::lchown(Link.c_str(), Case.LinkOwner, Case.LinkOwner), 0);

  const std::string Error = WriteAsNobody(Link, "report");
  if (Case.Followed) {
    EXPECT_EQ(Error, "");
    EXPECT_EQ(ReadFile(Secret), "report");
  } else {
    EXPECT_EQ(Error, "Cannot create file " + Link + ": Permission denied");
    EXPECT_EQ(ReadFile(Secret), "secret");
    EXPECT_EQ(EntriesIn(Own), 1);
    EXPECT_EQ(EntriesIn(Shared), 1);
  }
}

constexpr uid_t Stranger = 4242;

INSTANTIATE_TEST_SUITE_P(
    SafeFile, PlantedLink,
    ::testing::Values(
        TPlantedLinkCase{"StrangersLinkInStickySharedFolder", 01777, Stranger, false},
        TPlantedLinkCase{"OwnLinkInStickySharedFolder", 01777, test::NobodyId, true},
        TPlantedLinkCase{"FolderOwnersLinkInStickySharedFolder", 01777, 0, true},
        TPlantedLinkCase{"StrangersLinkInSharedFolderWithoutStickyBit", 0777, Stranger, true},
        TPlantedLinkCase{"StrangersLinkInStickyFolderOthersMayNotWrite", 01775, Stranger, true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

std::string Attribute(const std::string& Name, const char* Key) {
  char Buf[4096];
  const ssize_t N = ::getxattr(Name.c_str(), Key, Buf, sizeof Buf);
  return N < 0 ? std::string("(none)") : std::string(Buf, size_t(N));
}

TEST(SafeFile, KeepsExtendedAttributesAndTheAccessControlList) {
  TTempDir Dir;
  const std::string Name = Dir / "p.crf";
  WriteFile(Name, "old");
  ::chmod(Name.c_str(), 0640);
  if (::setxattr(Name.c_str(), "user.chronark.note", "kept", 4, 0) != 0)
    GTEST_SKIP() << "no user attributes on this filesystem";
  const std::string SetAcl = "setfacl -m u:nobody:r,m::r '" + Name + "' 2>/dev/null";
  ASSERT_EQ(std::system(SetAcl.c_str()), 0) << "setfacl (package acl) is needed";
  const std::string Acl = Attribute(Name, "system.posix_acl_access");
  ASSERT_NE(Acl, "(none)");
  const mode_t Before = Mode(Name);
  EXPECT_EQ(Before, 0640u);  // the mask r shows as group bits

  SafeWriteFile(Name, "new");
  EXPECT_EQ(ReadFile(Name), "new");
  EXPECT_EQ(Attribute(Name, "user.chronark.note"), "kept");
  EXPECT_EQ(Attribute(Name, "system.posix_acl_access"), Acl);
  EXPECT_EQ(Mode(Name), Before) << "the group must not gain what the mask withheld";
}

// A loop, or a chain longer than the kernel follows, is refused as the
// kernel refuses it; no link on the way is replaced.
TEST(SafeFile, LinkLoopsAndOverlongChainsAreRefusedWithoutTouchingALink) {
  TTempDir D;
  ASSERT_EQ(::symlink("b", (D / "a").c_str()), 0);
  ASSERT_EQ(::symlink("a", (D / "b").c_str()), 0);
  try {
    SafeWriteFile(D / "a", "x");
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()),
              "Cannot create file " + D / "a" + ": Too many levels of symbolic links");
  }
  for (int I = 0; I < 45; ++I)
    ASSERT_EQ(
        ::symlink(("c" + std::to_string(I + 1)).c_str(), (D / ("c" + std::to_string(I))).c_str()),
        0);
  EXPECT_THROW(SafeWriteFile(D / "c0", "x"), EInOutError);
  char Target[64] = {};
  ASSERT_GT(::readlink((D / "c20").c_str(), Target, sizeof Target - 1), 0);
  EXPECT_STREQ(Target, "c21");
  ASSERT_GT(::readlink((D / "a").c_str(), Target, sizeof Target - 1), 0);
  EXPECT_EQ(Target[0], 'b');
}

// Temporary files of a killed writer go at the next save into their folder,
// once they are an hour old; nothing else there is touched.
TEST(SafeFile, StaleTemporaryFilesAreRemovedByTheNextSave) {
  TTempDir D;
  const std::string Old = D / ".woche.crf.Ab12Cd.chronark-tmp";
  const std::string Fresh = D / ".woche.crf.Xy34Zw.chronark-tmp";
  const std::string Foreign = D / ".vimrc.backup";
  const std::string OtherTarget = D / ".export.htm.Qq99Rr.chronark-tmp";
  for (const std::string& Name : {Old, Fresh, Foreign, OtherTarget}) WriteFile(Name, "x");
  const timespec Past[2] = {{std::time(nullptr) - 2 * 3600, 0}, {std::time(nullptr) - 2 * 3600, 0}};
  for (const std::string& Name : {Old, Foreign, OtherTarget})
    ASSERT_EQ(::utimensat(AT_FDCWD, Name.c_str(), Past, 0), 0);
  SafeWriteFile(D / "woche.crf", "neu");
  EXPECT_NE(::access(Old.c_str(), F_OK), 0);
  EXPECT_NE(::access(OtherTarget.c_str(), F_OK), 0);
  EXPECT_EQ(::access(Fresh.c_str(), F_OK), 0);
  EXPECT_EQ(::access(Foreign.c_str(), F_OK), 0);
  EXPECT_EQ(ReadFile(D / "woche.crf"), "neu");
}

}  // namespace
}  // namespace chronark
