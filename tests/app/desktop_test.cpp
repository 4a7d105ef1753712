// The window on today's desktops: German in Qt's own widgets, file dialogs
// that show their columns whole, a remark box of 80 characters, no maximise,
// and no settings file of Qt's own.

#include "window_support.h"

#include "app/trayicon.h"

#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QAbstractProxyModel>
#include <QSettings>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

namespace chronark::test {
namespace {

class DesktopTest : public TFormTest {};

TEST_F(DesktopTest, TheOpenDialogShowsGermanColumnsWholeAndWritesNoSettings) {
  StartWithProject(2);
  EXPECT_EQ(QLocale().language(), QLocale::German);
  bool Checked = false;
  Answers.Expect([&](QWidget* Widget) {
    auto* Dialog = qobject_cast<QFileDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr);
    auto* Tree = Dialog->findChild<QTreeView*>("treeView");
    auto* Model = Dialog->findChild<QFileSystemModel*>();
    ASSERT_NE(Tree, nullptr);
    ASSERT_NE(Model, nullptr);
    const QString Path = QString::fromStdString(InFolder("woche.crf"));
    ASSERT_TRUE(WaitUntil([&] { return Model->rowCount(Model->index(Path).parent()) > 0; }));
    QTest::qWait(50);  // the columns follow the folder's contents
    // Asked again once the folder is read: rows move while it fills.
    const QModelIndex File = Model->index(Path);
    EXPECT_GT(Dialog->width(), 624);  // Qt's own size
    // What the list shows, through the dialog's proxy.
    const auto Shown = [&](int Column) {
      const QModelIndex Source = Model->index(File.row(), Column, File.parent());
      return Dialog->proxyModel()->mapFromSource(Source).data().toString();
    };
    EXPECT_EQ(Shown(1), "560 Bytes");
    EXPECT_EQ(Shown(2), "unbekannt");
    EXPECT_TRUE(
        QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d$").match(Shown(3)).hasMatch())
        << Shown(3).toStdString();
    QHeaderView* Header = Tree->header();
    for (int Column = 0; Column < 4; ++Column)
      EXPECT_GE(Header->sectionSize(Column),
                static_cast<QAbstractItemView*>(Tree)->sizeHintForColumn(Column))
          << Column;
    EXPECT_LE(Header->length(), Tree->viewport()->width());
    Checked = true;
    Dialog->reject();
  });
  Form->ToolButton2->click();
  EXPECT_TRUE(Checked);
  // The dialogs would keep their state in ~/.config/QtProject.conf.
  const QString QtSettings = QSettings(QSettings::UserScope, "QtProject").fileName();
  EXPECT_TRUE(QtSettings.startsWith("/dev/null/")) << QtSettings.toStdString();
  delete Form->OpenDialog1;
  EXPECT_FALSE(QFile::exists(QtSettings));
}

TEST_F(DesktopTest, TheRemarkBoxShowsEightyCharacters) {
  StartWithProject(1);
  int Shown = 0;
  int Needed = 0;
  Answers.Expect([&](QWidget* Widget) {
    auto* Edit = Widget->findChild<QLineEdit*>();
    ASSERT_NE(Edit, nullptr);
    Shown = Edit->width();
    Needed = Edit->fontMetrics().averageCharWidth() * 80;
    qobject_cast<QDialog*>(Widget)->reject();
  });
  Form->ListBox1->setCurrentRow(0);
  Form->ToolButton15->click();
  EXPECT_GE(Shown, Needed);
  EXPECT_GT(Needed, 0);
}

TEST_F(DesktopTest, NoWindowCanBeMaximised) {
  StartWithProject(1);
  EXPECT_FALSE(Form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(Form->windowFlags() & Qt::WindowMinimizeButtonHint);
  Form->setWindowState(Qt::WindowMaximized);
  EXPECT_TRUE(WaitUntil([&] { return !(Form->windowState() & Qt::WindowMaximized); }));
  EXPECT_TRUE(Form->isVisible());

  Form->StartWork();
  QWidget* StandIn = Form->RxTrayIcon1()->FallbackWindow();
  ASSERT_NE(StandIn, nullptr);
  const Qt::WindowFlags Flags = StandIn->windowFlags();
  EXPECT_TRUE(Flags & Qt::WindowTitleHint);
  EXPECT_FALSE(Flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(StandIn->minimumSize(), StandIn->maximumSize());
  Form->StopWork();
}

}  // namespace
}  // namespace chronark::test
