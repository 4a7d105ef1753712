// The main window's controls and commands, the close sequence and the error box.

#include "window_support.h"

#include "app/application.h"
#include "app/filedialogs.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QComboBox>
#include <QCompleter>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QScrollBar>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

#include <stdexcept>

namespace chronark::test {
namespace {

struct TButtonCase {
  const char* Name;
  const char* Hint;
  const char* Caption;
  int Image;
};

class ToolButtonTest : public TFormTest, public testing::WithParamInterface<TButtonCase> {};

TEST_P(ToolButtonTest, CarriesItsNameHintCaptionAndImage) {
  StartWithProject(0);
  auto* Button = Form->findChild<QToolButton*>(GetParam().Name);
  ASSERT_NE(Button, nullptr);
  EXPECT_EQ(Button->toolTip(), QString::fromUtf8(GetParam().Hint));
  EXPECT_EQ(Button->text(), QString::fromUtf8(GetParam().Caption));
  EXPECT_EQ(Button->property("ImageIndex").toInt(), GetParam().Image);
  EXPECT_FALSE(Button->icon().isNull());
  EXPECT_EQ(Button->toolButtonStyle(), Qt::ToolButtonIconOnly);
  // Until the update library is bound, its button stays hidden.
  EXPECT_EQ(Button->isVisible(), std::string(GetParam().Name) != "ToolButton6");
}

INSTANTIATE_TEST_SUITE_P(
    ToolBar1, ToolButtonTest,
    testing::Values(TButtonCase{"ToolButton12", "Programm beenden", "Programm beenden", 7},
                    TButtonCase{"ToolButton1", "Neu...", "Neu...", 0},
                    TButtonCase{"ToolButton2", "Öffnen...", "Öffnen...", 1},
                    TButtonCase{"ToolButton9", "Speichern", "Speichern", 2},
                    TButtonCase{"ToolButton10", "HTML Export...", "Exportieren...", 6},
                    TButtonCase{"ToolButton14", "Eintrag löschen", "Löschen", 8},
                    TButtonCase{"ToolButton15", "Bemerkung editieren...", "Edit", 9},
                    TButtonCase{"ToolButton5", "Starten", "Starten", 3},
                    TButtonCase{"ToolButton6", "Nach neuer Version suchen...",
                                "Nach neuer Version suchen", 4},
                    TButtonCase{"ToolButton8", "Info...", "Info", 5}),
    [](const testing::TestParamInfo<TButtonCase>& Info) { return std::string(Info.param.Name); });

class MainFormTest : public TFormTest {};

TEST_F(MainFormTest, LaysOutTheWindowAndTheTrayMenu) {
  StartWithProject(0);
  EXPECT_EQ(Form->objectName(), "MainForm");
  EXPECT_EQ(Form->size(), QSize(573, 410));
  EXPECT_FALSE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
  QStringList Order;
  for (QAction* Action : Form->ToolBar1->actions())
    Order << Form->ToolBar1->widgetForAction(Action)->objectName();
  EXPECT_EQ(Order, QStringList({"ToolButton12", "ToolButton13", "ToolButton1", "ToolButton2",
                                "ToolButton9", "ToolButton11", "ToolButton10", "ToolButton16",
                                "ToolButton14", "ToolButton15", "ToolButton4", "ToolButton5",
                                "ToolButton3", "ToolButton6", "ToolButton7", "ToolButton8"}));
  EXPECT_FALSE(Form->findChild<QWidget*>("ToolButton3")->isVisible());
  EXPECT_TRUE(Form->findChild<QWidget*>("ToolButton7")->isVisible());
  auto* List = Form->findChild<QListWidget*>("ListBox1");
  ASSERT_NE(List, nullptr);
  EXPECT_EQ(List->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(List->isSortingEnabled());
  ASSERT_NE(Form->findChild<QStatusBar*>("StatusBar1"), nullptr);

  auto* Menu = Form->findChild<QMenu*>("PopupMenu1");
  ASSERT_NE(Menu, nullptr);
  QStringList Items;
  for (QAction* Action : Menu->actions())
    Items << Action->objectName() + "=" + (Action->isSeparator() ? "-" : Action->text());
  EXPECT_EQ(Items, QStringList({"Zeitstoppen1=Stop", "N1=-", "StopundBeenden1=Stop und Beenden"}));
  EXPECT_EQ(Menu->defaultAction(), Form->Zeitstoppen1);
}

TEST_F(MainFormTest, SavingTwiceWritesTheSameFileAndChangesNothingOnScreen) {
  StartWithProject(2);
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton14->click();  // the change that the saves must write
  const QStringList Before = Lines();
  Form->ToolButton9->click();
  const std::string First = ReadFile("woche.crf");
  Form->ToolButton9->click();
  EXPECT_EQ(ReadFile("woche.crf"), First);
  EXPECT_EQ(First.size(), 280u);
  EXPECT_EQ(Lines(), Before);
}

TEST_F(MainFormTest, NewThatIsCancelledStillSavesTheProject) {
  StartWithProject(2);
  Form->ListBox1->setCurrentRow(1);
  Form->ToolButton14->click();
  QString Title;
  Answers.Expect(RejectDialog(&Title));
  Form->ToolButton1->click();
  EXPECT_EQ(Title, "Neu");
  EXPECT_EQ(ReadFile("woche.crf").size(), 280u);
  EXPECT_EQ(Form->ProjectFileName(), InFolder("woche.crf"));
  EXPECT_EQ(Lines().size(), 1);
}

TEST_F(MainFormTest, NewWithAnExistingNameEmptiesTheListAndOverwritesAtTheNextSave) {
  StartWithProject(2);
  WriteProject("alt.crf", 3);
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("alt.crf"))));
  Form->ToolButton1->click();
  EXPECT_EQ(Form->ProjectFileName(), InFolder("alt.crf"));
  EXPECT_TRUE(Lines().isEmpty());
  EXPECT_EQ(Form->windowTitle(), "Chronark - alt.crf");
  EXPECT_EQ(ReadFile("alt.crf").size(), 840u);
  Form->ToolButton9->click();
  EXPECT_EQ(ReadFile("alt.crf").size(), 0u);
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u);
}

