#include "relcheck/check.h"

#include "common/exceptions.h"
#include "support/testfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace chronark::relcheck {
namespace {

class TFakeFetcher : public TDocumentFetcher {
public:
  std::function<void(std::string&)> Respond;
  std::string URL, Agent;
  void Get(const std::string& U, std::string_view A, std::string& Document) override {
    URL = U;
    Agent = A;
    Respond(Document);
  }
};

class TRecordingView : public TCheckView {
public:
  std::vector<std::string> Statuses;
  std::vector<TPublishedVersion> Newer;
  void ShowStatus(std::string_view Text) override { Statuses.emplace_back(Text); }
  void ShowNewerVersion(const TPublishedVersion& P) override { Newer.push_back(P); }
};

// Every check runs with its own temporary folder, which must be empty again
// afterwards, whatever the outcome.
class VersionCheck : public testing::Test {
protected:
  void TearDown() override { EXPECT_TRUE(FDir.Entries().empty()); }

  void Run(std::string Document, const std::string& Current = "1.0.2002.624") {
    Http.Respond = [Document](std::string& Out) { Out = Document; };
    RunVersionCheck(Http, {"http://127.0.0.1:1/software/version.txt", "chronark", Current}, View,
                    TempFileName);
  }

  test::TTempDir FDir;
  const std::string FFolder = FDir.Folder();
  test::TScopedEnv FTmpDir{"TMPDIR", FFolder.c_str()};
  std::string TempFileName;
  TFakeFetcher Http;
  TRecordingView View;
};

TEST_F(VersionCheck, NewerVersionWithEverything) {
  Run("[other]\r\nVersion=9.9.9.9\r\n[Chronark]\r\nVersion=1.0.2002.625\r\nName=Chronark 2\r\n"
      "Download=\"http://example.test/c.zip\"\r\nHomepage= http://example.test/ \r\n");
  ASSERT_EQ(View.Newer.size(), 1u);
  EXPECT_EQ(View.Newer[0].Version, "1.0.2002.625");
  EXPECT_EQ(View.Newer[0].Name, "Chronark 2");
  EXPECT_EQ(View.Newer[0].Download, "http://example.test/c.zip");
  EXPECT_EQ(View.Newer[0].Homepage, "http://example.test/");
  EXPECT_EQ(View.Statuses,
            (std::vector<std::string>{std::string(StatusReceiving), std::string(StatusEvaluating),
                                      std::string(StatusNewer)}));
  EXPECT_EQ(Http.Agent, "Online Relcheck");
  EXPECT_EQ(Http.URL, "http://127.0.0.1:1/software/version.txt");
  EXPECT_EQ(TempFileName.substr(0, FFolder.size() + 4), FFolder + "/XYZ");
}

TEST_F(VersionCheck, NewerVersionAlone) {
  Run("[chronark]\nVersion=2\n");
  ASSERT_EQ(View.Newer.size(), 1u);
  EXPECT_EQ(View.Newer[0].Version, "2");
  EXPECT_EQ(View.Newer[0].Name, "");
  EXPECT_EQ(View.Newer[0].Download, "");
  EXPECT_EQ(View.Newer[0].Homepage, "");
  EXPECT_EQ(View.Statuses.back(), StatusNewer);
}

// The INI reader cuts values at 2047 characters; a cut address would be
// another address than the one published, so it is not offered at all.
TEST_F(VersionCheck, AddressLongerThanTheReadersLimitIsRefused) {
  const std::string Fits = "http://example.test/" + std::string(2047 - 20, 'a');
  const std::string TooLong = "http://example.test/" + std::string(2048 - 20, 'b');
  Run("[chronark]\nVersion=2\nName=" + TooLong + "\nDownload=" + TooLong + "\nHomepage=" + Fits +
      "\n");
  ASSERT_EQ(View.Newer.size(), 1u);
  EXPECT_EQ(View.Newer[0].Download, "");
  EXPECT_EQ(View.Newer[0].Homepage, Fits);
  EXPECT_EQ(View.Newer[0].Name.size(), 2047u);  // a name is only shown
  EXPECT_EQ(View.Statuses.back(), StatusNewer);
}

TEST_F(VersionCheck, NotNewerShowsNothingButTheStatus) {
  const char* Documents[] = {"[chronark]\nVersion=1.0.2002.624\nName=x\nDownload=http://a/\n",
                             "[chronark]\nVersion=1.0.2002.623\n",
                             "[chronark]\nName=no version\n",
                             "[other]\nVersion=5.0.0.0\n",
                             "",
                             "<html><body>Not here</body></html>"};
  for (const char* Document : Documents) {
    View = {};
    Run(Document);
    EXPECT_TRUE(View.Newer.empty()) << Document;
    EXPECT_EQ(View.Statuses.back(), "Kein Update verf\xFCgbar") << Document;
  }
}

TEST_F(VersionCheck, ConversionErrorsEndInTheErrorStatus) {
  Run("[chronark]\nVersion=1.0.2002\n");
  EXPECT_EQ(View.Statuses.back(), "Fehler: \"'' is not a valid integer value\"");
  View = {};
  Run("[chronark]\nVersion=1.0.0.0\n", "");
  EXPECT_EQ(View.Statuses.back(), "Fehler: \"'' is not a valid integer value\"");
  EXPECT_TRUE(View.Newer.empty());
}

TEST_F(VersionCheck, FetchFailureKeepsTheMessageAndRemovesTheFile) {
  Http.Respond = [this](std::string&) {
    struct stat Info {};
    EXPECT_EQ(::stat(TempFileName.c_str(), &Info), 0)
        << "the temporary file exists during the request";
    throw Exception("Not Found");
  };
  RunVersionCheck(Http, {"http://x/", "chronark", "1.0.0.0"}, View, TempFileName);
  EXPECT_EQ(View.Statuses,
            (std::vector<std::string>{std::string(StatusReceiving), "Fehler: \"Not Found\""}));
}

TEST_F(VersionCheck, OversizedDocumentIsNotKept) {
  Run("[chronark]\nVersion=9\n" + std::string(MaxVersionDocumentSize, ';'));
  EXPECT_EQ(View.Statuses.back(), ErrorStatus(DocumentTooLargeMessage));
  EXPECT_TRUE(View.Newer.empty());
}

TEST_F(VersionCheck, MissingTemporaryFolderFailsTheWrite) {
  ::setenv("TMPDIR", (FFolder + "/missing").c_str(), 1);
  Run("[chronark]\nVersion=9\n");
  EXPECT_EQ(TempFileName, "");
  EXPECT_EQ(View.Statuses.back(), "Fehler: \"Cannot create file \"");
}

}  // namespace
}  // namespace chronark::relcheck
