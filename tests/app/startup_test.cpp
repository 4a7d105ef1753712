// Start-up: the prompt for a missing project, its answers, the first load,
// the settings value and the "/start" switch.

#include "window_support.h"

#include "app/application.h"
#include "app/trayicon.h"

#include <QListView>

namespace chronark::test {
namespace {

const QString PromptTail = QStringLiteral(
    "\r\nMöchten Sie eine neue Datei anlegen?\r\n\r\n"
    "\"Ja\" legt ein neue Datei an.\r\n"
    "\"Nein\" öffntet eine Datei.");

class StartupTest : public TFormTest {};

TEST_F(StartupTest, WithoutSettingsThePromptSaysNoProjectAndCancelEndsWithoutWriting) {
  TSeenBox Seen;
  Answers.Expect(ClickButton("Abbrechen", &Seen));
  Start();
  EXPECT_EQ(Seen.Title, "Bestätigung");
  EXPECT_EQ(Seen.Text, "Es wurde kein Projekt angegeben." + PromptTail);
  EXPECT_EQ(Seen.Icon, QMessageBox::Question);
  EXPECT_EQ(Seen.Buttons, QStringList({"&Ja", "&Nein", "Abbrechen"}));
  EXPECT_EQ(Seen.DefaultButton, "&Ja");
  EXPECT_EQ(Seen.EscapeButton, "Abbrechen");
  EXPECT_TRUE(Form->NoProject());
  EXPECT_EQ(Ended, 0);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(Exists("chronark.ini"));
}

TEST_F(StartupTest, AMissingProjectIsNamedWithItsFullPathAndCancelKeepsTheSettings) {
  const std::string Settings = "[Main]\nProject=fehlt.crf\n";
  WriteSettings(Settings);
  TSeenBox Seen;
  Answers.Expect(ClickButton("Abbrechen", &Seen));
  Start();
  EXPECT_EQ(Seen.Text, "Die Datei \"" + QString::fromStdString(InFolder("fehlt.crf")) +
                           "\" wurde nicht gefunden." + PromptTail);
  EXPECT_EQ(Ended, 0);
  EXPECT_EQ(ReadFile("chronark.ini"), Settings);
}

TEST_F(StartupTest, YesCreatesTheProjectOnlyAtTheNextSave) {
  QString Title;
  Answers.Expect(ClickButton("&Ja"));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("neu")), &Title));
  Start();
  EXPECT_EQ(Title, "Neu");
  EXPECT_EQ(Form->ProjectFileName(), InFolder("neu.crf"));
  EXPECT_TRUE(Lines().isEmpty());
  EXPECT_EQ(Status(), "Gesamt: 0 Std, 0 Min");
  EXPECT_EQ(Form->windowTitle(), "Chronark - neu.crf");
  EXPECT_FALSE(Exists("neu.crf"));
  Form->AppClose();
  EXPECT_EQ(Ended, 0);
  EXPECT_EQ(ReadFile("neu.crf").size(), 0u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=neu.crf\n");
}

// "Ja" with the name of an existing file asks before replacing it; "Nein"
// returns to the dialog, and the file stays as it was.
TEST_F(StartupTest, YesWithAnExistingNameAsksAndNeinReturnsToTheDialog) {
  WriteProject("neu.crf", 2);
  TSeenBox Seen;
  Answers.Expect(ClickButton("&Ja"));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("neu.crf"))));
  Answers.Expect(ClickButton("&Nein", &Seen));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("anders.crf"))));
  Start();
  EXPECT_EQ(Seen.Title, "Bestätigung");
  EXPECT_EQ(Seen.Text, "Die Datei \"" + QString::fromStdString(InFolder("neu.crf")) +
                           "\" existiert bereits.\nSoll sie ersetzt werden?");
  EXPECT_EQ(Seen.Buttons, QStringList({"&Ja", "&Nein"}));
  EXPECT_EQ(Seen.DefaultButton, "&Nein");
  EXPECT_EQ(Seen.Icon, QMessageBox::Question);
  EXPECT_EQ(Form->ProjectFileName(), InFolder("anders.crf"));
  Form->AppClose();
  EXPECT_EQ(ReadFile("neu.crf").size(), 560u);
  EXPECT_EQ(ReadFile("anders.crf").size(), 0u);
}

TEST_F(StartupTest, YesWithAnExistingNameReplacesItAfterJa) {
  WriteProject("neu.crf", 2);
  Answers.Expect(ClickButton("&Ja"));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("neu.crf"))));
  Answers.Expect(ClickButton("&Ja"));
  Start();
  EXPECT_EQ(Form->ProjectFileName(), InFolder("neu.crf"));
  EXPECT_TRUE(Lines().isEmpty());
  EXPECT_EQ(ReadFile("neu.crf").size(), 560u) << "nothing is written before the first save";
  Form->AppClose();
  EXPECT_EQ(ReadFile("neu.crf").size(), 0u);
}

TEST_F(StartupTest, NoOpensAnExistingProject) {
  WriteProject("alt.crf", 2);
  Answers.Expect(ClickButton("&Nein"));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("alt.crf"))));
  Start();
  EXPECT_FALSE(Form->NoProject());
  EXPECT_EQ(Form->ProjectFileName(), InFolder("alt.crf"));
  EXPECT_EQ(Lines().size(), 2);
  EXPECT_EQ(Form->windowTitle(), "Chronark - alt.crf");
  EXPECT_FALSE(Ended.has_value());
}

struct TCancelledDialog {
  const char* Answer;
};

class StartupCancelledDialogTest : public TFormTest,
                                   public testing::WithParamInterface<TCancelledDialog> {};

