// The main window with its companion libraries: the toolbar button of the
// update check, the calls from "Nach neuer Version suchen" and "Info", the
// fallback notice, and the release at the program's real end.
#include "../app/window_support.h"

#include "app/capp.h"
#include "support/offline_resolver.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QImage>
#include <QPixmap>
#include <QToolButton>

#include <fstream>
#include <sstream>

namespace chronark::test {
namespace {

const std::string FakeRelCheck = CHRONARK_TEST_FAKE_RELCHECK;
const std::string AboutRecorder = CHRONARK_TEST_ABOUT;
const std::string NoExport = CHRONARK_TEST_NO_EXPORT;
const std::string RealRelCheck = CHRONARK_TEST_RELCHECK;  // empty when relcheck.so is not built

bool IsMapped(const std::string& Path) {
  std::ifstream Maps("/proc/self/maps");
  for (std::string Line; std::getline(Maps, Line);)
    if (Line.size() >= Path.size() &&
        Line.compare(Line.size() - Path.size(), Path.size(), Path) == 0)
      return true;
  return false;
}

std::vector<std::string> Fields(const std::string& Line) {
  std::vector<std::string> Result;
  std::istringstream In(Line);
  for (std::string Field; std::getline(In, Field, '\t');) Result.push_back(Field);
  return Result;
}

class CompanionWindowTest : public TFormTest {
protected:
  void SetUp() override {
    TFormTest::SetUp();
    // No shared folder: only the program folder of the test counts.
    WriteFile("registry.ini", "[Software\\Microsoft\\Windows\\CurrentVersion]\nCommonFilesDir=\n");
    qputenv("REGISTRY_HKLM_FILE", QByteArray::fromStdString(InFolder("registry.ini")));
    qputenv("CHRONARK_BINDING_RECORD", QByteArray::fromStdString(InFolder("record.txt")));
    qputenv("CHRONARK_BINDING_INSPECT", "1");
  }

  void TearDown() override {
    TFormTest::TearDown();
    qunsetenv("REGISTRY_HKLM_FILE");
    qunsetenv("CHRONARK_BINDING_RECORD");
    qunsetenv("CHRONARK_BINDING_INSPECT");
  }

  void Put(const std::string& Library, const std::string& Name) const {
    const QString Target = QFile::decodeName(QByteArray::fromStdString(InFolder(Name)));
    QFile::remove(Target);
    ASSERT_TRUE(QFile::copy(QFile::decodeName(QByteArray::fromStdString(Library)), Target));
  }

  std::vector<std::string> Records() const {
    std::vector<std::string> Lines;
    if (!Exists("record.txt")) return Lines;
    std::istringstream In(ReadFile("record.txt"));
    for (std::string Line; std::getline(In, Line);) Lines.push_back(Line);
    return Lines;
  }

