#include "platform/files/inifile.h"

#include <gtest/gtest.h>

#include "common/exceptions.h"
#include "support/testfs.h"

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

struct TReadCase {
  const char* Name;
  std::string Text;
  const char* Section;
  const char* Key;
  std::string Expected;
};
void PrintTo(const TReadCase& C, std::ostream* Os) { *Os << C.Name; }

class IniRead : public testing::TestWithParam<TReadCase> {};

TEST_P(IniRead, FindsTheValue) {
  const TReadCase& C = GetParam();
  EXPECT_EQ(ReadProfileStringFromText(C.Text, C.Section, C.Key, "DEF"), C.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, IniRead,
    testing::Values(TReadCase{"Plain", "[Main]\nProject=a.crf\n", "Main", "Project", "a.crf"},
                    TReadCase{"NamesIgnoreAsciiCase", "[mAIN]\nPROJECT=x\n", "Main", "project",
                              "x"},
                    TReadCase{"UmlautsKeepCase", "[\xC4]\nk=x\n", "\xE4", "k", "DEF"},
                    TReadCase{"BlanksTrimmed", "  [ Main ]  \n \t Project \t=  a b  \t\n", "Main",
                              "Project", "a b"},
                    TReadCase{"DoubleQuotesRemoved", "[s]\nk=\" a b \"\n", "s", "k", " a b "},
                    TReadCase{"SingleQuotesRemoved", "[s]\nk='x'\n", "s", "k", "x"},
                    TReadCase{"OnlyOnePairRemoved", "[s]\nk=\"\"x\"\"\n", "s", "k", "\"x\""},
                    TReadCase{"MismatchedQuotesKept", "[s]\nk=\"x'\n", "s", "k", "\"x'"},
                    TReadCase{"LoneQuoteKept", "[s]\nk=\"\n", "s", "k", "\""},
                    TReadCase{"CommentLinesIgnored", "[s]\n;k=1\n  ;k=2\nk=3\n", "s", "k", "3"},
                    TReadCase{"FirstKeyWins", "[s]\nk=1\nk=2\n", "s", "k", "1"},
                    TReadCase{"FirstSectionWins", "[s]\na=1\n[s]\nk=2\n", "s", "k", "DEF"},
                    TReadCase{"KeyInOtherSection", "[t]\nk=1\n[s]\nj=2\n", "s", "k", "DEF"},
                    TReadCase{"KeyBeforeAnySection", "k=1\n[s]\n", "s", "k", "DEF"},
                    TReadCase{"EmptyValue", "[s]\nk=\n", "s", "k", ""},
                    TReadCase{"EqualsInValue", "[s]\nk=a=b\n", "s", "k", "a=b"},
                    TReadCase{"CrLf", "[s]\r\nk=v\r\n", "s", "k", "v"},
                    TReadCase{"CrOnly", "[s]\rk=v\r", "s", "k", "v"},
                    TReadCase{"NoFinalLineEnd", "[s]\nk=v", "s", "k", "v"},
                    TReadCase{"ByteOrderMark", "\xEF\xBB\xBF[s]\nk=v\n", "s", "k", "v"},
                    TReadCase{"Windows1252Bytes",
                              "[s]\nk=Gr\xFC\xDF"
                              "e\n",
                              "s", "k",
                              "Gr\xFC\xDF"
                              "e"},
                    TReadCase{"CutTo2047", "[s]\nk=" + std::string(3000, 'x') + "\n", "s", "k",
                              std::string(2047, 'x')},
                    TReadCase{"EmptyText", "", "s", "k", "DEF"}),
    [](const testing::TestParamInfo<TReadCase>& I) { return I.param.Name; });

TEST(IniRead, TellsWhenTheValueWasCut) {
  bool WasCut = true;
  EXPECT_EQ(ReadProfileStringFromText("[s]\nk=\"" + std::string(2047, 'x') + "\"\n", "s", "k", "",
                                      &WasCut),
            std::string(2047, 'x'));
  EXPECT_FALSE(WasCut);
  EXPECT_EQ(
      ReadProfileStringFromText("[s]\nk=" + std::string(2048, 'x') + "\n", "s", "k", "", &WasCut)
          .size(),
      2047u);
  EXPECT_TRUE(WasCut);
  ReadProfileStringFromText("[s]\n", "s", "k", std::string(3000, 'd'), &WasCut);
  EXPECT_TRUE(WasCut);  // a long default is cut the same way
}

TEST(IniRead, MissingFileGivesTheDefault) {
  TTempDir D;
  EXPECT_EQ(ReadPrivateProfileString(D / "none.ini", "Main", "Project", "dflt"), "dflt");
}

struct TWriteCase {
  const char* Name;
  std::string Before;
  std::string After;
};
void PrintTo(const TWriteCase& C, std::ostream* Os) { *Os << C.Name; }

class IniWrite : public testing::TestWithParam<TWriteCase> {};

TEST_P(IniWrite, ChangesOnlyTheKey) {
  EXPECT_EQ(WriteProfileStringToText(GetParam().Before, "Main", "Project", "b.crf"),
            GetParam().After);
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, IniWrite,
    testing::Values(
        TWriteCase{"NewFile", "", "[Main]\nProject=b.crf\n"},
        TWriteCase{"ReplacesFirstMatch",
                   "; kept\n[other]\nProject=x\n[MAIN]\n  project = a.crf \nProject=c\n",
                   "; kept\n[other]\nProject=x\n[MAIN]\nProject=b.crf\nProject=c\n"},
        TWriteCase{"KeepsCrLf", "[Main]\r\nA=1\r\nProject=a\r\n",
                   "[Main]\r\nA=1\r\nProject=b.crf\r\n"},
        TWriteCase{"AddsKeyAtEndOfSection", "[Main]\nA=1\n\n[Next]\nB=2\n",
                   "[Main]\nA=1\nProject=b.crf\n\n[Next]\nB=2\n"},
        TWriteCase{"AddsKeyAtEndOfFile", "[Main]\nA=1", "[Main]\nA=1\nProject=b.crf\n"},
        TWriteCase{"AddsSection", "[Other]\nA=1\n", "[Other]\nA=1\n\n[Main]\nProject=b.crf\n"},
        TWriteCase{"AddsSectionAfterUnendedLine", "[Other]\nA=1",
                   "[Other]\nA=1\n\n[Main]\nProject=b.crf\n"},
        TWriteCase{"ReplacedLastLineKeepsMissingEnd", "[Main]\nProject=a", "[Main]\nProject=b.crf"},
        TWriteCase{"ByteOrderMarkStaysInFront", "\xEF\xBB\xBF[Main]\nProject=a\n",
                   "\xEF\xBB\xBF[Main]\nProject=b.crf\n"},
        TWriteCase{"CommentedKeyNotReplaced", "[Main]\n;Project=a\n",
                   "[Main]\n;Project=a\nProject=b.crf\n"}),
    [](const testing::TestParamInfo<TWriteCase>& I) { return I.param.Name; });

TEST(IniFile, WriteThenReadBack) {
  TTempDir D;
  WriteFile(D / "c.ini", "[Main]\r\nOther=1\r\n");
  WritePrivateProfileString(D / "c.ini", "Main", "Project", "\xFC.crf");
  EXPECT_EQ(ReadPrivateProfileString(D / "c.ini", "main", "PROJECT", ""), "\xFC.crf");
  EXPECT_EQ(ReadFile(D / "c.ini"), "[Main]\r\nOther=1\r\nProject=\xFC.crf\r\n");
}

TEST(IniFile, UnwritableFileRaisesUnableToWrite) {
  TTempDir D;
  ::mkdir((D / "ro").c_str(), 0755);
  test::MakeFolderReadOnly(D / "ro");
  test::TAsUser User;
  try {
    WritePrivateProfileString(D / "ro/chronark.ini", "Main", "Project", "x");
    FAIL() << "no error";
  } catch (const EIniFileException& E) {
    EXPECT_EQ(std::string(E.what()), "Unable to write to " + (D / "ro/chronark.ini"));
    EXPECT_EQ(E.ErrorCode(), EACCES);
  }
}

}  // namespace
}  // namespace chronark