TEST_P(StartupCancelledDialogTest, EndsWithoutProject) {
  Answers.Expect(ClickButton(GetParam().Answer));
  Answers.Expect(RejectDialog());
  Start();
  EXPECT_TRUE(Form->NoProject());
  EXPECT_EQ(Ended, 0);
  EXPECT_FALSE(Exists("chronark.ini"));
}

INSTANTIATE_TEST_SUITE_P(YesAndNo, StartupCancelledDialogTest,
                         testing::Values(TCancelledDialog{"&Ja"}, TCancelledDialog{"&Nein"}),
                         [](const testing::TestParamInfo<TCancelledDialog>& Info) {
                           return Info.index == 0 ? "Ja" : "Nein";
                         });

TEST_F(StartupTest, AStoredProjectOpensWithoutAPrompt) {
  StartWithProject(3);
  EXPECT_EQ(Lines().size(), 3);
  EXPECT_EQ(Lines().front(),
            "07.12.2026 09:00:00 - 07.12.2026 10:15:00 = 1 Std, 15 Min -- Bemerkung: Eintrag 0");
  EXPECT_EQ(Status(), "Gesamt: 3 Std, 45 Min");
  EXPECT_EQ(Form->windowTitle(), "Chronark - woche.crf");
  EXPECT_EQ(ApplicationTitle(), "Chronark - woche.crf");
  EXPECT_EQ(Form->AppTitle(), "Chronark");
}

TEST_F(StartupTest, AFailedLoadEndsTheProgramWithoutWritingAnything) {
  const std::string Busy = MakeBusyFile("busy.crf");
  const std::string Before = ReadFile("busy.crf");
  const std::string Settings = "[Main]\nProject=busy.crf\n";
  WriteSettings(Settings);
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Start();
  EXPECT_EQ(Seen.Title, "Chronark");
  EXPECT_EQ(Seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(Seen.Buttons, QStringList({"OK"}));
  EXPECT_EQ(Seen.Text, "Cannot open file " + QString::fromStdString(Busy) + ": Text file busy.");
  EXPECT_EQ(Ended, 1);
  EXPECT_EQ(ReadFile("chronark.ini"), Settings);
  EXPECT_EQ(ReadFile("busy.crf"), Before);
}

TEST_F(StartupTest, AnAbsoluteSettingIsUsedAsItIs) {
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("anderswo"))));
  WriteProject("anderswo/projekt.crf", 1);
  Environment.ProgramFolder = InFolder("prog/");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Environment.ProgramFolder)));
  WriteSettings("[Main]\nProject=" + InFolder("anderswo/projekt.crf") + "\n");
  Start();
  EXPECT_EQ(Form->ProjectFileName(), InFolder("anderswo/projekt.crf"));
  EXPECT_EQ(Lines().size(), 1);
}

TEST_F(StartupTest, AParentFolderStepIsKeptAndWrittenBack) {
  WriteProject("woche.crf", 1);
  Environment.ProgramFolder = InFolder("prog/");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Environment.ProgramFolder)));
  WriteSettings("[Main]\nProject=../woche.crf\n");
  Start();
  EXPECT_EQ(Form->ProjectFileName(), InFolder("prog/../woche.crf"));
  EXPECT_EQ(Lines().size(), 1);
  Form->AppClose();
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=../woche.crf\n");
}

struct TSwitchCase {
  const char* Argument;
  bool Starts;
};

class StartSwitchTest : public TFormTest, public testing::WithParamInterface<TSwitchCase> {};

TEST_P(StartSwitchTest, StartsTheTimerOnlyForSlashStart) {
  StartWithProject(2, GetParam().Argument);
  EXPECT_EQ(Form->TimerRunning(), GetParam().Starts);
  // Hidden also where the platform's first activation never comes.
  EXPECT_EQ(Form->isVisible(), !GetParam().Starts);
  EXPECT_EQ(Form->RxTrayIcon1()->Active(), GetParam().Starts);
  // The list is first filled when the timer stops.
  EXPECT_EQ(Lines().size(), GetParam().Starts ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(Arguments, StartSwitchTest,
                         testing::Values(TSwitchCase{"/start", true}, TSwitchCase{"/START", true},
                                         TSwitchCase{"/Start", true}, TSwitchCase{"-start", false},
                                         TSwitchCase{"start", false}, TSwitchCase{"/start2", false},
                                         TSwitchCase{"", false}),
                         [](const testing::TestParamInfo<TSwitchCase>& Info) {
                           return "Case" + std::to_string(Info.index) +
                                  (Info.param.Starts ? "Starts" : "Idle");
                         });

TEST_F(StartupTest, AfterTheSwitchTheFirstActivationHidesOnceAndStopEndsThat) {
  StartWithProject(2, "/start");
  // The platform may show and activate the window after the first-show step.
  if (Form->StartedWithSwitch()) Form->show();
  Form->FormActivate();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(Form->StartedWithSwitch());
  EXPECT_TRUE(Form->RxTrayIcon1()->Active());
  Form->StopWork();
  EXPECT_TRUE(Form->isVisible());
  EXPECT_EQ(Lines().size(), 3);
  Form->FormActivate();
  EXPECT_TRUE(Form->isVisible());
}

TEST_F(StartupTest, StopClearsTheSwitchEvenWithoutAnyActivation) {
  StartWithProject(1, "/start");
  Form->StopWork();
  EXPECT_FALSE(Form->StartedWithSwitch());
  Form->FormActivate();
  EXPECT_TRUE(Form->isVisible());
}

}  // namespace
}  // namespace chronark::test
