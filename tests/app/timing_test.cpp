// The timing mode: start, stop from the tray, stop and quit, the session end.

#include "window_support.h"

#include "app/trayicon.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace chronark::test {
namespace {

class TimingTest : public TFormTest {
protected:
  QPushButton* FallbackButton(const char* Name) {
    QWidget* Window = Form->RxTrayIcon1()->FallbackWindow();
    return Window ? Window->findChild<QPushButton*>(Name) : nullptr;
  }
};

TEST_F(TimingTest, StartHidesTheWindowAndShowsTheTrayStandIn) {
  StartWithProject(1);
  const double Before = Now();
  Form->ToolButton5->click();
  EXPECT_TRUE(Form->TimerRunning());
  EXPECT_GE(Form->IntervalStart(), Before);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Form->RxTrayIcon1()->Active());
  EXPECT_EQ(Form->RxTrayIcon1()->TrayIcon()->toolTip(), "Chronark");
  // The offscreen platform has no notification area.
  QWidget* Window = Form->RxTrayIcon1()->FallbackWindow();
  ASSERT_NE(Window, nullptr);
  EXPECT_TRUE(Window->isVisible());
  EXPECT_EQ(Window->windowTitle(), "Chronark");
  ASSERT_NE(FallbackButton("Zeitstoppen1"), nullptr);
  ASSERT_NE(FallbackButton("StopundBeenden1"), nullptr);
  EXPECT_EQ(FallbackButton("Zeitstoppen1")->text(), "Stop");
  EXPECT_TRUE(FallbackButton("Zeitstoppen1")->font().bold());
  EXPECT_EQ(FallbackButton("StopundBeenden1")->text(), "Stop und Beenden");
  EXPECT_FALSE(FallbackButton("StopundBeenden1")->font().bold());
}

TEST_F(TimingTest, ASecondStartKeepsTheRunningInterval) {
  StartWithProject(0);
  Form->StartWork();
  const double Stamp = Form->IntervalStart();
  QTest::qWait(5);
  Form->StartWork();
  EXPECT_EQ(Form->IntervalStart(), Stamp);
}

TEST_F(TimingTest, StopRecordsOneEntryShowsTheWindowAndSavesIt) {
  StartWithProject(1);
  Form->ToolButton5->click();
  QTest::qWait(20);  // any begun minute counts; a zero-length one does not
  FallbackButton("Zeitstoppen1")->click();
  EXPECT_FALSE(Form->TimerRunning());
  EXPECT_TRUE(Form->isVisible());
  EXPECT_FALSE(Form->RxTrayIcon1()->Active());
  ASSERT_EQ(Lines().size(), 2);
  EXPECT_TRUE(Lines().back().endsWith("= 0 Std, 1 Min -- Bemerkung: (Keine)"))
      << Lines().back().toStdString();
  EXPECT_EQ(Status(), "Gesamt: 1 Std, 16 Min");
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u) << "the recorded interval is on disk at once";
  EXPECT_TRUE(WaitUntil([&] { return Form->RxTrayIcon1()->FallbackWindow() == nullptr; }));
}

TEST_F(TimingTest, ADoubleClickRunsTheDefaultItemAndASingleClickNothing) {
  StartWithProject(0);
  Form->StartWork();
  emit Form->RxTrayIcon1()->TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(Form->TimerRunning());
  emit Form->RxTrayIcon1()->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_FALSE(Form->TimerRunning());
  EXPECT_EQ(Lines().size(), 1);
  EXPECT_TRUE(Form->isVisible());
}

TEST_F(TimingTest, StopAndQuitSavesTheIntervalAndNeverShowsTheWindow) {
  StartWithProject(2);
  Form->StartWork();
  FallbackButton("StopundBeenden1")->click();
  EXPECT_EQ(Ended, 0);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(Form->RxTrayIcon1()->Active());
  EXPECT_EQ(ReadFile("woche.crf").size(), 840u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=woche.crf\n");
}

TEST_F(TimingTest, AfterAFailedCloseWhileTimingStopRecordsNothingTwice) {
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("sub"))));
  WriteProject("sub/woche.crf", 1);
  WriteSettings("[Main]\nProject=sub/woche.crf\n");
  Start();
  Form->StartWork();
  ASSERT_TRUE(QDir(QString::fromStdString(InFolder("sub"))).removeRecursively());
  Answers.Expect(ClickButton("OK"));
  Form->StopundBeenden1->trigger();
  EXPECT_FALSE(Ended.has_value());
  EXPECT_FALSE(Form->TimerRunning());
  EXPECT_EQ(Form->Manager()->Entries().size(), 2u);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Form->RxTrayIcon1()->Active());
  Form->Zeitstoppen1->trigger();
  EXPECT_EQ(Form->Manager()->Entries().size(), 2u);
  EXPECT_TRUE(Form->isVisible());
  EXPECT_FALSE(Form->RxTrayIcon1()->Active());
}

TEST_F(TimingTest, TheSessionEndWhileTimingRecordsSavesAndWritesTheSettings) {
  StartWithProject(1);
  WriteSettings("[Main]\nProject = woche.crf\n");
  Form->StartWork();
  Form->SessionEnd();
  EXPECT_EQ(Ended, 0);
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=woche.crf\n");
  EXPECT_FALSE(Form->RxTrayIcon1()->Active());
  // A later close (the platform's own) neither saves nor ends again.
  Ended.reset();
  Form->close();
  EXPECT_FALSE(Ended.has_value() && *Ended != 0);
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u);
}

TEST_F(TimingTest, TheSessionEndWhileABoxIsOpenLeavesEverythingUsable) {
  StartWithProject(2);
  Form->ListBox1->setCurrentRow(0);
  // As the program's end would, the ending closes the box that is open.
  Form->OnEnd = [this](int Code) {
    Ended = Code;
    if (auto* Dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) Dialog->reject();
  };
  Answers.Expect([&](QWidget*) { Form->SessionEnd(); });
  Form->ToolButton15->click();
  EXPECT_EQ(Ended, 0);
  EXPECT_NE(Form->Manager(), nullptr);
  EXPECT_EQ(Form->Manager()->GetComment(0), "Eintrag 0");
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u);
}

TEST_F(TimingTest, TheSessionEndDuringTheStartupPromptSavesNothing) {
  Form = nullptr;
  Answers.Expect([&](QWidget* Box) {
    Form->SessionEnd();
    ClickButton("Abbrechen")(Box);
  });
  Start();
  EXPECT_EQ(Ended, 0);
  EXPECT_FALSE(Exists("chronark.ini"));
}

TEST_F(TimingTest, QuittingWithoutACloseRunsTheCloseSequenceOnce) {
  StartWithProject(0);
  Form->StartWork();
  Form->AboutToQuit();
  EXPECT_EQ(ReadFile("woche.crf").size(), 280u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=woche.crf\n");
  Form->AboutToQuit();
  EXPECT_EQ(ReadFile("woche.crf").size(), 280u);
}

}  // namespace
}  // namespace chronark::test
