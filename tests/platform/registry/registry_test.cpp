#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "support/testfs.h"

namespace chronark::platform {
namespace {

const std::string MakerPaths = "Software\\Tolvane Software\\Paths";

// Each test reads a registry file of its own in a fresh folder.
class RegistryStandIn : public ::testing::Test {
protected:
  void WriteRegistry(const std::string& Text) const { test::WriteFile(FFile, Text); }

  test::TTempDir FDir;
  const std::string FFile = FDir / "HKEY_LOCAL_MACHINE.ini";
  test::TScopedEnv FEnv{"REGISTRY_HKLM_FILE", FFile.c_str()};
};

TEST_F(RegistryStandIn, ValueOfOtherTypeFailsToReadAsString) {
  WriteRegistry("[" + MakerPaths +
                "]\nTVCommonFiles=dword:0000002a\nBlob=hex:01,02\nText=\"dword:0000002a\"\n");
  TRegistry Registry;
  ASSERT_TRUE(Registry.OpenKeyReadOnly(MakerPaths));
  EXPECT_TRUE(Registry.ValueExists("TVCommonFiles"));
  try {
    Registry.ReadString("TVCommonFiles");
    FAIL() << "no error";
  } catch (const ERegistryException& E) {
    EXPECT_STREQ(E.what(), "Invalid data type for 'TVCommonFiles'");
  }
  EXPECT_THROW(Registry.ReadString("Blob"), ERegistryException);
  EXPECT_EQ(Registry.ReadString("Text"), "dword:0000002a");
}

TEST_F(RegistryStandIn, KeysAreNeverCreatedAndTheFileNeverWritten) {
  WriteRegistry("; maker key absent\n");
  ASSERT_EQ(chmod(FFile.c_str(), 0444), 0);
  TRegistry Registry;
  EXPECT_FALSE(Registry.OpenKey(MakerPaths, true));
  EXPECT_FALSE(Registry.OpenKey(MakerPaths + "\\Sub", true));
  EXPECT_EQ(test::ReadFile(FFile), "; maker key absent\n");
}

TEST_F(RegistryStandIn, FileThatIsNoRegularFileIsAnEmptyStore) {
  ASSERT_EQ(mkfifo(FFile.c_str(), 0600), 0);  // reading it would block
  TRegistry Registry;
  EXPECT_FALSE(Registry.OpenKeyReadOnly(MakerPaths));
  ASSERT_TRUE(Registry.OpenKeyReadOnly("Software\\Microsoft\\Windows\\CurrentVersion"));
  EXPECT_EQ(Registry.ReadString("CommonFilesDir"), "/usr/lib");
}

TEST_F(RegistryStandIn, SubKeyIsASectionOfItsOwn) {
  WriteRegistry("[" + MakerPaths + "\\Sub]\nA=1\n");
  TRegistry Registry;
  EXPECT_FALSE(Registry.OpenKeyReadOnly(MakerPaths));
  ASSERT_TRUE(Registry.OpenKeyReadOnly("\\" + MakerPaths + "\\Sub\\"));
  EXPECT_EQ(Registry.ReadString("A"), "1");
  EXPECT_EQ(Registry.ReadString("Missing"), "");
}

// The store is read once into an index; the index keeps the file's rules:
// a repeated section adds to the first, the first value of a name wins.
TEST_F(RegistryStandIn, IndexKeepsTheFirstMatchAndSeesAChangedFile) {
  WriteRegistry("[Software\\A]\nx=1\n[software\\a\\]\nX=2\ny=3\n[B]\nx=4\n");
  TRegistry Registry;
  ASSERT_TRUE(Registry.OpenKey("\\SOFTWARE\\a", false));
  EXPECT_EQ(Registry.ReadString("x"), "1");
  EXPECT_EQ(Registry.ReadString("Y"), "3");
  ASSERT_TRUE(Registry.OpenKey("b", false));
  EXPECT_EQ(Registry.ReadString("x"), "4");
  WriteRegistry("[B]\nx=5\n");  // rewritten while the program runs
  TRegistry Later;
  ASSERT_TRUE(Later.OpenKey("B", false));
  EXPECT_EQ(Later.ReadString("x"), "5");
  EXPECT_FALSE(Later.OpenKey("Software\\A", false));
  EXPECT_EQ(Registry.ReadString("x"), "4");  // an open key keeps the store it came from
}

}  // namespace
}  // namespace chronark::platform
