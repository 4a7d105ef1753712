#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/exceptions.h"
#include "core/crkm.h"
#include "support/testfs.h"
#include "support/testdatetime.h"

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

using test::DT;

class Export : public test::TGermanFormats {
protected:
  void SetUp() override {
    TGermanFormats::SetUp();
    ::mkdir((D / "export").c_str(), 0755);
    Man.SetTemplateFolder(D / "export/");
  }
  void Template(const std::string& Name, const std::string& Text) {
    WriteFile(D / ("export/" + Name), Text);
  }
  void Simple() {
    Template("header.txt", "H");
    Template("item.txt", "I $Hours$:$Minutes$ $Comment$");
    Template("separator.txt", "S");
    Template("sum.txt", "T $SumHours$:$SumMinutes$");
    Template("footer.txt", "F");
  }
  std::string Run(const std::string& Name = "out.htm") {
    Man.ExportHTML(D / Name);
    return ReadFile(D / Name);
  }
  TTempDir D;
  TChronarkMan Man;
};

TEST_F(Export, NoEntriesGivesHeaderSumFooter) {
  Simple();
  EXPECT_EQ(Run(), "H\r\nT 0:0\r\nF\r\n");
}

TEST_F(Export, OneEntryHasNoSeparator) {
  Simple();
  Man.AddEntry(DT(2026, 12, 7, 9), DT(2026, 12, 7, 10, 5), "");
  EXPECT_EQ(Run(), "H\r\nI 1:5 \r\nT 1:5\r\nF\r\n");
}

TEST_F(Export, SeparatorsOnlyBetweenEntries) {
  Simple();
  Man.AddEntry(DT(2026, 12, 7, 9), DT(2026, 12, 7, 9, 40), "a");
  Man.AddEntry(DT(2026, 12, 7, 10), DT(2026, 12, 7, 10, 40), "b");
  Man.AddEntry(DT(2026, 12, 7, 11), DT(2026, 12, 7, 12, 1), "c");
  EXPECT_EQ(Run(), "H\r\nI 0:40 a\r\nS\r\nI 0:40 b\r\nS\r\nI 1:1 c\r\nT 2:21\r\nF\r\n");
}

TEST_F(Export, AllItemPlaceholdersInAnyAsciiCase) {
  Template("item.txt", "$StartTime$|$starttime$|$ENDTIME$|$hOURS$|$minutes$|$COMMENT$|$SumHours$");
  Man.AddEntry(DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7), "R");
  EXPECT_EQ(Run(), "07.12.2026 09:15:03|07.12.2026 09:15:03|07.12.2026|9|16|R|$SumHours$\r\n");
}

TEST_F(Export, PlaceholdersAreFilledOnlyInTheirOwnTemplate) {
  Template("header.txt", "$Hours$ $Comment$ $SumHours$");
  Template("item.txt", "$SumMinutes$");
  Template("sum.txt", "$Hours$ $SumHours$");
  Template("footer.txt", "$SumHours$ $StartTime$");
  Man.AddEntry(DT(2026, 12, 7, 9), DT(2026, 12, 7, 11), "x");
  EXPECT_EQ(
      Run(),
      "$Hours$ $Comment$ $SumHours$\r\n$SumMinutes$\r\n$Hours$ 2\r\n$SumHours$ $StartTime$\r\n");
}

TEST_F(Export, RemarksAreInsertedAsTheyAre) {
  Template("item.txt", "<td>$Comment$</td>");
  Man.AddEntry(1, 1, "a < b & c > d \"\xE4\x80\"");
  Man.AddEntry(1, 1, "$Hours$ stays");
  EXPECT_EQ(Run(), "<td>a < b & c > d \"\xE4\x80\"</td>\r\n<td>$Hours$ stays</td>\r\n");
}

TEST_F(Export, FileNameEverywhereAlsoInRemarks) {
  Template("header.txt", "<title>$filename$</title>");
  Template("item.txt", "$Comment$");
  Template("sum.txt", "$FILENAME$");
  Template("footer.txt", "$FileName$ $filename$");
  Man.AddEntry(1, 1, "in $filename$");
  EXPECT_EQ(Run("woche.htm"),
            "<title>woche.htm</title>\r\nin woche.htm\r\nwoche.htm\r\nwoche.htm woche.htm\r\n");
}

TEST_F(Export, FileNameIsWrittenInTheCodePageOfThePage) {
  Template("header.txt", "<title>$filename$</title>");
  EXPECT_EQ(Run("M\xC3\xA4rz \xE2\x82\xAC.htm"), "<title>M\xE4rz \x80.htm</title>\r\n");
}