// Notes the name field of a file dialog, presses its accept button as Enter
// would, notes whether that left the dialog open, and cancels it.
std::function<void(QWidget*)> EnterOnTheGivenName(QString* Name, bool* StayedOpen) {
  return [Name, StayedOpen](QWidget* Widget) {
    auto* Dialog = qobject_cast<QFileDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr);
    auto* Field = Dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(Field, nullptr);
    *Name = Field->text();
    static_cast<QDialog*>(Dialog)->accept();
    *StayedOpen = Dialog->isVisible() && Dialog->result() != QDialog::Accepted;
    if (*StayedOpen) Dialog->reject();
  };
}

TEST_F(MainFormTest, NewAndExportStartWithAnEmptyNameSoThatEnterChoosesNoFile) {
  StartWithProject(2);
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("zweit.crf"))));
  Form->ToolButton1->click();
  ASSERT_EQ(Form->ProjectFileName(), InFolder("zweit.crf"));
  Form->Manager()->AddEntry(1, 2, "");
  Form->ToolButton9->click();
  const std::string Saved = ReadFile("zweit.crf");
  ASSERT_EQ(Saved.size(), 280u);

  QString ExportName = "?", NewName = "?";
  bool ExportStayed = false, NewStayed = false;
  Answers.Expect(EnterOnTheGivenName(&ExportName, &ExportStayed));
  Form->ToolButton10->click();
  EXPECT_EQ(ExportName, "");
  EXPECT_TRUE(ExportStayed);
  EXPECT_EQ(ReadFile("zweit.crf"), Saved);

  Answers.Expect(EnterOnTheGivenName(&NewName, &NewStayed));
  Form->ToolButton1->click();
  EXPECT_EQ(NewName, "");
  EXPECT_TRUE(NewStayed);
  EXPECT_EQ(Form->ProjectFileName(), InFolder("zweit.crf"));
  EXPECT_EQ(Form->Manager()->Entries().size(), 1u);
}

