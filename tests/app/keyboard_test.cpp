// The main window without a mouse: shortcuts, Tab and the arrow keys in the
// toolbar; the hints and screen-reader names stay as they were.

#include "window_support.h"

#include "app/entrylist.h"

#include <QAccessible>
#include <QApplication>
#include <QKeySequence>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

namespace chronark::test {
namespace {

class KeyboardTest : public TFormTest {
protected:
  void StartActive(int Entries) {
    StartWithProject(Entries);
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    Form->ListBox1->setFocus();
  }
  // The keys go to the list, as after a click into it; a box that has just
  // closed may have taken the window's activation with it.
  void Press(const QKeySequence& Keys) {
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    Form->ListBox1->setFocus();
    const QKeyCombination Combination = Keys[0];
    QTest::keyClick(Form->ListBox1, Combination.key(), Combination.keyboardModifiers());
  }
};

TEST_F(KeyboardTest, EveryCommandHasItsShortcutAndKeepsItsHintAndName) {
  StartWithProject(0);
  const struct {
    QToolButton* Button;
    const char* Keys;
    const char* Hint;
    const char* Name;
  } Expected[] = {
      {Form->ToolButton1, "Ctrl+N", "Neu...", "Neu..."},
      {Form->ToolButton2, "Ctrl+O", "Öffnen...", "Öffnen..."},
      {Form->ToolButton9, "Ctrl+S", "Speichern", "Speichern"},
      {Form->ToolButton10, "Ctrl+E", "HTML Export...", "Exportieren..."},
      {Form->ToolButton14, "Del", "Eintrag löschen", "Löschen"},
      {Form->ToolButton15, "F2", "Bemerkung editieren...", "Edit"},
      {Form->ToolButton5, "Ctrl+Space", "Starten", "Starten"},
      {Form->ToolButton6, "Ctrl+U", "Nach neuer Version suchen...", "Nach neuer Version suchen"},
      {Form->ToolButton12, "Ctrl+Q", "Programm beenden", "Programm beenden"},
      {Form->ToolButton8, "F1", "Info...", "Info"},
  };
  for (const auto& Case : Expected) {
    EXPECT_EQ(Case.Button->shortcut(), QKeySequence(QString::fromLatin1(Case.Keys))) << Case.Name;
    EXPECT_EQ(Case.Button->toolTip(), QString::fromUtf8(Case.Hint));
    QAccessibleInterface* Accessible = QAccessible::queryAccessibleInterface(Case.Button);
    ASSERT_NE(Accessible, nullptr);
    EXPECT_EQ(Accessible->text(QAccessible::Name), QString::fromUtf8(Case.Name));
  }
}

TEST_F(KeyboardTest, KeysRunTheCommands) {
  StartActive(3);
  Form->ListBox1->setCurrentRow(0);
  Press(QKeySequence(Qt::Key_Delete));
  EXPECT_TRUE(WaitUntil([&] { return Form->Manager()->Entries().size() == 2; }));

  Press(QKeySequence(Qt::CTRL | Qt::Key_S));
  EXPECT_TRUE(WaitUntil([&] { return ReadFile("woche.crf").size() == 2 * 280u; }));

  Form->ListBox1->setCurrentRow(1);
  QString Title;
  Answers.Expect(EnterText("per Tastatur", true, nullptr, &Title));
  Press(QKeySequence(Qt::Key_F2));
  EXPECT_TRUE(WaitUntil([&] { return Form->Manager()->GetComment(1) == "per Tastatur"; }));
  EXPECT_EQ(Title, "Bemerkung editieren");

  Press(QKeySequence(Qt::CTRL | Qt::Key_Space));
  EXPECT_TRUE(WaitUntil([&] { return Form->TimerRunning(); }));
  Form->StopWork();

  Answers.Expect(RejectDialog(&Title));
  Press(QKeySequence(Qt::CTRL | Qt::Key_N));
  EXPECT_TRUE(WaitUntil([&] { return Title == "Neu"; }));
  EXPECT_TRUE(WaitUntil([&] { return Answers.Pending() == 0; }));
}

TEST_F(KeyboardTest, AHiddenUpdateButtonHasNoShortcutAndQuitEnds) {
  StartActive(1);
  ASSERT_FALSE(Form->ToolButton6->isVisible());  // no update library in the tests
  Press(QKeySequence(Qt::CTRL | Qt::Key_U));
  QTest::qWait(300);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

  Form->OnEnd = [&](int Code) { Ended = Code; };
  Press(QKeySequence(Qt::CTRL | Qt::Key_Q));
  EXPECT_TRUE(WaitUntil([&] { return Ended.has_value(); }));
  EXPECT_EQ(ReadFile("woche.crf").size(), 280u);
}

TEST_F(KeyboardTest, TabReachesTheToolbarAndTheArrowKeysMoveAlongIt) {
  StartActive(1);
  bool Reached = false;
  for (int I = 0; I < 20 && !Reached; ++I) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    Reached = qobject_cast<QToolButton*>(QApplication::focusWidget()) &&
              QApplication::focusWidget()->parent() == Form->ToolBar1;
  }
  EXPECT_TRUE(Reached);

  Form->ToolButton1->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Form->ToolButton1, Qt::Key_Right);
  EXPECT_EQ(QApplication::focusWidget(), Form->ToolButton2);
  QTest::keyClick(Form->ToolButton2, Qt::Key_Left);
  QTest::keyClick(Form->ToolButton1, Qt::Key_Left);
  EXPECT_EQ(QApplication::focusWidget(), Form->ToolButton12);
  // Around the end, past the hidden update button.
  QTest::keyClick(Form->ToolButton12, Qt::Key_Left);
  EXPECT_EQ(QApplication::focusWidget(), Form->ToolButton8);
  QTest::keyClick(Form->ToolButton8, Qt::Key_Left);
  EXPECT_EQ(QApplication::focusWidget(), Form->ToolButton5);
  // Space presses the button that has the focus.
  QTest::keyClick(Form->ToolButton5, Qt::Key_Space);
  EXPECT_TRUE(WaitUntil([&] { return Form->TimerRunning(); }));
  Form->StopWork();
}

}  // namespace
}  // namespace chronark::test
