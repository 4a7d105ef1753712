// Nothing is lost: every change on disk when made, the running interval in
// its state file, one instance per project, rescue copies, writable folders.

#include "window_support.h"

#include "app/intervalstate.h"
#include "app/rescue.h"
#include "app/settings.h"
#include "app/trayicon.h"
#include "platform/files/projectlock.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <sys/stat.h>

#include <fstream>

namespace chronark::test {
namespace {

timespec Modified(const std::string& Name) {
  struct stat St {};
  ::stat(Name.c_str(), &St);
  return St.st_mtim;
}

class KeepTest : public TFormTest {
protected:
  std::string StateFile() const {
    return IntervalStateFileName(Environment.SettingsFile, InFolder("woche.crf"));
  }
};

TEST_F(KeepTest, DeletingAndEditingSaveAtOnceACancelledEditWritesNothing) {
  StartWithProject(3);
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton14->click();
  EXPECT_EQ(ReadFile("woche.crf").size(), 2 * 280u);
  EXPECT_EQ(ReadFile("woche.crf").substr(25, 9), "Eintrag 1");

  Form->ListBox1->setCurrentRow(1);
  Answers.Expect(EnterText("neu", true));
  Form->ToolButton15->click();
  EXPECT_EQ(ReadFile("woche.crf").substr(280 + 24, 4), std::string("\x03neu", 4));

  const timespec Before = Modified(InFolder("woche.crf"));
  QTest::qWait(20);
  Form->ListBox1->setCurrentRow(1);
  Answers.Expect(EnterText("anders", false));
  Form->ToolButton15->click();
  const timespec After = Modified(InFolder("woche.crf"));
  EXPECT_TRUE(Before.tv_sec == After.tv_sec && Before.tv_nsec == After.tv_nsec);
}

TEST_F(KeepTest, StartingWritesTheStateFileAndStoppingRemovesIt) {
  StartWithProject(1);
  Form->ToolButton5->click();
  ASSERT_TRUE(Exists(StateFile().substr(Folder().size())));
  EXPECT_EQ(ReadIntervalState(StateFile(), InFolder("woche.crf")), Form->IntervalStart());
  Form->StopWork();
  EXPECT_FALSE(Exists(StateFile().substr(Folder().size())));
  EXPECT_EQ(ReadFile("woche.crf").size(), 2 * 280u);
}

// The interval of a program that ended without its close sequence goes on:
// hidden in the tray from the stored start, recorded at the next stop.
TEST_F(KeepTest, AStartFindingTheStateFileResumesFromItsStamp) {
  WriteProject("woche.crf", 1);
  WriteSettings("[Main]\nProject=woche.crf\n");
  const TDateTime Stamp = Now() - 1.5 / 24;
  WriteIntervalState(StateFile(), InFolder("woche.crf"), Stamp);
  Start();
  EXPECT_TRUE(Form->TimerRunning());
  EXPECT_EQ(Form->IntervalStart(), Stamp);
  EXPECT_TRUE(Form->RxTrayIcon1()->Active());
  EXPECT_TRUE(WaitUntil([&] { return !Form->isVisible(); })) << "hidden as after /start";
  Form->StopWork();
  ASSERT_EQ(Form->Manager()->Entries().size(), 2u);
  EXPECT_EQ(Form->Manager()->Entries()[1].StartTime, Stamp);
  EXPECT_EQ(Form->Manager()->Entries()[1].Hours, 1);
  EXPECT_EQ(ReadFile("woche.crf").size(), 2 * 280u);
  EXPECT_FALSE(Exists(StateFile().substr(Folder().size())));
}

TEST_F(KeepTest, AStateFileOfAnotherProjectIsKeptAndNotApplied) {
  const std::string Other = IntervalStateFileName(Environment.SettingsFile, InFolder("alt.crf"));
  WriteIntervalState(Other, InFolder("alt.crf"), 46000.5);
  const std::string Before = ReadFile(Other.substr(Folder().size()));
  StartWithProject(1);
  EXPECT_FALSE(Form->TimerRunning());
  Form->ToolButton5->click();
  Form->StopWork();
  Form->AppClose();
  EXPECT_EQ(ReadFile(Other.substr(Folder().size())), Before);
}

// At the end of the session nobody answers a box: the entries go to a rescue
// copy, and the program ends with 1.
TEST_F(KeepTest, ASessionEndThatCannotSaveWritesARescueCopy) {
  QDir(QString::fromStdString(Folder())).mkdir("sub");
  WriteProject("sub/woche.crf", 2);
  WriteSettings("[Main]\nProject=sub/woche.crf\n");
  Start("/start");
  ASSERT_TRUE(Form->TimerRunning());
  QDir(QString::fromStdString(InFolder("sub"))).removeRecursively();
  Form->SessionEnd();
  EXPECT_EQ(Ended, 1);
  const std::vector<std::string> Notes = TakeRescueNotes();
  ASSERT_EQ(Notes.size(), 1u);
  EXPECT_EQ(Notes[0].rfind(InFolder("data/chronark/rescue/woche-"), 0), 0u) << Notes[0];
  std::ifstream Rescue(Notes[0], std::ios::binary | std::ios::ate);
  EXPECT_EQ(Rescue.tellg(), std::streamoff(3 * 280)) << "both entries and the interval";
  EXPECT_TRUE(Form->IntervalStateFile().empty()) << "the interval is in the rescue copy";
  EXPECT_FALSE(Exists(StateFile().substr(Folder().size())));
}

TEST_F(KeepTest, TheNextStartNamesTheRescueFileOnce) {
  QDir(QString::fromStdString(Folder())).mkpath("data/chronark/rescue");
  WriteFile("data/chronark/rescue/rescued.txt", "/x/woche-20261209-031500.crf\n");
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  StartWithProject(1);
  EXPECT_TRUE(Seen.Text.contains("/x/woche-20261209-031500.crf")) << Seen.Text.toStdString();
  EXPECT_TRUE(Seen.Text.startsWith("Beim letzten Ende der Sitzung")) << Seen.Text.toStdString();
  EXPECT_FALSE(Exists("data/chronark/rescue/rescued.txt"));
}

// An interactive close keeps its error box and window, and offers to save
// the entries elsewhere; done, the close goes on with the new file.
TEST_F(KeepTest, AFailedCloseOffersSaveAsAndEndsWithTheNewFile) {
  QDir(QString::fromStdString(Folder())).mkdir("sub");
  WriteProject("sub/woche.crf", 2);
  WriteSettings("[Main]\nProject=sub/woche.crf\n");
  Start();
  QDir(QString::fromStdString(InFolder("sub"))).removeRecursively();
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Form->AppClose();
  EXPECT_FALSE(Ended.has_value());
  EXPECT_EQ(Seen.Buttons, QStringList({"OK", "Speichern unter..."}));
  Answers.Expect(ClickButton("Speichern unter..."));
  QString Title;
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("gerettet.crf")), &Title));
  Form->AppClose();
  EXPECT_EQ(Title, "Speichern unter");
  EXPECT_EQ(Ended, 0);
  EXPECT_EQ(ReadFile("gerettet.crf").size(), 2 * 280u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=gerettet.crf\n");
}