TEST_F(MainFormTest, TheListScrollsToTheEndOfTheLongestRemarkWhereverItStands) {
  StartWithProject(0);
  Form->Manager()->AddEntry(1, 2, std::string(200, 'W'));
  Form->Manager()->AddEntry(1, 2, "kurz");
  Form->RefreshView();
  QListWidget* List = Form->ListBox1;
  const int Needed = List->sizeHintForIndex(List->model()->index(0, 0)).width();
  ASSERT_GT(Needed, List->viewport()->width());
  EXPECT_TRUE(WaitUntil([&] { return List->horizontalScrollBar()->maximum() > 0; }));
  EXPECT_GE(List->visualItemRect(List->item(0)).width(), Needed);
}

TEST_F(MainFormTest, OpenSavesFirstAndWritesAParentStepIntoTheSettingsAtClose) {
  Environment.ProgramFolder = InFolder("prog/");
  Environment.SettingsFile = InFolder("prog/chronark.ini");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("prog"))));
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("andere"))));
  WriteProject("prog/woche.crf", 2);
  WriteFile("prog/chronark.ini", "[Main]\nProject=woche.crf\n");
  WriteProject("andere/x.crf", 4);
  Start();
  EXPECT_EQ(Lines().size(), 2);
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("andere/x.crf"))));
  Form->ToolButton2->click();
  EXPECT_EQ(Lines().size(), 4);
  EXPECT_EQ(Form->windowTitle(), "Chronark - x.crf");
  Form->AppClose();
  EXPECT_EQ(ReadFile("prog/chronark.ini"), "[Main]\nProject=../andere/x.crf\n");
}

TEST_F(MainFormTest, OpenOfTheOpenProjectReloadsIt) {
  StartWithProject(2);
  const QStringList Before = Lines();
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("woche.crf"))));
  Form->ToolButton2->click();
  EXPECT_EQ(Lines(), Before);
}

// The name field's completion may pop up only once its folder has been read,
// which can be after the dialog was confirmed; a popup left on screen would
// take the next click on the window.
TEST_F(MainFormTest, NoFileNameCompletionStaysUpAfterTheDialogHasClosed) {
  StartWithProject(1);
  for (QFileDialog* Dialog : {Form->OpenDialog1, Form->SaveDialog1}) {
    auto* Name = Dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(Name, nullptr);
    ASSERT_NE(Name->completer(), nullptr);
    QWidget* Popup = Name->completer()->popup();
    Answers.Expect(ChooseFile(QString::fromStdString(InFolder("woche.crf"))));
    if (Dialog == Form->OpenDialog1)
      Form->ToolButton2->click();
    else
      Form->ToolButton1->click();
    ASSERT_FALSE(Dialog->isVisible());
    Name->setText(QStringLiteral("wo"));
    Name->completer()->complete();
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_FALSE(Popup->isVisible()) << Dialog->objectName().toStdString();
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << Dialog->objectName().toStdString();
  }
}

// A name typed whole that is also proposed by the completion: one Enter opens
// it, also with the guard that closes late completions watching the list.
TEST_F(MainFormTest, EnterWhileTheCompletionIsShownConfirmsTheDialog) {
  StartWithProject(1);
  WriteFile("zweit.crf", RecordBytes({1, 2, 0, 0, "aus zweit"}));
  bool PopupWasShown = false;
  Answers.Expect([&](QWidget* Widget) {
    auto* Dialog = qobject_cast<QFileDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr);
    Dialog->setDirectory(QString::fromStdString(InFolder("")));
    auto* Name = Dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(Name, nullptr);
    Name->setText(QStringLiteral("zweit.crf"));
    QWidget* Popup = Name->completer()->popup();
    Name->completer()->setCompletionPrefix(Name->text());
    Name->completer()->complete();
    PopupWasShown = WaitUntil([&] { return Popup->isVisible(); });
    QKeyEvent Press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Popup, &Press);
  });
  Form->ToolButton2->click();
  ASSERT_TRUE(PopupWasShown);
  EXPECT_EQ(Form->ProjectFileName(), InFolder("zweit.crf"));
  EXPECT_EQ(Lines().size(), 1u);
}