TEST_F(Export, LineEndsBecomeCrLf) {
  Template("header.txt", "a\rb\nc\r\nd\n\re");
  Template("footer.txt", "\n\nz\n");
  EXPECT_EQ(Run(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n\r\n\r\nz\r\n");
}

TEST_F(Export, ZeroByteEndsATemplate) {
  Template("header.txt", std::string("ab\ncd\0ef\ngh", 11));
  Template("footer.txt", std::string("\0x", 2));
  EXPECT_EQ(Run(), "ab\r\ncd\r\n");
}

TEST_F(Export, EmptyTemplatesGiveNoLines) {
  Template("header.txt", "");
  Template("item.txt", "");
  Template("separator.txt", "");
  Template("sum.txt", "");
  Man.AddEntry(1, 1, "x");
  Man.AddEntry(1, 1, "y");
  EXPECT_EQ(Run(), "");
}

TEST_F(Export, MissingTemplatesContributeNothing) {
  Template("item.txt", "I");
  Man.AddEntry(1, 1, "x");
  Man.AddEntry(1, 1, "y");
  EXPECT_EQ(Run(), "I\r\nI\r\n");
  Man.SetTemplateFolder(D / "nothing/");
  WriteFile(D / "out.htm", "old");
  EXPECT_EQ(Run(), "");
  EXPECT_TRUE(test::Exists(D / "out.htm"));
}

TEST_F(Export, ItemTemplateIsReadForEveryEntry) {
  // A folder named item.txt is not a template file.
  ::mkdir((D / "export/item.txt").c_str(), 0755);
  Template("sum.txt", "T");
  Man.AddEntry(1, 1, "x");
  EXPECT_EQ(Run(), "T\r\n");
}

TEST_F(Export, APipeAsTemplateIsAnErrorNotAHang) {
  Simple();
  ::unlink((D / "export/footer.txt").c_str());
  ASSERT_EQ(::mkfifo((D / "export/footer.txt").c_str(), 0644), 0);
  EXPECT_THROW(Man.ExportHTML(D / "out.htm"), EFOpenError);
  EXPECT_FALSE(test::Exists(D / "out.htm"));
}

TEST_F(Export, PlaceholderInItsOwnValueEnds) {
  Template("item.txt", "[$Comment$] [$$Comment$]");
  Man.AddEntry(1, 1, "$comment$");
  Man.AddEntry(1, 1, "Comment$$Comment");
  EXPECT_EQ(Run("$filename$.htm"),
            "[$comment$] [$$comment$]\r\n[Comment$$Comment] [$Comment$$Comment]\r\n");
}

TEST_F(Export, UnreadableTemplateStopsBeforeTheOutput) {
  Simple();
  WriteFile(D / "out.htm", "previous");
  ::chmod((D / "export/sum.txt").c_str(), 0);
  Man.AddEntry(1, 1, "x");
  test::TAsUser User;
  try {
    Man.ExportHTML(D / "out.htm");
    FAIL();
  } catch (const EFOpenError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot open file " + (D / "export/sum.txt"));
  }
  EXPECT_EQ(ReadFile(D / "out.htm"), "previous");
  EXPECT_EQ(Man.ExportFileName(), D / "out.htm");
  EXPECT_EQ(Man.Entries().size(), 1u);
}

TEST_F(Export, OutputThatCannotBeCreated) {
  Simple();
  try {
    Man.ExportHTML(D / "no/folder/out.htm");
    FAIL();
  } catch (const EFCreateError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot create file " + (D / "no/folder/out.htm"));
  }
  EXPECT_EQ(Man.ExportFileName(), D / "no/folder/out.htm");
}

TEST_F(Export, DefaultTemplatesMakeAWindows1252Page) {
  Man.SetTemplateFolder(CHRONARK_DIST_EXPORT);
  Man.AddEntry(DT(2026, 12, 7, 9, 15, 3), DT(2026, 12, 7, 10, 20, 41), "Kunde M\xFCller");
  Man.AddEntry(DT(2026, 12, 8, 8), DT(2026, 12, 8, 9), "");
  const std::string Page = Run("woche.htm");
  EXPECT_NE(Page.find("charset=\"windows-1252\""), std::string::npos);
  EXPECT_NE(Page.find("<title>Arbeitszeiten \x96 woche.htm</title>"), std::string::npos);
  EXPECT_NE(Page.find("\xDC"
                      "bersicht"),
            std::string::npos);
  EXPECT_NE(Page.find("<td>07.12.2026 09:15:03</td><td>07.12.2026 10:20:41</td>"
                      "<td class=\"zahl\">1</td><td class=\"zahl\">6</td><td>Kunde M\xFCller</td>"),
            std::string::npos);
  EXPECT_NE(Page.find("<td class=\"zahl\">2</td><td class=\"zahl\">6</td>"), std::string::npos);
  EXPECT_EQ(Page.find('$'), std::string::npos) << "every placeholder filled";
  EXPECT_EQ(Page.substr(Page.size() - 9), "</html>\r\n");
}

}  // namespace
}  // namespace chronark
