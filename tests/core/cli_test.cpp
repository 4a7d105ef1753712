// chronark-cli end to end: the built binary, its program folder's templates.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

#include "core/crkm.h"
#include "support/testfs.h"

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

struct TResult {
  int Code = -1;
  std::string Out, Err;
};

std::string Quote(const std::string& S) {
  std::string Q = "'";
  for (char C : S) Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Q + "'";
}

class Cli : public testing::Test {
protected:
  TResult Run(const std::vector<std::string>& Args) {
    std::string Cmd = Quote(CHRONARK_CLI);
    for (const std::string& A : Args) Cmd += " " + Quote(A);
    Cmd += " >" + Quote(D / "stdout") + " 2>" + Quote(D / "stderr");
    const int Status = std::system(Cmd.c_str());
    TResult R;
    R.Code = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    R.Out = ReadFile(D / "stdout");
    R.Err = ReadFile(D / "stderr");
    return R;
  }
  TTempDir D;
};

TEST_F(Cli, HelpIsGermanAlsoAfterACommand) {
  for (const auto& Args :
       std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"list", "--help"}}) {
    const TResult R = Run(Args);
    EXPECT_EQ(R.Code, 0) << testing::PrintToString(Args);
    EXPECT_NE(R.Out.find("Aufruf: chronark-cli"), std::string::npos);
    EXPECT_NE(R.Out.find("trägt eine Zeitspanne ein"), std::string::npos);
    EXPECT_EQ(R.Err, "");
  }
}

TEST_F(Cli, WrongUsageExitsWithTwo) {
  for (const auto& Args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"list"},
           {"list", "a", "b"},
           {"export", "a"},
           {"add", "a", "b"},
           {"csv"},
           {"add", D / "p.crf", "2026-12-07 09:00", "2026-12-07 10:00:00"},
           {"add", D / "p.crf", "2026-02-30 09:00:00", "2026-12-07 10:00:00"},
           {"add", D / "p.crf", "2026-12-07 09:00:00.1234", "2026-12-07 10:00:00"}}) {
    const TResult R = Run(Args);
    EXPECT_EQ(R.Code, 2) << testing::PrintToString(Args);
    EXPECT_NE(R.Err, "");
    EXPECT_EQ(R.Out, "");
  }
  EXPECT_FALSE(test::Exists(D / "p.crf"));
}

TEST_F(Cli, AddListCsv) {
  const std::string P = D / "p.crf";
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:15:03", "2026-12-07 10:20:41"}).Code, 0);
  ASSERT_EQ(
      Run({"add", P, "2020-03-29 01:49:00.250", "2020-03-29 03:15:00", "Grüße, \"Kunde\" €"}).Code,
      0);
  ASSERT_EQ(Run({"add", P, "2026-12-08 00:00:00", "2026-12-07 23:00:00.5", "zurück"}).Code, 0);
  EXPECT_EQ(ReadFile(P).size(), 840u);

  TResult R = Run({"list", P});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(
      R.Out,
      "07.12.2026 09:15:03 - 07.12.2026 10:20:41 = 1 Std, 6 Min -- Bemerkung: (Keine)\n"
      "29.03.2020 01:49:00 - 29.03.2020 03:15:00 = 0 Std, 26 Min -- Bemerkung: Grüße, \"Kunde\" €\n"
      "08.12.2026 - 07.12.2026 23:00:00 = 1 Std, 0 Min -- Bemerkung: zurück\n"
      "Gesamt: 2 Std, 32 Min\n");

  R = Run({"csv", P});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(
      R.Out,
      "Beginn,Ende,Stunden,Minuten,Bemerkung\r\n"
      "2026-12-07T09:15:03+01:00,2026-12-07T10:20:41+01:00,1,6,\r\n"
      "2020-03-29T01:49:00.250+01:00,2020-03-29T03:15:00+02:00,0,26,\"Grüße, \"\"Kunde\"\" €\"\r\n"
      "2026-12-08T00:00:00+01:00,2026-12-07T23:00:00.500+01:00,1,0,zurück\r\n");
}

TEST_F(Cli, RemarkIsStoredAsWindows1252CutTo255) {
  const std::string P = D / "p.crf";
  std::string Long;
  for (int I = 0; I < 300; ++I) Long += "ä";
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 09:00:00", Long + "Ω"}).Code, 0);
  const std::string Bytes = ReadFile(P);
  ASSERT_EQ(Bytes.size(), 280u);
  EXPECT_EQ(uint8_t(Bytes[24]), 255);
  EXPECT_EQ(Bytes.substr(25), std::string(255, '\xE4'));
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 09:00:01", "Ω"}).Code, 0);
  EXPECT_EQ(ReadFile(P).substr(280 + 24, 2), "\x01?");
}

TEST_F(Cli, ExportEqualsTheProgramsExport) {
  const std::string P = D / "p.crf";
  TChronarkMan M;
  M.AddEntry(46363.25, 46363.5, "M\xFCller & <Co>");
  M.AddEntry(46364.0, 46364.01, "");
  M.SaveToFile(P);
  ASSERT_EQ(Run({"export", P, D / "bericht.htm"}).Code, 0);
  SetFormatSettings({"%d.%m.%Y", "%H:%M:%S"});
  M.SetTemplateFolder(CHRONARK_DIST_EXPORT);
  M.ExportHTML(D / "expected.htm");
  ResetFormatSettings();
  const std::string Got = ReadFile(D / "bericht.htm");
  std::string Want = ReadFile(D / "expected.htm");
  StrReplace(Want, "expected.htm", "bericht.htm", true);
  EXPECT_EQ(Got, Want);
  EXPECT_NE(Got.find("M\xFCller & <Co>"), std::string::npos);
}

TEST_F(Cli, ExportToStandardOutput) {
  TChronarkMan M;
  M.AddEntry(46363.25, 46363.5, "x");
  M.SaveToFile(D / "p.crf");
  const TResult R = Run({"export", D / "p.crf", "/dev/stdout"});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(R.Out.rfind("<!DOCTYPE html>\r\n", 0), 0u);
  EXPECT_NE(R.Out.find("<title>Arbeitszeiten \x96 stdout</title>"), std::string::npos);
}

TEST_F(Cli, ErrorsExitWithOneAndTheMessage) {
  TResult R = Run({"list", D / "missing.crf"});
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(R.Out, "");
  EXPECT_EQ(R.Err, "Cannot open file " + (D / "missing.crf") + ": No such file or directory\n");
  WriteFile(D / "p.crf", "");
  R = Run({"export", D / "p.crf", D / "no/out.htm"});
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(R.Err, "Cannot create file " + (D / "no/out.htm") + "\n");
  R = Run({"list", D / "p.crf"});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(R.Out, "Gesamt: 0 Std, 0 Min\n");
}

}  // namespace
}  // namespace chronark