TEST_F(MainFormTest, AFailedOpenKeepsTheProjectSoThatNoSaveWritesOverTheOtherFile) {
  StartWithProject(2);
  const std::string Busy = MakeBusyFile("busy.crf");
  const std::string BusyBytes = ReadFile("busy.crf");
  TSeenBox Seen;
  Answers.Expect(ChooseFile(QString::fromStdString(Busy)));
  Answers.Expect(ClickButton("OK", &Seen));
  Form->ToolButton2->click();
  EXPECT_EQ(Seen.Text, "Cannot open file " + QString::fromStdString(Busy) + ": Text file busy.");
  EXPECT_EQ(Seen.Title, "Chronark - woche.crf");
  EXPECT_EQ(Form->ProjectFileName(), InFolder("woche.crf"));
  EXPECT_EQ(Lines().size(), 2);
  EXPECT_EQ(Form->Manager()->Entries().size(), 2u);
  Form->AppClose();
  EXPECT_EQ(ReadFile("woche.crf").size(), 560u);
  EXPECT_EQ(ReadFile("busy.crf"), BusyBytes);
}

TEST_F(MainFormTest, ExportWritesThePageAndChangesNeitherCaptionNorProject) {
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("export"))));
  WriteFile("export/header.txt", "<html>\n");
  WriteFile("export/item.txt", "<p>%bemerkung%</p>\n");
  WriteFile("export/footer.txt", "</html>\n");
  StartWithProject(2);
  const std::string Project = ReadFile("woche.crf");
  QString Title;
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("bericht")), &Title));
  Form->ToolButton10->click();
  EXPECT_EQ(Title, "Exportieren");
  EXPECT_TRUE(Exists("bericht.htm"));
  EXPECT_NE(ReadFile("bericht.htm").find("<html>"), std::string::npos);
  EXPECT_EQ(Form->windowTitle(), "Chronark - woche.crf");
  EXPECT_EQ(Form->ProjectFileName(), InFolder("woche.crf"));
  EXPECT_EQ(ReadFile("woche.crf"), Project);
}

struct TFilterCase {
  const char* Name;
  bool (TMainForm::*Execute)();
  QFileDialog* TMainForm::*Dialog;
  const char* Labels;
  const char* FirstPatterns;
  const char* TypedName;
};

class DialogFilterTest : public TFormTest, public testing::WithParamInterface<TFilterCase> {};

// The type box shows the labels as written; the file list follows the
// patterns, with "*.*" listing every file, and switching the type keeps the
// typed name.
TEST_P(DialogFilterTest, ShowsTheLabelsAndListsEveryFileForAllFiles) {
  StartWithProject(0);
  QStringList Seen, FirstFilters, AllFilters;
  QString Typed;
  Answers.Expect([&](QWidget* Widget) {
    auto* Dialog = qobject_cast<QFileDialog*>(Widget);
    ASSERT_EQ(Dialog, (*Form).*GetParam().Dialog);
    auto* Types = Dialog->findChild<QComboBox*>("fileTypeCombo");
    auto* Model = Dialog->findChild<QFileSystemModel*>();
    auto* Name = Dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_TRUE(Types && Model && Name);
    for (int I = 0; I < Types->count(); ++I) Seen << Types->itemText(I);
    FirstFilters = Model->nameFilters();
    Name->setText(GetParam().TypedName);
    Types->setCurrentIndex(1);
    emit Types->activated(1);  // as a choice of the user
    AllFilters = Model->nameFilters();
    Typed = Name->text();
    Dialog->reject();
  });
  EXPECT_FALSE(((*Form).*GetParam().Execute)());
  EXPECT_EQ(Seen.join("|"), QString::fromUtf8(GetParam().Labels));
  EXPECT_EQ(FirstFilters.join(";"), QString::fromUtf8(GetParam().FirstPatterns));
  EXPECT_EQ(AllFilters, QStringList({"*"}));
  EXPECT_EQ(Typed, QString::fromUtf8(GetParam().TypedName));
}