// A project that another instance holds is not opened: with nobody there to
// answer, the user is told, and nothing is written.
TEST_F(KeepTest, AProjectHeldElsewhereIsNeitherOpenedNorWritten) {
  WriteProject("woche.crf", 1);
  WriteSettings("[Main]\nProject=woche.crf\n");
  TProjectLock Elsewhere = TProjectLock::ForProgram(InFolder("woche.crf"));
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Start();
  EXPECT_EQ(Ended, 0);
  EXPECT_TRUE(Seen.Text.startsWith("Das Projekt \"" +
                                   QString::fromStdString(InFolder("woche.crf")) +
                                   "\" ist bereits in einem anderen Chronark geöffnet."))
      << Seen.Text.toStdString();
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=woche.crf\n");
}

TEST_F(KeepTest, NewAndOpenRefuseAProjectHeldElsewhere) {
  WriteProject("alt.crf", 2);
  StartWithProject(1);
  EXPECT_TRUE(Form->HoldsProject());
  TProjectLock Elsewhere = TProjectLock::ForProgram(InFolder("alt.crf"));
  TSeenBox Seen;
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("alt.crf"))));
  Answers.Expect(ClickButton("OK", &Seen));
  Form->ToolButton2->click();
  EXPECT_TRUE(Seen.Text.contains("in einem anderen Chronark")) << Seen.Text.toStdString();
  EXPECT_EQ(Form->ProjectFileName(), InFolder("woche.crf"));
  EXPECT_EQ(Lines().size(), 1);
  // The open project is still held: a writer is refused.
  EXPECT_THROW(TProjectLock::ForWriting(InFolder("woche.crf")), EProjectOpen);
}

