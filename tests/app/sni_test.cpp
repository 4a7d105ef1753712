// A click on a StatusNotifierItem panel, end to end: run by sni_watcher.py,
// which provides a private session bus with a watcher of its own and an X
// display, and calls Activate on the item that the program registers.

#include "window_support.h"

#include "app/application.h"
#include "app/trayicon.h"

#include <QTest>
#include <QToolButton>

namespace chronark::test {
namespace {

class StatusNotifierTest : public TFormTest {};

TEST_F(StatusNotifierTest, TheWatchersActivateStopsTimingRecordsTheEntryAndShowsTheWindow) {
  ASSERT_TRUE(TRxTrayIcon::StatusNotifierHostPresent()) << "run through sni_watcher.py";
  StartWithProject(2);
  EXPECT_TRUE(Form->RxTrayIcon1()->ClickRunsDefaultItem());
  Form->ToolButton5->click();
  ASSERT_TRUE(Form->TimerRunning());
  EXPECT_FALSE(Form->isVisible());
  // A panel that hosts the item needs no stand-in window.
  EXPECT_EQ(Form->RxTrayIcon1()->FallbackWindow(), nullptr);
  // The watcher calls Activate once the item is registered.
  EXPECT_TRUE(WaitUntil([&] { return !Form->TimerRunning(); }, 20000));
  EXPECT_EQ(Form->Manager()->Entries().size(), 3u);
  EXPECT_EQ(Lines().size(), 3);
  EXPECT_TRUE(Form->isVisible());
  EXPECT_FALSE(Form->RxTrayIcon1()->Active());
}

TEST_F(StatusNotifierTest, AClickWhileIdleDoesNothing) {
  StartWithProject(1);
  // Activate from a panel arrives as Trigger; with the icon hidden and no
  // interval running, the default item records nothing.
  emit Form->RxTrayIcon1()->TrayIcon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(Form->Manager()->Entries().size(), 1u);
  EXPECT_TRUE(Form->isVisible());
}

}  // namespace
}  // namespace chronark::test

int main(int Argc, char** Argv) {
  testing::InitGoogleTest(&Argc, Argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  chronark::TChronarkApplication Application(Argc, Argv);
  Application.PrepareProgram();
  return RUN_ALL_TESTS();
}