INSTANTIATE_TEST_SUITE_P(
    Dialogs, DialogFilterTest,
    testing::Values(TFilterCase{"New", &TMainForm::ExecuteNewDialog, &TMainForm::SaveDialog1,
                                "Chronark File (*.crf)|Alle Dateien (*.*)", "*.crf", "projekt.crf"},
                    TFilterCase{"Open", &TMainForm::ExecuteOpenDialog, &TMainForm::OpenDialog1,
                                "Chronark File (*.crf)|Alle Dateien (*.*)", "*.crf", "projekt.crf"},
                    TFilterCase{"Export", &TMainForm::ExecuteExportDialog, &TMainForm::SaveDialog1,
                                "HTML File (*.htm;*.html)|Alle Dateien (*.*)", "*.htm;*.html",
                                "bericht.htm"}),
    [](const testing::TestParamInfo<TFilterCase>& Info) { return std::string(Info.param.Name); });

// The new and export dialogs share one dialog: each starts with an empty name.
TEST_F(MainFormTest, TheSharedSaveDialogStartsEachUseWithAnEmptyName) {
  StartWithProject(0);
  QString ExportName = "unset", NewName = "unset";
  const auto NameOf = [](QWidget* Widget) {
    auto* Name = Widget->findChild<QLineEdit*>("fileNameEdit");
    return Name ? Name->text() : QString("no field");
  };
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("zweites"))));
  Form->ToolButton1->click();
  ASSERT_EQ(Form->ProjectFileName(), InFolder("zweites.crf"));
  Answers.Expect([&](QWidget* Widget) {
    ExportName = NameOf(Widget);
    static_cast<QDialog*>(Widget)->reject();
  });
  Form->ToolButton10->click();
  Answers.Expect([&](QWidget* Widget) {
    NewName = NameOf(Widget);
    static_cast<QDialog*>(Widget)->reject();
  });
  Form->ToolButton1->click();
  EXPECT_EQ(ExportName, "");
  EXPECT_EQ(NewName, "");
}

TEST(DialogFilter, SplitsLabelsAndPatternsAtTheBars) {
  const TDialogFilter Filter =
      ParseDialogFilter("A (*.a;*.b)|*.a; *.b|Alle Dateien (*.*)|*.*|Rest");
  EXPECT_EQ(Filter.Labels, QStringList({"A (*.a;*.b)", "Alle Dateien (*.*)"}));
  ASSERT_EQ(Filter.Patterns.size(), 2);
  EXPECT_EQ(Filter.Patterns[0], QStringList({"*.a", "*.b"}));
  EXPECT_EQ(Filter.Patterns[1], QStringList({"*"}));
}

TEST_F(MainFormTest, DeleteWithoutSelectionChangesNothingAndRemovesTheSelectedLastLine) {
  StartWithProject(3);
  const QStringList Before = Lines();
  Form->ToolButton14->click();
  EXPECT_EQ(Lines(), Before);
  Form->ListBox1->setCurrentRow(2);
  Form->ToolButton14->click();
  EXPECT_EQ(Lines(), Before.mid(0, 2));
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton14->click();
  EXPECT_EQ(Lines(), Before.mid(1, 1));
  EXPECT_EQ(Status(), "Gesamt: 1 Std, 15 Min");
}

struct TRemarkCase {
  const char* Name;
  QString Typed;
  bool Accept;
  std::string Stored;  // Windows-1252 bytes
};

class RemarkTest : public TFormTest, public testing::WithParamInterface<TRemarkCase> {};

