// ListBox1 as a view over the manager's entries: its lines, their widths and
// what happens when the entries change under it.

#include "window_support.h"

#include "app/entrylist.h"
#include "app/qtconvert.h"

#include <QScrollBar>

namespace chronark::test {
namespace {

class EntryListTest : public TFormTest {};

TEST_F(EntryListTest, LineIIsEntryIAsTheCommandLineWritesIt) {
  StartWithProject(0);
  for (int I = 0; I < 500; ++I)
    Form->Manager()->AddEntry(46000 + I, 46000 + I + 0.01 * (I % 7), I % 2 ? "" : "Bäcker €");
  Form->RefreshView();
  TStrings Expected;
  Form->Manager()->FillStrings(Expected);
  ASSERT_EQ(Form->ListBox1->count(), 500);
  for (int I = 0; I < 500; ++I)
    ASSERT_EQ(Form->ListBox1->LineAt(I), TextToQt(Expected[static_cast<size_t>(I)])) << I;
  EXPECT_EQ(Lines().size(), 500);
  EXPECT_TRUE(Lines()[1].endsWith("Bemerkung: (Keine)"));
}

TEST_F(EntryListTest, TheScrollBarReachesTheEndOfALongRemarkInTheMiddleAndShrinksWithout) {
  StartWithProject(0);
  for (int I = 0; I < 2000; ++I)
    Form->Manager()->AddEntry(46000, 46000.01, I == 1234 ? std::string(250, 'W') : "kurz");
  Form->RefreshView();
  QListView* List = Form->ListBox1;
  const int Needed = List->fontMetrics().horizontalAdvance(Lines()[1234]);
  ASSERT_GT(Needed, List->viewport()->width());
  // Every line is as wide as the widest: none is cut short with "…".
  for (int Row : {0, 1234, 1999})
    EXPECT_GE(List->visualRect(List->model()->index(Row, 0)).width(), Needed) << Row;
  EXPECT_TRUE(WaitUntil([&] { return List->horizontalScrollBar()->maximum() > 0; }));

  Form->Manager()->Delete(1234);
  Form->RefreshView();
  EXPECT_TRUE(WaitUntil([&] { return List->horizontalScrollBar()->maximum() == 0; }));
}

TEST_F(EntryListTest, EntriesRemovedBeforeTheRefreshDrawAsEmptyLines) {
  StartWithProject(3);
  Form->Manager()->Clear();
  // Drawn before the refresh that follows every change: no entry is reached.
  EXPECT_EQ(Form->ListBox1->LineAt(2), "");
  Form->ListBox1->repaint();
  Form->RefreshView();
  EXPECT_EQ(Form->ListBox1->count(), 0);
  EXPECT_EQ(Form->ListBox1->LineAt(-1), "");
}

TEST_F(EntryListTest, ARefreshLosesTheSelection) {
  StartWithProject(3);
  Form->ListBox1->setCurrentRow(2);
  EXPECT_EQ(Form->ListBox1->SelectedRow(), 2);
  Form->RefreshView();
  EXPECT_EQ(Form->ListBox1->SelectedRow(), -1);
}

}  // namespace
}  // namespace chronark::test
