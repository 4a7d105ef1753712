// Saving at every change: when a recorded interval may only be appended, and
// when the whole file is written again; project files that are no files.
#include "core/projectstore.h"

#include "common/exceptions.h"
#include "support/testfs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

ino_t Inode(const std::string& Name) {
  struct stat St;
  return ::stat(Name.c_str(), &St) == 0 ? St.st_ino : 0;
}

// What a full save of Manager writes.
std::string Saved(const TChronarkMan& Manager, const TTempDir& Dir) {
  Manager.SaveToFile(Dir / "reference.crf");
  return ReadFile(Dir / "reference.crf");
}

class ProjectStoreTest : public testing::Test {
protected:
  void SetUp() override {
    for (int I = 0; I < 3; ++I) Manager.AddEntry(46000 + I, 46000.25 + I, "alt");
    Manager.SaveToFile(Name);
  }
  TTempDir Dir;
  std::string Name = Dir / "woche.crf";
  TChronarkMan Manager;
  TProjectStore Store;
};

TEST_F(ProjectStoreTest, ARecordedIntervalIsAppendedToTheKnownFile) {
  Store.Load(Manager, Name);
  EXPECT_TRUE(Store.Knows(Name, 3));
  const ino_t Before = Inode(Name);
  Manager.AddEntry(46010, 46010.5, "");
  Store.SaveAdded(Manager, Name);
  EXPECT_EQ(Inode(Name), Before) << "appended in place, not rewritten";
  EXPECT_EQ(ReadFile(Name), Saved(Manager, Dir));
  EXPECT_TRUE(Store.Knows(Name, 4));
  Manager.AddEntry(46011, 46011.5, "");
  Store.SaveAdded(Manager, Name);
  EXPECT_EQ(Inode(Name), Before);
  EXPECT_EQ(ReadFile(Name).size(), 5 * CREntrySize);
}

// Anything but the file as the store left it is rewritten whole: a file
// changed behind its back, a trailing partial record, a project that was
// never written, a file of another name.
TEST_F(ProjectStoreTest, AFileNotExactlyAsRememberedIsRewritten) {
  Store.Load(Manager, Name);
  WriteFile(Name, ReadFile(Name) + std::string(CREntrySize, 'x'));
  Manager.AddEntry(46010, 46010.5, "");
  Store.SaveAdded(Manager, Name);
  EXPECT_EQ(ReadFile(Name), Saved(Manager, Dir));

  WriteFile(Name, ReadFile(Name) + "tail");
  Store.Load(Manager, Name);
  EXPECT_FALSE(Store.Knows(Name, Manager.Entries().size()));
  Manager.AddEntry(46020, 46020.5, "");
  Store.SaveAdded(Manager, Name);
  EXPECT_EQ(ReadFile(Name), Saved(Manager, Dir)) << "the partial record is gone";

  Store.Forget();
  Manager.AddEntry(46030, 46030.5, "");
  const ino_t Before = Inode(Name);
  Store.SaveAdded(Manager, Name);
  EXPECT_NE(Inode(Name), Before);
  EXPECT_EQ(ReadFile(Name), Saved(Manager, Dir));

  Manager.AddEntry(46040, 46040.5, "");
  Store.SaveAdded(Manager, Dir / "anders.crf");
  EXPECT_EQ(ReadFile(Dir / "anders.crf"), Saved(Manager, Dir));
}

TEST_F(ProjectStoreTest, AFailedSaveLeavesNothingKnown) {
  Store.Load(Manager, Name);
  ASSERT_EQ(::mkdir((Dir / "weg").c_str(), 0755), 0);
  EXPECT_THROW(Store.Save(Manager, Dir / "weg/nicht/da.crf"), EInOutError);
  EXPECT_FALSE(Store.Knows(Name, 3));
}

// A pipe, a device or a folder is refused at once: the load never waits for
// a writer at the other end of a pipe, and no save writes into one.
TEST(ProjectFileKinds, NonRegularFilesAreRefusedAtOnce) {
  TTempDir Dir;
  ASSERT_EQ(::mkfifo((Dir / "pipe.crf").c_str(), 0600), 0);
  TChronarkMan Manager;
  auto Load = std::async(std::launch::async, [&] {
    try {
      Manager.LoadFromFile(Dir / "pipe.crf");
    } catch (const EInOutError& E) {
      return std::string(E.what());
    }
    return std::string("loaded");
  });
  ASSERT_EQ(Load.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the load waits on the pipe";
  EXPECT_EQ(Load.get(), "Cannot open file " + Dir / "pipe.crf" + ": Not a regular file");
  EXPECT_THROW(Manager.LoadFromFile("/dev/null"), EInOutError);
  EXPECT_THROW(Manager.LoadFromFile(Dir.Path()), EInOutError);
  Manager.AddEntry(46000, 46000.5, "");
  try {
    Manager.SaveToFile("/dev/null");
    FAIL() << "saved into a device";
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot create file /dev/null: Not a regular file");
  }
}

}  // namespace
}  // namespace chronark