TEST_P(RemarkTest, EditsTheSelectedRemark) {
  StartWithProject(2);
  Form->ListBox1->setCurrentRow(1);
  QString Prefilled, Title, Label;
  TSeenBox Buttons;
  Answers.Expect([&](QWidget* Box) {
    Buttons.Buttons.clear();
    for (auto* B : Box->findChildren<QAbstractButton*>()) Buttons.Buttons << B->text();
    EnterText(GetParam().Typed, GetParam().Accept, &Prefilled, &Title, &Label)(Box);
  });
  Form->ToolButton15->click();
  EXPECT_EQ(Prefilled, "Eintrag 1");
  EXPECT_EQ(Title, "Bemerkung editieren");
  EXPECT_EQ(Label, "Bemerkung:");
  EXPECT_TRUE(Buttons.Buttons.contains("OK"));
  EXPECT_TRUE(Buttons.Buttons.contains("Abbrechen"));
  EXPECT_EQ(Form->Manager()->GetComment(1), GetParam().Stored);
  EXPECT_EQ(Form->Manager()->GetComment(0), "Eintrag 0");
  EXPECT_EQ(Form->ListBox1->currentRow(), -1);  // the list was refilled
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RemarkTest,
    testing::Values(TRemarkCase{"Ok", "Kunde Müller", true, "Kunde M\xFCller"},
                    TRemarkCase{"Cancel", "verworfen", false, "Eintrag 1"},
                    TRemarkCase{"Exactly255", QString(255, u'x'), true, std::string(255, 'x')},
                    TRemarkCase{"PastedBeyond255", QString(300, u'y'), true, std::string(255, 'y')},
                    TRemarkCase{"Empty", "", true, ""},
                    TRemarkCase{"OutsideTheCodePage", "5 € für ✓", true, "5 \x80 f\xFCr ?"}),
    [](const testing::TestParamInfo<TRemarkCase>& Info) { return Info.param.Name; });

TEST_F(MainFormTest, EditWithoutSelectionOnlyRefreshes) {
  StartWithProject(1);
  Form->ToolButton15->click();
  EXPECT_EQ(Form->Manager()->GetComment(0), "Eintrag 0");
  EXPECT_EQ(Lines().size(), 1);
}

TEST_F(MainFormTest, InfoShowsTheMakersNoticeWithoutTheLibrary) {
  StartWithProject(0);
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Form->ToolButton8->click();
  EXPECT_EQ(Seen.Title, "Chronark - woche.crf");
  EXPECT_EQ(Seen.Icon, QMessageBox::NoIcon);
  EXPECT_EQ(Seen.Buttons, QStringList({"OK"}));
  EXPECT_TRUE(Seen.Text.contains("Tolvane Software"));
  EXPECT_TRUE(Seen.Text.endsWith(".\n\nhttps://www.tolvane-software.example/"));
}

// Close sequence.

TEST_F(MainFormTest, ClosingTheIdleWindowSavesAndWritesTheSettings) {
  StartWithProject(2);
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton14->click();
  Form->close();
  EXPECT_EQ(Ended, 0);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_EQ(ReadFile("woche.crf").size(), 280u);
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=woche.crf\n");
}

TEST_F(MainFormTest, AFailedSaveAtCloseKeepsTheWindowOpenAndTheSettingsUntouched) {
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("sub"))));
  WriteProject("sub/woche.crf", 1);
  WriteSettings("[Main]\nProject=sub/woche.crf\n");
  Start();
  ASSERT_TRUE(QDir().rename(QString::fromStdString(InFolder("sub")),
                            QString::fromStdString(InFolder("weg"))));
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Form->ToolButton12->click();
  EXPECT_EQ(Seen.Text, "Cannot create file " + QString::fromStdString(InFolder("sub/woche.crf")) +
                           ": No such file or directory.");
  EXPECT_FALSE(Ended.has_value());
  EXPECT_TRUE(Form->isVisible());
  EXPECT_EQ(ReadFile("chronark.ini"), "[Main]\nProject=sub/woche.crf\n");
  EXPECT_NE(Form->Manager(), nullptr);
}

