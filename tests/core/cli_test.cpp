// chronark-cli end to end: the built binary, its program folder's templates.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "core/crkm.h"
#include "platform/files/projectlock.h"
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
  // Prefix: what runs the program, such as a switch to another user.
  TResult Run(const std::vector<std::string>& Args, const std::string& Prefix = "") {
    std::string Cmd = Prefix + Quote(CHRONARK_CLI);
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
  for (const auto& Args : std::vector<std::vector<std::string>>{{"--help"}, {"-h"}}) {
    const TResult R = Run(Args);
    EXPECT_EQ(R.Code, 0) << testing::PrintToString(Args);
    EXPECT_NE(R.Out.find("Aufruf: chronark-cli"), std::string::npos);
    EXPECT_NE(R.Out.find("trägt eine Zeitspanne ein"), std::string::npos);
    EXPECT_EQ(R.Err, "");
  }
  // After a command, that command's help; a value such as "--help" is no file.
  for (const std::string Cmd :
       {"list", "export", "add", "csv", "summary", "json", "edit", "delete"}) {
    const TResult R = Run({Cmd, "x.crf", "--help"});
    EXPECT_EQ(R.Code, 0) << Cmd;
    EXPECT_EQ(R.Out.rfind("Aufruf: chronark-cli " + Cmd + " DATEI", 0), 0u) << R.Out;
    EXPECT_NE(R.Out.find("Übersicht aller Befehle: chronark-cli --help\n"), std::string::npos);
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

// Runs the program as an ordinary user when the tests run as root.
std::string AsNobody() {
  return ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

TDateTime At(int Y, int Mo, int D, int H, int Mi, int S = 0) {
  TDateTime V = 0;
  EXPECT_TRUE(TryEncodeDateTime({Y, Mo, D, H, Mi, S, 0}, V));
  return V;
}

TEST_F(Cli, ListShowsControlCharactersAsQuestionMarks) {
  const std::string P = D / "p.crf";
  TChronarkMan M;
  M.AddEntry(At(2026, 12, 7, 9, 0), At(2026, 12, 7, 9, 30),
             "a\x1b]0;x\x07\x1b[2J\r\nGesamt: 999 Std\x9D");
  for (int I = 0; I < 9; ++I) M.AddEntry(At(2026, 12, 8, 9, 0), At(2026, 12, 8, 9, 1), "");
  M.SaveToFile(P);
  const std::string Before = ReadFile(P);
  TResult R = Run({"list", P});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(R.Out.substr(0, R.Out.find('\n') + 1),
            "07.12.2026 09:00:00 - 07.12.2026 09:30:00 = 0 Std, 30 Min -- Bemerkung: "
            "a?]0;x??[2J??Gesamt: 999 Std?\n");
  EXPECT_EQ(R.Out.find("\nGesamt:"), R.Out.rfind('\n', R.Out.size() - 2));  // one total line
  R = Run({"list", "--numbers", P});
  EXPECT_EQ(R.Out.rfind(" 1: 07.12.2026 09:00:00 - ", 0), 0u);
  EXPECT_NE(R.Out.find("\n10: 08.12.2026 09:00:00 - 08.12.2026 09:01:00 = 0 Std, 1 Min -- "
                       "Bemerkung: (Keine)\nGesamt: 0 Std, 39 Min\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(P), Before);  // the stored remark stays as it was
}

// On a terminal (script(1) gives the program one) csv and export show
// control characters as '?'; into files and pipes they go as stored.
TEST_F(Cli, TerminalGetsNoControlCharacters) {
  if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  const std::string P = D / "p.crf";
  TChronarkMan M;
  M.AddEntry(At(2026, 12, 7, 9, 0), At(2026, 12, 7, 9, 30), "x\x1b[2Jy");
  M.SaveToFile(P);
  for (const std::string& Cmd : {"csv " + Quote(P), "export " + Quote(P) + " /dev/stdout"}) {
    WriteFile(D / "run.sh", Quote(CHRONARK_CLI) + " " + Cmd + "\n");
    const std::string Shell = "script -qec " + Quote("sh " + Quote(D / "run.sh")) + " /dev/null >" +
                              Quote(D / "out") + " </dev/null";
    EXPECT_EQ(std::system(Shell.c_str()), 0) << Cmd;
    const std::string Out = ReadFile(D / "out");
    EXPECT_NE(Out.find("x?[2Jy"), std::string::npos) << Cmd << Out;
    EXPECT_EQ(Out.find('\x1b'), std::string::npos) << Cmd;
  }
  EXPECT_NE(Run({"csv", P}).Out.find("x\x1b[2Jy"), std::string::npos);
}

TEST_F(Cli, SummaryByWeekWithinDates) {
  const std::string P = D / "p.crf";
  for (const auto& A : std::vector<std::vector<std::string>>{
           {"2026-11-29 23:00:00", "2026-11-30 00:30:00"},  // starts before the window
           {"2026-11-30 08:00:00", "2026-11-30 08:40:00"},
           {"2026-12-06 23:59:59", "2026-12-07 00:29:59"},  // Sunday: still week 49
           {"2026-12-07 08:00:00", "2026-12-07 09:15:00"},
           {"2026-12-31 22:00:00", "2026-12-31 22:10:00"},  // after it
       })
    ASSERT_EQ(Run({"add", P, A[0], A[1], "Kunde Müller"}).Code, 0);
  TResult R = Run({"summary", P, "--from", "2026-11-30", "--by=week", "--to", "2026-12-07"});
  EXPECT_EQ(R.Code, 0) << R.Err;
  EXPECT_EQ(R.Out,
            "KW 49/2026  2 Einträge  1 Std, 10 Min  1,17 h\n"
            "KW 50/2026  1 Eintrag   1 Std, 15 Min  1,25 h\n"
            "Gesamt:     3 Einträge  2 Std, 25 Min  2,42 h\n");
  // Without a window the total is the window's.
  R = Run({"summary", P, "--by", "month"});
  EXPECT_EQ(R.Out,
            "November 2026  2 Einträge  2 Std, 10 Min  2,17 h\n"
            "Dezember 2026  3 Einträge  1 Std, 55 Min  1,92 h\n"
            "Gesamt:        5 Einträge   4 Std, 5 Min  4,08 h\n");
  EXPECT_NE(Run({"list", P}).Out.find("\nGesamt: 4 Std, 5 Min\n"), std::string::npos);

  for (const auto& Args : std::vector<std::vector<std::string>>{
           {"summary", P, "--by", "year"},
           {"summary", P, "--from", "2026-02-30"},
           {"summary", P, "--from", "2026-12-01", "--to", "2026-11-30"},
           {"summary", P, "--to"},
           {"summary", P, "--numbers"},
           {"summary", P, "--by", "day", "--by", "week"},
           {"summary", P, P},
       }) {
    R = Run(Args);
    EXPECT_EQ(R.Code, 2) << testing::PrintToString(Args);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err.rfind("chronark-cli: ", 0), 0u) << R.Err;
  }
  R = Run({"summary", D / "fehlt.crf"});
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(R.Err, "Die Projektdatei \"" + (D / "fehlt.crf") +
                       "\" kann nicht gelesen werden: No such file or directory\n");
}

// While the program has the project open, no writing command touches it;
// the readers go on working.
TEST_F(Cli, WritingCommandsLeaveAProjectTheProgramHasOpen) {
  const std::string P = D / "p.crf";
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 10:00:00", "eins"}).Code, 0);
  const std::string Before = ReadFile(P);
  const TProjectLock Program = TProjectLock::ForProgram(P);
  const std::vector<std::vector<std::string>> Writers = {
      {"add", P, "2026-12-07 11:00:00", "2026-12-07 12:00:00"},
      {"edit", P, "1", "--remark", "zwei"},
      {"delete", P, "1"}};
  for (const auto& Args : Writers) {
    const TResult R = Run(Args);
    EXPECT_EQ(R.Code, 1) << Args[0];
    EXPECT_NE(R.Err.find("in Chronark geöffnet"), std::string::npos) << Args[0] << ": " << R.Err;
  }
  EXPECT_EQ(ReadFile(P), Before);
  EXPECT_EQ(Run({"list", P}).Code, 0);
  EXPECT_EQ(Run({"summary", P}).Code, 0);
}

TEST_F(Cli, ReportsReadAProjectTheUserMayOnlyRead) {
  const std::string P = D / "p.crf";
  ASSERT_EQ(Run({"add", P, "2026-12-07 08:00:00", "2026-12-07 09:00:00"}).Code, 0);
  ::chmod(P.c_str(), 0444);
  EXPECT_EQ(Run({"summary", P}, AsNobody()).Code, 0);
  EXPECT_EQ(Run({"json", P}, AsNobody()).Code, 0);
  const TResult R = Run({"edit", P, "1", "--remark", "x"}, AsNobody());
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(R.Err, "Die Projektdatei \"" + P +
                       "\" kann nicht zum Ändern geöffnet werden: Permission denied\n");
}

TEST_F(Cli, JsonMarksWhatNoTextCanShow) {
  const std::string P = D / "p.crf";
  TChronarkMan M;
  M.AddEntry(At(2026, 12, 7, 9, 0), At(2026, 12, 7, 9, 30), "M\xFCller");
  M.AddEntry(std::nan(""), At(2026, 12, 7, 9, 30), "");
  M.SaveToFile(P);
  TResult R = Run({"json", P});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(R.Out,
            "[\n{\"index\":1,\"start\":\"2026-12-07T09:00:00+01:00\",\"end\":\"2026-12-07T09:30:"
            "00+01:00\",\"hours\":0,\"minutes\":30,\"remark\":\"Müller\"},\n"
            "{\"index\":2,\"start\":null,\"end\":\"2026-12-07T09:30:00+01:00\",\"hours\":0,"
            "\"minutes\":0,\"remark\":\"\"}\n]\n");
  R = Run({"json", "--timewarrior", P});
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(R.Out,
            "[\n{\"start\":\"20261207T080000Z\",\"end\":\"20261207T083000Z\",\"annotation\":"
            "\"Müller\"}\n]\n");
  EXPECT_EQ(R.Err, "Eintrag 2 ohne darstellbaren Zeitpunkt; nicht ausgegeben.\n");
}

// Timewarrior of Debian 12 has no import yet; it reads our times as given
// and its export, the format its later import reads, must equal ours.
TEST_F(Cli, TimewarriorReadsTheIntervals) {
  if (std::system("command -v timew >/dev/null 2>&1") != 0) GTEST_SKIP() << "no timew";
  const std::string P = D / "p.crf";
  ASSERT_EQ(
      Run({"add", P, "2026-07-01 10:00:00.250", "2026-07-01 11:00:00", "Grüße \"Kunde\" €"}).Code,
      0);
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:15:03", "2026-12-07 10:20:41"}).Code, 0);
  const TResult R = Run({"json", P, "--timewarrior"});
  ASSERT_EQ(R.Code, 0);
  const std::string Db = "TIMEWARRIORDB=" + Quote(D / "timew") + " ";
  ASSERT_EQ(std::system(("mkdir -p " + Quote(D / "timew/data") + " && touch " +
                         Quote(D / "timew/timewarrior.cfg"))
                            .c_str()),
            0);
  std::string Annotation = "Grüße \"Kunde\" €";
  size_t Pos = 0;
  for (size_t Line = R.Out.find("{\"start\":\""); Line != std::string::npos;
       Line = R.Out.find("{\"start\":\"", Line + 1)) {
    const std::string Start = R.Out.substr(Line + 10, 16);
    const std::string End = R.Out.substr(R.Out.find("\"end\":\"", Line) + 7, 16);
    std::string Cmd = Db + "timew track " + Start + " - " + End + " :yes >/dev/null";
    if (Pos++ == 0) Cmd += " && " + Db + "timew annotate @1 " + Quote(Annotation) + " >/dev/null";
    ASSERT_EQ(std::system(Cmd.c_str()), 0) << Cmd;
  }
  ASSERT_EQ(std::system((Db + "timew export >" + Quote(D / "export.json")).c_str()), 0);
  std::string Exported = ReadFile(D / "export.json");
  for (size_t I; (I = Exported.find("{\"id\":")) != std::string::npos;)
    Exported.erase(I + 1, Exported.find(',', I) - I);
  EXPECT_EQ(Exported, R.Out);
}

TEST_F(Cli, EditRecomputesAsRecordingDoes) {
  const std::string P = D / "p.crf", Q = D / "q.crf";
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 09:10:00", "eins"}).Code, 0);
  ASSERT_EQ(Run({"add", P, "2026-12-07 10:00:00", "2026-12-07 10:20:00", "zwei"}).Code, 0);
  const std::string Before = ReadFile(P);
  // Across the spring change 01:30 to 03:30 is one hour of real time.
  ASSERT_EQ(Run({"edit", P, "2", "--start", "2026-03-29 01:30:00", "--end=2026-03-29 03:30:00.001",
                 "--remark", "Grüße"})
                .Code,
            0);
  ASSERT_EQ(Run({"add", Q, "2026-03-29 01:30:00", "2026-03-29 03:30:00.001", "Grüße"}).Code, 0);
  EXPECT_EQ(ReadFile(P), Before.substr(0, 280) + ReadFile(Q));
  EXPECT_NE(Run({"list", P}).Out.find("= 1 Std, 1 Min -- Bemerkung: Grüße\n"), std::string::npos);

  // Only the end: the start stays; only the remark: the duration stays.
  ASSERT_EQ(Run({"edit", P, "1", "--end", "2026-12-07 10:59:59"}).Code, 0);
  TChronarkMan M;
  M.LoadFromFile(P);
  EXPECT_EQ(M.Entries()[0].Hours, 2);
  EXPECT_EQ(M.Entries()[0].Minutes, 0);
  M.Clear();
  TCREntry Odd = DecodeRecord(reinterpret_cast<const unsigned char*>(Before.data()));
  Odd.Minutes = 75;
  M.AddRecord(Odd);
  M.SaveToFile(P);
  ASSERT_EQ(Run({"edit", P, "1", "--remark", ""}).Code, 0);
  M.LoadFromFile(P);
  EXPECT_EQ(M.Entries()[0].Minutes, 75);
  EXPECT_EQ(M.Entries()[0].Comment.Length, 0);
}

TEST_F(Cli, DeleteRemovesTheNumberedEntry) {
  const std::string P = D / "p.crf";
  for (const char* R : {"a", "b", "c"})
    ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 09:10:00", R}).Code, 0);
  const std::string Before = ReadFile(P);
  const TResult R = Run({"delete", P, "2"});
  EXPECT_EQ(R.Code, 0);
  EXPECT_EQ(R.Out + R.Err, "");
  EXPECT_EQ(ReadFile(P), Before.substr(0, 280) + Before.substr(560));
}

TEST_F(Cli, BadChangesChangeNothing) {
  const std::string P = D / "p.crf";
  ASSERT_EQ(Run({"add", P, "2026-12-07 09:00:00", "2026-12-07 09:10:00"}).Code, 0);
  const std::string Before = ReadFile(P);
  const std::string Name = "\"" + P + "\"";
  struct {
    std::vector<std::string> Args;
    int Code;
    std::string Err;  // the whole message for errors, its start for wrong usage
  } const Cases[] = {
      {{"edit", P, "2", "--remark", "x"},
       1,
       "Die Projektdatei " + Name + " hat keinen Eintrag 2 (sie hat 1 Eintrag).\n"},
      {{"delete", P, "99999999999999999"},
       1,
       "Die Projektdatei " + Name + " hat keinen Eintrag 99999999999999999 (sie hat 1 Eintrag).\n"},
      {{"edit", P, "1", "--end", "2026-12-07 08:59:59"},
       1,
       "Das Ende (07.12.2026 08:59:59) liegt vor dem Beginn (07.12.2026 09:00:00).\n"},
      {{"edit", D / "x", "1", "--remark", "x"},
       1,
       "Die Projektdatei \"" + (D / "x") +
           "\" kann nicht zum Ändern geöffnet werden: Is a directory\n"},
      {{"edit", P, "1", "--start", "2026-02-29 09:00:00"}, 2, "chronark-cli: Ungültige Zeitangabe"},
      {{"edit", P, "1"}, 2, "chronark-cli: Nichts zu ändern"},
      {{"edit", P, "1", "--remark"}, 2, "chronark-cli: Option \"--remark\" braucht einen Wert."},
      {{"edit", P, "1", "--numbers"}, 2, "chronark-cli: Unbekannte Option \"--numbers\""},
      {{"delete", P, "0"}, 2, "chronark-cli: Ungültige Eintragsnummer \"0\""},
      {{"delete", P, "-1"}, 2, "chronark-cli: Ungültige Eintragsnummer \"-1\""},
      {{"delete", P}, 2, "chronark-cli: Falsche Anzahl von Argumenten für \"delete\"."},
  };
  ::mkdir((D / "x").c_str(), 0755);
  for (const auto& C : Cases) {
    const TResult R = Run(C.Args);
    EXPECT_EQ(R.Code, C.Code) << testing::PrintToString(C.Args);
    EXPECT_EQ(R.Err.substr(0, C.Code == 1 ? std::string::npos : C.Err.size()), C.Err);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(ReadFile(P), Before);
  }
  // A project the user may read but not write: refused when saving
  // would not work, before anything is written.
  ::chmod(D.Path().c_str(), 0755);
  ::chmod(P.c_str(), 0444);
  const TResult R = Run({"delete", P, "1"}, AsNobody());
  EXPECT_EQ(R.Code, 1);
  EXPECT_EQ(ReadFile(P), Before);
}

TEST_F(Cli, BashCompletion) {
  WriteFile(D / "a.crf", "");
  WriteFile(D / "b.txt", "");
  ::mkdir((D / "sub").c_str(), 0755);
  auto Complete = [&](const std::string& Line) {
    const std::string Script = "cd " + Quote(D.Path()) + " && source " +
                               Quote(CHRONARK_COMPLETION) + " && COMP_WORDS=(" + Line +
                               ") && COMP_CWORD=$((${#COMP_WORDS[@]}-1))" +
                               " && _chronark_cli && printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    WriteFile(D / "complete.sh", Script);
    const std::string Cmd = "bash " + Quote(D / "complete.sh") + " >" + Quote(D / "out");
    EXPECT_EQ(std::system(Cmd.c_str()), 0) << Line;
    return ReadFile(D / "out");
  };
  EXPECT_EQ(Complete("chronark-cli s"), "summary\n");
  EXPECT_EQ(Complete("chronark-cli e"), "edit\nexport\n");
  EXPECT_EQ(Complete("chronark-cli summary ''"), "a.crf\nsub\n");
  EXPECT_EQ(Complete("chronark-cli summary a.crf --"), "--by\n--from\n--help\n--to\n");
  EXPECT_EQ(Complete("chronark-cli summary a.crf --by m"), "month\n");
  EXPECT_EQ(Complete("chronark-cli edit a.crf 1 --remark ''"), "\n");
  EXPECT_EQ(Complete("chronark-cli export a.crf ''"), "a.crf\nb.txt\ncomplete.sh\nout\nsub\n");
  EXPECT_EQ(Complete("chronark-cli json --timewarrior ''"), "a.crf\nsub\n");
}

}  // namespace
}  // namespace chronark
