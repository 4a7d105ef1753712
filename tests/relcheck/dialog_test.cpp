#include "relcheck/main.h"

#include "common/exceptions.h"
#include "relcheck/FmxUtils.h"
#include "tests/relcheck/dialog_driver.h"
#include "support/testfs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace chronark::relcheck {
namespace {

using namespace test;

using THandler =
    std::function<void(const std::string& URL, std::string_view Agent, std::string& Document)>;

class TFakeFetcher : public TDocumentFetcher {
public:
  explicit TFakeFetcher(THandler Handler) : FHandler(std::move(Handler)) {}
  void Get(const std::string& URL, std::string_view Agent, std::string& Document) override {
    FHandler(URL, Agent, Document);
  }

private:
  THandler FHandler;
};

THandler Serve(std::string Document) {
  return [Document](const std::string&, std::string_view, std::string& Out) { Out = Document; };
}

// Lets the event loop run for a while, as the real client's wait does.
void RunEventsFor(int Milliseconds) {
  QEventLoop Loop;
  QTimer::singleShot(Milliseconds, &Loop, &QEventLoop::quit);
  Loop.exec();
}

class RelcheckDialog : public testing::Test {
protected:
  void SetUp() override {
    SetShellOpener([this](const QUrl& Url) {
      Opened.push_back(Url.toString().toStdString());
      return true;
    });
  }
  void TearDown() override {
    EXPECT_TRUE(FDir.Entries().empty()) << "a temporary file was left";
    SetShellOpener({});
    SetFetcherFactory({});
    SetHostExecutable({});
  }

  TOutcome Run(THandler Handler, const std::string& Version = "1.0.2002.624",
               const std::string& Section = "chronark",
               const std::string& URL = "http://127.0.0.1:9/software/version.txt",
               uintptr_t Owner = 0) {
    Driver.Outcome = {};
    SetFetcherFactory([this, Handler] {
      return std::make_unique<TFakeFetcher>(
          [this, Handler](const std::string& U, std::string_view A, std::string& D) {
            RequestedURL = U;
            RequestedAgent = A;
            Handler(U, A, D);
          });
    });
    const auto V = Short(Version), S = Short(Section), U = Short(URL);
    ShowRelcheckDialog(Owner, V.data(), S.data(), U.data());
    EXPECT_EQ(relcheckform, nullptr);
    return Driver.Outcome;
  }