TEST_F(MainFormTest, ASettingsFileThatCannotBeWrittenIsReportedOnceAndTheCloseCompletes) {
  WriteFile("blocker", "");
  Environment.SettingsFile = InFolder("blocker/chronark.ini");
  WriteProject("woche.crf", 1);
  Answers.Expect(ClickButton("&Nein"));
  Answers.Expect(ChooseFile(QString::fromStdString(InFolder("woche.crf"))));
  Start();
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton14->click();
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  Form->AppClose();
  EXPECT_EQ(Seen.Text,
            "Unable to write to " + QString::fromStdString(Environment.SettingsFile) + ".");
  EXPECT_EQ(Seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(Ended, 0);
  EXPECT_EQ(ReadFile("woche.crf").size(), 0u);
}

TEST_F(MainFormTest, ACloseRequestWhileTheCloseSequenceShowsItsBoxIsIgnored) {
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(InFolder("sub"))));
  WriteProject("sub/woche.crf", 1);
  WriteSettings("[Main]\nProject=sub/woche.crf\n");
  Start();
  ASSERT_TRUE(QDir().rmdir(QString::fromStdString(InFolder("sub"))) ||
              QDir(QString::fromStdString(InFolder("sub"))).removeRecursively());
  Answers.Expect([&](QWidget* Box) {
    Form->close();  // no second box, no second save
    ClickButton("OK")(Box);
  });
  Form->AppClose();
  EXPECT_FALSE(Ended.has_value());
  EXPECT_TRUE(Form->isVisible());
}

// The standard error box.

struct TErrorTextCase {
  QString Message;
  QString Shown;
};

class ErrorBoxTextTest : public testing::TestWithParam<TErrorTextCase> {};

TEST_P(ErrorBoxTextTest, AddsAPeriodAfterCharactersThatSortAfterIt) {
  EXPECT_EQ(ErrorBoxText(GetParam().Message), GetParam().Shown);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ErrorBoxTextTest,
    testing::Values(TErrorTextCase{"Fehler", "Fehler."}, TErrorTextCase{"Fehler.", "Fehler."},
                    TErrorTextCase{"Fehler!", "Fehler!"}, TErrorTextCase{"(Fehler)", "(Fehler)"},
                    TErrorTextCase{"a-", "a-"}, TErrorTextCase{"a/", "a/."},
                    TErrorTextCase{"Nummer 5", "Nummer 5."}, TErrorTextCase{"Größe", "Größe."},
                    TErrorTextCase{"Ende ", "Ende "}, TErrorTextCase{"", ""}),
    [](const testing::TestParamInfo<TErrorTextCase>& Info) {
      return "Case" + std::to_string(Info.index);
    });

class TThrowingObject : public QObject {
public:
  bool event(QEvent* Event) override {
    if (Event->type() == QEvent::User) throw std::runtime_error("Kaputt");
    return QObject::event(Event);
  }
};

class ErrorBoxTest : public TFormTest {};

TEST_F(ErrorBoxTest, AnExceptionLeavingAHandlerIsShownAndTheProgramGoesOn) {
  SetApplicationTitle("Chronark - woche.crf");
  TThrowingObject Thrower;
  TSeenBox Seen;
  Answers.Expect(ClickButton("OK", &Seen));
  QEvent Event(QEvent::User);
  QCoreApplication::sendEvent(&Thrower, &Event);
  EXPECT_EQ(Seen.Title, "Chronark - woche.crf");
  EXPECT_EQ(Seen.Text, "Kaputt.");
  EXPECT_EQ(Seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(Seen.Buttons, QStringList({"OK"}));
  QEvent Harmless(QEvent::None);
  EXPECT_FALSE(QCoreApplication::sendEvent(&Thrower, &Harmless));
}

}  // namespace
}  // namespace chronark::test
