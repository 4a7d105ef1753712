#include "platform/files/projectlock.h"

#include "platform/files/paths.h"
#include "support/testfs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace chronark {
namespace {

using test::TTempDir;
using test::WriteFile;

// Each test gets a runtime folder of its own.
class ProjectLockTest : public testing::Test {
protected:
  void SetUp() override {
    ::mkdir(Dir.Path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", (Dir / "run").c_str(), 1);
    ::mkdir((Dir / "run").c_str(), 0700);
    WriteFile(Dir / "woche.crf", "");
  }
  TTempDir Dir;
};

TEST_F(ProjectLockTest, AWriterIsRefusedWhileTheProgramHoldsTheProject) {
  TProjectLock Program = TProjectLock::ForProgram(Dir / "woche.crf");
  EXPECT_TRUE(Program.Held());
  try {
    TProjectLock::ForWriting(Dir / "woche.crf");
    FAIL() << "no refusal";
  } catch (const EProjectOpen& Error) {
    EXPECT_NE(std::string(Error.what()).find("\"" + Dir / "woche.crf" + "\""), std::string::npos);
    EXPECT_NE(std::string(Error.what()).find("in Chronark geöffnet"), std::string::npos)
        << Error.what();
  }
  Program.Release();
  EXPECT_TRUE(TProjectLock::ForWriting(Dir / "woche.crf").Held());
}

TEST_F(ProjectLockTest, ASecondProgramIsRefusedUntilTheFirstLetsGo) {
  TProjectLock First = TProjectLock::ForProgram(Dir / "woche.crf");
  EXPECT_THROW(TProjectLock::ForProgram(Dir / "woche.crf"), EProjectOpen);
  TProjectLock Moved = std::move(First);
  EXPECT_FALSE(First.Held());
  EXPECT_THROW(TProjectLock::ForProgram(Dir / "woche.crf"), EProjectOpen);
  Moved.Release();
  EXPECT_TRUE(TProjectLock::ForProgram(Dir / "woche.crf").Held());
}

TEST_F(ProjectLockTest, EveryNameOfOneFileMeetsTheSameLock) {
  ::mkdir((Dir / "sub").c_str(), 0755);
  ASSERT_EQ(::symlink((Dir / "woche.crf").c_str(), (Dir / "link.crf").c_str()), 0);
  TProjectLock Program = TProjectLock::ForProgram(Dir / "woche.crf");
  EXPECT_THROW(TProjectLock::ForWriting(Dir / "link.crf"), EProjectOpen);
  EXPECT_THROW(TProjectLock::ForWriting(Dir / "sub/../woche.crf"), EProjectOpen);
  char Previous[4096];
  ASSERT_NE(::getcwd(Previous, sizeof Previous), nullptr);
  ASSERT_EQ(::chdir(Dir.Path().c_str()), 0);
  EXPECT_THROW(TProjectLock::ForWriting("woche.crf"), EProjectOpen);
  ASSERT_EQ(::chdir(Previous), 0);
  // A file still to be created is keyed by where it will be.
  TProjectLock New = TProjectLock::ForProgram(Dir / "sub/neu.crf");
  EXPECT_THROW(TProjectLock::ForWriting(Dir / "sub/../sub/neu.crf"), EProjectOpen);
  EXPECT_EQ(ProjectRealPath(Dir / "sub/../sub/neu.crf"), ProjectRealPath(Dir / "sub/neu.crf"));
  EXPECT_NE(TProjectLock::LockFileName(Dir / "woche.crf"),
            TProjectLock::LockFileName(Dir / "sub/neu.crf"));
}

TEST_F(ProjectLockTest, WritersInOtherProcessesWaitForEachOther) {
  // The child is made before the lock: a forked copy of the descriptor
  // would hold the parent's lock on.
  int Go[2];
  ASSERT_EQ(::pipe(Go), 0);
  const pid_t Child = ::fork();
  if (Child == 0) {
    char Byte;
    (void)!::read(Go[0], &Byte, 1);
    // Waits until the parent has let go, then notes its turn.
    TProjectLock Second = TProjectLock::ForWriting(Dir / "woche.crf");
    WriteFile(Dir / "order", test::ReadFile(Dir / "order") + "child");
    ::_exit(0);
  }
  TProjectLock Writer = TProjectLock::ForWriting(Dir / "woche.crf");
  (void)!::write(Go[1], "x", 1);
  ::usleep(200 * 1000);
  WriteFile(Dir / "order", "parent,");
  Writer.Release();
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  EXPECT_EQ(test::ReadFile(Dir / "order"), "parent,child");
}

TEST_F(ProjectLockTest, WithoutARuntimeFolderAPrivateFolderInTmpIsUsed) {
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", Dir.Path().c_str(), 1);
  const std::string Folder = LockFolder();
  ::unsetenv("TMPDIR");
  EXPECT_EQ(Folder, Dir.Path() + "/chronark-" + std::to_string(::geteuid()) + "/");
  struct stat St;
  ASSERT_EQ(::stat(Folder.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0700u);
}

TEST_F(ProjectLockTest, ALockFolderOthersMayWriteIsRefused) {
  ::mkdir((Dir / "run/chronark").c_str(), 0777);
  ::chmod((Dir / "run/chronark").c_str(), 0777);
  EXPECT_THROW(TProjectLock::ForProgram(Dir / "woche.crf"), EInOutError);
}

TEST(HomeFolder, ComesFromThePasswordDatabaseWithoutHome) {
  const std::string Saved = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/somewhere", 1);
  EXPECT_EQ(HomeFolder(), "/somewhere");
  ::unsetenv("HOME");
  const std::string Home = HomeFolder();
  ::setenv("HOME", Saved.c_str(), 1);
  EXPECT_FALSE(Home.empty());
  struct stat St;
  EXPECT_EQ(::stat(Home.c_str(), &St), 0) << Home;
}

}  // namespace
}  // namespace chronark