  TTempDir FDir;
  TScopedEnv FTmpDir{"TMPDIR", FDir.Folder().c_str()};
  std::string RequestedURL, RequestedAgent;
  std::vector<std::string> Opened;
  TDriver Driver;
};

TEST_F(RelcheckDialog, FormAsDesignedWhileTheRequestRuns) {
  Run([](const std::string&, std::string_view, std::string&) {
    Trelcheckform& F = *relcheckform;
    EXPECT_EQ(F.objectName(), "relcheckform");
    EXPECT_EQ(F.windowTitle(), "Online Relcheck");
    EXPECT_EQ(F.size(), QSize(245, 137));
    EXPECT_TRUE(F.isModal());
    EXPECT_FALSE(F.Timer1->isActive());
    struct TExpected {
      const char* Name;
      QRect Geometry;
      const char* Text;
      const char* Hint;
      bool Enabled;
      bool GrowsWithText = false;
    };
    const TExpected Controls[] = {
        {"Label1", {3, 3, 78, 13}, "aktuelle Version:", "", true, true},
        {"version", {3, 21, 107, 17}, "1.0.2002.624", "", true},
        {"Label2", {135, 3, 65, 13}, "neue Version:", "", false, true},
        {"newversion", {135, 21, 107, 17}, "", "", false},
        {"Label3", {3, 43, 31, 13}, "Name:", "", false, true},
        {"appname", {3, 60, 240, 17}, "", "", false},
        {"Panel1", {3, 84, 240, 31}, nullptr, "", true},
        {"downloadbutton", {3, 3, 85, 25}, "Download", "Downloade neue Version", false},
        {"homepagebutton", {91, 3, 85, 25}, "Homepage", "Zur Homepage", false},
        {"SpeedButton1", {179, 3, 58, 25}, "OK", "Dialogbox schließen", true},
        {"StatusBar1", {0, 118, 245, 19}, nullptr, "", true}};
    for (const auto& C : Controls) {
      auto* W = F.findChild<QWidget*>(QString::fromLatin1(C.Name));
      ASSERT_NE(W, nullptr) << C.Name;
      if (C.GrowsWithText) {
        EXPECT_EQ(W->pos(), C.Geometry.topLeft()) << C.Name;
        EXPECT_GE(W->width(), C.Geometry.width()) << C.Name;
        EXPECT_GE(W->height(), C.Geometry.height()) << C.Name;
        EXPECT_GE(W->width(), W->sizeHint().width()) << C.Name;
      } else {
        EXPECT_EQ(W->geometry(), C.Geometry) << C.Name;
      }
      EXPECT_EQ(W->isEnabled(), C.Enabled) << C.Name;
      EXPECT_EQ(W->toolTip(), QString::fromUtf8(C.Hint)) << C.Name;
      if (auto* L = qobject_cast<QLabel*>(W); L && C.Text) {
        EXPECT_EQ(L->text(), QString::fromUtf8(C.Text)) << C.Name;
      }
      if (auto* B = qobject_cast<QToolButton*>(W); B && C.Text) {
        EXPECT_EQ(B->text(), QString::fromUtf8(C.Text)) << C.Name;
        EXPECT_TRUE(B->autoRaise()) << C.Name;
        EXPECT_EQ(B->parentWidget(), F.Panel1) << C.Name;
      }
    }
    EXPECT_FALSE(F.StatusBar1->isSizeGripEnabled());
    EXPECT_EQ(F.StatusBar1->currentMessage(), "Empfange Versionsinformationen...");
    EXPECT_NE(F.findChild<QTimer*>("Timer1"), nullptr);
    throw Exception("stop");
  });
}

TEST_F(RelcheckDialog, NewerVersionWithNameAndAddresses) {
  Driver.Then = [](Trelcheckform& F) {
    F.downloadbutton->click();
    F.homepagebutton->click();
    F.SpeedButton1->click();
  };
  TOutcome O =
      Run(Serve("[chronark]\nVersion=1.0.2002.625\nName=Chronark 1.1 f\xFCr alle\n"
                "Download=http://example.test/chronark.zip\nHomepage=https://example.test/\n"));
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
  EXPECT_EQ(O.Statuses,
            (std::vector<QString>{"Empfange Versionsinformationen...", "Werte Informationen aus...",
                                  "Eine neue Version ist vorhanden!"}));
  EXPECT_EQ(O.NewVersion, "1.0.2002.625");
  EXPECT_EQ(O.AppName, QString::fromUtf8("Chronark 1.1 für alle"));
  for (const auto& [Name, Enabled] : O.Enabled) EXPECT_TRUE(Enabled) << Name;
  EXPECT_EQ(Opened, (std::vector<std::string>{"http://example.test/chronark.zip",
                                              "https://example.test/"}));
  EXPECT_EQ(RequestedAgent, "Online Relcheck");
  EXPECT_EQ(RequestedURL, "http://127.0.0.1:9/software/version.txt");
}

TEST_F(RelcheckDialog, NewerVersionAloneEnablesOnlyTheVersion) {
  TOutcome O = Run(Serve("[chronark]\nVersion=2\n"));
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
  EXPECT_EQ(O.NewVersion, "2");
  EXPECT_EQ(O.AppName, "");
  EXPECT_EQ(O.Enabled, (std::map<std::string, bool>{{"Label2", true},
                                                    {"newversion", true},
                                                    {"Label3", false},
                                                    {"appname", false},
                                                    {"downloadbutton", false},
                                                    {"homepagebutton", false}}));
}

// The document comes over plain HTTP: its texts are shown as they are, never
// rendered as markup.
TEST_F(RelcheckDialog, PublishedTextsAreShownAsPlainText) {
  std::map<std::string, Qt::TextFormat> Formats;
  Driver.Then = [&Formats](Trelcheckform& F) {
    for (QLabel* Box : {F.version, F.newversion, F.appname})
      Formats[Box->objectName().toStdString()] = Box->textFormat();
    F.SpeedButton1->click();
  };
  TOutcome O = Run(Serve("[chronark]\nVersion=9\nName=<img src=\"/etc/x.png\"><b>Chronark</b>\n"));
  EXPECT_EQ(O.AppName, "<img src=\"/etc/x.png\"><b>Chronark</b>");
  EXPECT_EQ(Formats, (std::map<std::string, Qt::TextFormat>{{"version", Qt::PlainText},
                                                            {"newversion", Qt::PlainText},
                                                            {"appname", Qt::PlainText}}));
}

TEST_F(RelcheckDialog, UnsafeAddressesAreNotOpened) {
  Driver.Then = [](Trelcheckform& F) {
    F.downloadbutton->click();
    F.homepagebutton->click();
    F.SpeedButton1->click();
  };
  TOutcome O =
      Run(Serve("[chronark]\nVersion=9\nDownload=/usr/bin/xterm\nHomepage=file:///etc/passwd\n"));
  EXPECT_TRUE(O.Enabled["downloadbutton"]);
  EXPECT_TRUE(O.Enabled["homepagebutton"]);
  EXPECT_TRUE(Opened.empty());
}

TEST_F(RelcheckDialog, NoUpdateLeavesEverythingDisabled) {
  const char* Documents[] = {"[chronark]\nVersion=1.0.2002.624\nName=x\nDownload=http://a.test/\n",
                             "[chronark]\nVersion=0.9\n", "[other]\nVersion=9.9.9.9\n",
                             "<html><head><title>Hallo</title></head></html>", ""};
  for (const char* Document : Documents) {
    TOutcome O = Run(Serve(Document));
    EXPECT_EQ(O.Status, QString::fromUtf8("Kein Update verfügbar")) << Document;
    EXPECT_EQ(O.NewVersion, "") << Document;
    for (const auto& [Name, Enabled] : O.Enabled) EXPECT_FALSE(Enabled) << Name << " " << Document;
  }
}

TEST_F(RelcheckDialog, ErrorsShowTheMessageQuoted) {
  TOutcome O =
      Run([](const std::string&, std::string_view, std::string&) { throw Exception("Not Found"); });
  EXPECT_EQ(O.Status, "Fehler: \"Not Found\"");
  EXPECT_EQ(O.Statuses.size(), 2u);
  for (const auto& [Name, Enabled] : O.Enabled) EXPECT_FALSE(Enabled) << Name;
}

TEST_F(RelcheckDialog, ConversionErrorsOfTheVersions) {
  TOutcome O = Run(Serve("[chronark]\nVersion=1.2\n"), "1.2.0.0");
  EXPECT_EQ(O.Status, "Fehler: \"'' is not a valid integer value\"");
  // Blanks around INI values are trimmed, so a trailing blank can only come
  // with the running version.
  O = Run(Serve("[chronark]\nVersion=1.0.2002.624 \n"), "1.0.2002.624");
  EXPECT_EQ(O.Status, QString::fromUtf8("Kein Update verfügbar"));
  O = Run(Serve("[chronark]\nVersion=1.0.2002.624\n"), "1.0.2002.624 ");
  EXPECT_EQ(O.Status, "Fehler: \"'624 ' is not a valid integer value\"");
  O = Run(Serve("[chronark]\nVersion=1.0.4 beta\n"));
  EXPECT_EQ(O.Status, "Fehler: \"'4 beta' is not a valid integer value\"");
}

TEST_F(RelcheckDialog, EmptyVersionIsTheHostProgramsFileVersion) {
  SetHostExecutable(PROBE_CHRONARK);
  TOutcome O = Run(Serve("[chronark]\nVersion=1.0.2002.624\n"), "");
  EXPECT_EQ(O.Version, "1.0.2002.624");
  EXPECT_EQ(O.Status, QString::fromUtf8("Kein Update verfügbar"));
}

TEST_F(RelcheckDialog, HostWithoutVersionData) {
  SetHostExecutable(PROBE_NOVERSION);
  TOutcome O = Run(Serve("[chronark]\nVersion=1.0.0.0\n"), "");
  EXPECT_EQ(O.Version, "");
  EXPECT_EQ(O.Status, "Fehler: \"'' is not a valid integer value\"");
}

TEST_F(RelcheckDialog, EmptyAddressMeansTheDefault) {
  Run(Serve(""), "1.0", "chronark", "");
  EXPECT_EQ(RequestedURL, "http://www.tolvane-software.example/software/version.txt");
  EXPECT_EQ(UpdateURL, RequestedURL);
}

TEST_F(RelcheckDialog, OkDuringTheDownloadWaitsForTheEnd) {
  bool VisibleAfterOk = false;
  TOutcome O = Run([&](const std::string&, std::string_view, std::string& Document) {
    relcheckform->SpeedButton1->click();
    relcheckform->close();
    relcheckform->reject();
    RunEventsFor(30);
    VisibleAfterOk = relcheckform->isVisible();
    Document = "[chronark]\nVersion=7\n";
  });
  EXPECT_TRUE(VisibleAfterOk);
  // The deferred close follows the final status at once.
  ASSERT_FALSE(O.Statuses.empty());
  EXPECT_EQ(O.Statuses.back(), "Eine neue Version ist vorhanden!");
  EXPECT_EQ(O.Status, "");
}

TEST_F(RelcheckDialog, OwnedByTheCallersWindow) {
  QMainWindow Main;
  Main.show();
  TOutcome O =
      Run(Serve(""), "1", "chronark", "http://x.test/", reinterpret_cast<uintptr_t>(&Main));
  EXPECT_EQ(O.Parent, &Main);
  EXPECT_EQ(ApplicationHandle, 0u);
  // A handle that names no widget leaves the dialog without owner.
  O = Run(Serve(""), "1", "chronark", "http://x.test/", reinterpret_cast<uintptr_t>(&O));
  EXPECT_EQ(O.Parent, nullptr);
}

TEST_F(RelcheckDialog, ASecondCallWhileTheDialogRunsIsIgnored) {
  TOutcome O = Run(
      [](const std::string&, std::string_view, std::string& Document) {
        const auto V = Short("9.9.9.9"), S = Short("other"), U = Short("http://other.test/");
        ShowRelcheckDialog(0, V.data(), S.data(), U.data());
        EXPECT_EQ(CurrentVersion, "1.0");
        EXPECT_EQ(Section, "chronark");
        Document = "[chronark]\nVersion=2\n";
      },
      "1.0");
  EXPECT_EQ(O.Status, "Eine neue Version ist vorhanden!");
}

TEST_F(RelcheckDialog, OwnerDestroyedDuringTheRequest) {
  auto* Main = new QMainWindow;
  Main->show();
  bool Gone = false;
  Run(
      [&](const std::string&, std::string_view, std::string& Document) {
        QPointer<Trelcheckform> Form = relcheckform;
        delete Main;
        Gone = Form.isNull();
        Document = "[chronark]\nVersion=9\n";
      },
      "1.0", "chronark", "http://x.test/", reinterpret_cast<uintptr_t>(Main));
  EXPECT_TRUE(Gone);
  EXPECT_EQ(relcheckform, nullptr);
  EXPECT_EQ(ApplicationHandle, 0u);
}

TEST_F(RelcheckDialog, ShortStringsAreCopiedWhole) {
  const std::string Long(255, '7');
  TOutcome O = Run(Serve("[" + Long + "]\nVersion=1\n"), Long, Long,
                   "http://x.test/" + std::string(241, 'a'));
  EXPECT_EQ(O.Version.toStdString(), Long);
  EXPECT_EQ(Section, Long);
  EXPECT_EQ(UpdateURL.size(), 255u);
  SetFetcherFactory([] { return std::make_unique<TFakeFetcher>(Serve("")); });
  Driver.Outcome = {};
  ShowRelcheckDialog(0, nullptr, nullptr, nullptr);
  EXPECT_EQ(Section, "");
  EXPECT_EQ(UpdateURL, DefaultUpdateURL());
}

}  // namespace
}  // namespace chronark::relcheck