  std::string FormHandle() const { return std::to_string(reinterpret_cast<uintptr_t>(Form.get())); }
};

TEST_F(CompanionWindowTest, UpdateCheckButtonAndSeparatorShowWhenTheLibraryIsBound) {
  Put(FakeRelCheck, "relcheck.so");
  StartWithProject(0);
  EXPECT_TRUE(Form->ToolButton6->isVisible());
  EXPECT_TRUE(Form->ToolButton3->isVisible());
}

TEST_F(CompanionWindowTest, LibraryWithoutItsExportHidesTheButtonLikeAMissingFile) {
  Put(NoExport, "relcheck.so");
  StartWithProject(0);
  EXPECT_FALSE(Form->ToolButton6->isVisible());
  EXPECT_FALSE(Form->ToolButton3->isVisible());
  EXPECT_TRUE(Form->ToolButton8->isVisible());
}

TEST_F(CompanionWindowTest, UpdateCheckIsCalledWithTheMainWindowAndTheProductSection) {
  Put(FakeRelCheck, "relcheck.so");
  StartWithProject(0);
  Form->ToolButton6->click();
  const auto Lines = Records();
  ASSERT_EQ(Lines.size(), 1u);
  const std::vector<std::string> Expected = {
      "showrelcheckdialog_v1_11", InFolder("relcheck.so"), "AppHandle=" + FormHandle(),
      "CurrentVersion=0:",        "Section=8:chronark",    "UpdateURL=0:",
      "Window=MainForm"};
  EXPECT_EQ(Fields(Lines[0]), Expected);
}

TEST_F(CompanionWindowTest, InfoCallsTheAboutLibraryWithTheTitleAndOneBlank) {
  Put(AboutRecorder, "about.so");
  StartWithProject(0);
  Form->ToolButton8->click();  // an unexpected box would fail the test after its timeout
  const auto Lines = Records();
  ASSERT_EQ(Lines.size(), 1u);
  const auto Got = Fields(Lines[0]);
  ASSERT_EQ(Got.size(), 10u) << Lines[0];
  EXPECT_EQ(Got[0], "showaboutdialog_v1_1");
  EXPECT_EQ(Got[1], InFolder("about.so"));
  EXPECT_EQ(Got[2], "Owner=" + FormHandle());
  EXPECT_EQ(Got[3], "Name=9:Chronark ");
  EXPECT_EQ(Got[4], "Text2=0:");
  EXPECT_EQ(Got[5], "Text3=0:");
  EXPECT_EQ(Got[6], "Text4=0:");
  EXPECT_EQ(Got[8], "Window=MainForm");
  EXPECT_EQ(Got[9], "IconNull=0");
  const QImage Seen(QFile::decodeName(QByteArray::fromStdString(InFolder("record.txt.png"))));
  EXPECT_EQ(Seen.convertToFormat(QImage::Format_ARGB32),
            ProgramIcon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32));
}

// The real update-check library reads the running program's version block,
// which this test program carries as chronark's.
TEST_F(CompanionWindowTest, UpdateCheckOpensTheDialogWithTheProgramsVersion) {
  if (RealRelCheck.empty()) GTEST_SKIP() << "relcheck.so is not part of this build";
  Put(RealRelCheck, "relcheck.so");
  StartWithProject(0);
  ASSERT_TRUE(Form->ToolButton6->isVisible());
  QString Version;
  QString DialogName;
  QString Status;
  QWidget* Owner = nullptr;
  Answers.Expect([&](QWidget* Dialog) {
    DialogName = Dialog->objectName();
    Owner = Dialog->parentWidget();
    if (auto* Label = Dialog->findChild<QLabel*>("version")) Version = Label->text();
    // Closed once its check has ended, whether or not it has begun yet.
    auto* Bar = Dialog->findChild<QStatusBar*>("StatusBar1");
    ASSERT_NE(Bar, nullptr);
    const auto CloseWhenDone = [&Status, Dialog](const QString& Text) {
      Status = Text;
      if (Text.startsWith("Fehler: ") || Text.startsWith("Kein Update") ||
          Text.startsWith("Eine neue"))
        Dialog->close();
    };
    QObject::connect(Bar, &QStatusBar::messageChanged, Dialog, CloseWhenDone);
    CloseWhenDone(Bar->currentMessage());
  });
  Form->ToolButton6->click();
  EXPECT_EQ(DialogName, "relcheckform");
  EXPECT_EQ(Version, "1.0.2002.624");
  EXPECT_EQ(Owner, Form.get());
  // The default address, looked up by the test's own resolver, which knows no name.
  EXPECT_EQ(NamesLookedUp(), std::vector<std::string>{"www.tolvane-software.example"});
  EXPECT_EQ(Status, "Fehler: \"can't resolve hostname to IP address\"");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // Released at the end, yet never unmapped: Qt may still reach its code.
  Form->Release();
  EXPECT_TRUE(IsMapped(InFolder("relcheck.so")));
}

// Without a usable about library, "Info" shows the maker's notice instead.
class InfoFallbackTest : public CompanionWindowTest, public testing::WithParamInterface<bool> {};

TEST_P(InfoFallbackTest, ShowsTheMakersNotice) {
  if (GetParam()) Put(NoExport, "about.so");
  StartWithProject(0);
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Form->ToolButton8->click();
  EXPECT_EQ(Seen.Title, "Chronark - woche.crf");
  EXPECT_EQ(Seen.Icon, QMessageBox::NoIcon);
  EXPECT_EQ(Seen.Buttons, QStringList({"OK"}));
  EXPECT_EQ(
      Seen.Text,
      "Chronark ist ein Programm von Tolvane Software.\n\nhttps://www.tolvane-software.example/");
  EXPECT_TRUE(Records().empty());
}

INSTANTIATE_TEST_SUITE_P(AboutLibrary, InfoFallbackTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& Info) {
                           return std::string(Info.param ? "WithoutExport" : "Missing");
                         });

TEST_F(CompanionWindowTest, LibrariesStayLoadedThroughTheCloseAndGoAtTheRealEnd) {
  Put(FakeRelCheck, "relcheck.so");
  Put(AboutRecorder, "about.so");
  StartWithProject(0);
  Form->close();
  EXPECT_EQ(Ended, 0);
  // The event loop has not returned yet: a handler may still be on the stack.
  EXPECT_TRUE(IsMapped(InFolder("relcheck.so")));
  EXPECT_TRUE(IsMapped(InFolder("about.so")));
  Form->Release();
  EXPECT_FALSE(IsMapped(InFolder("relcheck.so")));
  EXPECT_FALSE(IsMapped(InFolder("about.so")));
  Form->Release();  // a second release finds nothing to release
}

}  // namespace
}  // namespace chronark::test