TEST_F(KeepTest, DialogsStartInTheDocumentsFolderWhenTheProjectFolderIsGone) {
  QDir(QString::fromStdString(Folder())).mkpath("home");
  const QByteArray SavedHome = qgetenv("HOME");
  qputenv("HOME", QByteArray::fromStdString(InFolder("home")));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(InFolder("home/.config")));
  WriteSettings("[Main]\nProject=/nicht/da/woche.crf\n");
  Answers.Expect(ClickButton("Abbrechen"));
  Start();
  const std::string Folder = Form->DialogFolder();
  qputenv("HOME", SavedHome);
  qunsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(Folder, InFolder("home/"));
}

TEST(ProjectSetting, IsAbsoluteUnderTheConfigFolderForAProjectOutsideTheProgram) {
  EXPECT_EQ(ProjectSettingValue("/opt/c/", "/opt/c/chronark.ini", "/home/u/w.crf"),
            "../../home/u/w.crf");
  EXPECT_EQ(
      ProjectSettingValue("/opt/c/", "/home/u/.config/chronark/chronark.ini", "/home/u/w.crf"),
      "/home/u/w.crf");
  EXPECT_EQ(
      ProjectSettingValue("/opt/c/", "/home/u/.config/chronark/chronark.ini", "/opt/c/sub/w.crf"),
      "sub/w.crf");
}

TEST(IntervalState, KeepsTheStampExactlyAndOnlyForItsProject) {
  QTemporaryDir Dir;
  const std::string Folder = QFile::encodeName(Dir.path()).toStdString() + "/";
  const std::string State = IntervalStateFileName(Folder + "chronark.ini", Folder + "a.crf");
  const TDateTime Stamp = 46365.123456789012345;
  WriteIntervalState(State, Folder + "a.crf", Stamp);
  EXPECT_EQ(ReadIntervalState(State, Folder + "a.crf"), Stamp);
  EXPECT_EQ(ReadIntervalState(State, Folder + "b.crf"), std::nullopt);
  EXPECT_EQ(ReadIntervalState(State, Folder + "./a.crf"), Stamp) << "any name of the file";
  std::ofstream(State) << "[Running]\nProject=" << Folder << "a.crf\nStart=12,5\n";
  EXPECT_EQ(ReadIntervalState(State, Folder + "a.crf"), std::nullopt);
  RemoveIntervalState(State);
  EXPECT_EQ(ReadIntervalState(State, Folder + "a.crf"), std::nullopt);
}

TEST(RescueFile, IsNamedAfterTheProjectAndTheLocalTime) {
  qputenv("XDG_DATA_HOME", "/data");
  struct tm Local {};
  Local.tm_year = 2026 - 1900;
  Local.tm_mon = 11;
  Local.tm_mday = 9;
  Local.tm_hour = 3;
  Local.tm_min = 15;
  Local.tm_sec = 7;
  Local.tm_isdst = -1;
  EXPECT_EQ(RescueFileName("/home/u/woche.crf", mktime(&Local)),
            "/data/chronark/rescue/woche-20261209-031507.crf");
  qunsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace chronark::test
