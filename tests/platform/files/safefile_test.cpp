#include "platform/files/safefile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <dirent.h>
#include <fcntl.h>

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

}  // namespace
}  // namespace chronark
