#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstring>
#include <random>

#include "common/exceptions.h"
#include "core/crkm.h"
#include "support/testfs.h"
#include "support/testdatetime.h"

namespace chronark {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

TCREntry Record(double Start, double End, int32_t Hours, int32_t Minutes,
                std::string_view Comment) {
  TCREntry E;
  E.StartTime = Start;
  E.EndTime = End;
  E.Hours = Hours;
  E.Minutes = Minutes;
  E.Comment.Assign(Comment);
  return E;
}

std::string Le(uint64_t V, int Bytes) {
  std::string S;
  for (int I = 0; I < Bytes; ++I) S.push_back(char(V >> (8 * I)));
  return S;
}

std::string RecordBytes(double Start, double End, int32_t H, int32_t M, const std::string& Comment,
                        char Filler = '\0') {
  std::string S = Le(std::bit_cast<uint64_t>(Start), 8) + Le(std::bit_cast<uint64_t>(End), 8) +
                  Le(uint32_t(H), 4) + Le(uint32_t(M), 4);
  S.push_back(char(Comment.size()));
  S += Comment;
  S.append(255 - Comment.size(), Filler);
  return S;
}

class ProjectFile : public test::TGermanFormats {
protected:
  TTempDir D;
};

TEST_F(ProjectFile, EmptyListGivesAnEmptyFile) {
  TChronarkMan M;
  M.SaveToFile(D / "p.crf");
  EXPECT_TRUE(test::Exists(D / "p.crf"));
  EXPECT_EQ(ReadFile(D / "p.crf"), "");
  M.AddRecord(Record(1, 2, 3, 4, "x"));
  M.LoadFromFile(D / "p.crf");
  EXPECT_TRUE(M.Entries().empty());
}

TEST_F(ProjectFile, RecordsAreLittleEndianAndBackToBack) {
  TChronarkMan M;
  M.AddRecord(Record(46363.25, 46363.5, 6, 0, "a"));
  M.AddRecord(Record(-1.5, 2958465.75, -7, 75,
                     "Gr\xFC\xDF"
                     "e"));
  M.AddRecord(Record(0, 0, INT32_MAX, INT32_MIN, ""));
  M.SaveToFile(D / "p.crf");
  const std::string Bytes = ReadFile(D / "p.crf");
  ASSERT_EQ(Bytes.size(), 840u);
  EXPECT_EQ(Bytes.substr(0, 280), RecordBytes(46363.25, 46363.5, 6, 0, "a"));
  EXPECT_EQ(Bytes.substr(280, 280), RecordBytes(-1.5, 2958465.75, -7, 75,
                                                "Gr\xFC\xDF"
                                                "e"));
  EXPECT_EQ(Bytes.substr(560, 280), RecordBytes(0, 0, INT32_MAX, INT32_MIN, ""));
  // 46363.25 as IEEE 754 binary64, little-endian.
  EXPECT_EQ(Bytes.substr(0, 8), std::string("\x00\x00\x00\x00\x68\xA3\xE6\x40", 8));
}

TEST_F(ProjectFile, LoadTakesEveryFieldAsStored) {
  WriteFile(D / "p.crf", RecordBytes(46363.0, 46362.0, -5, 75, "zz", 'Q') +
                             RecordBytes(1.0, 2.0, 1, 2, "", 'X'));
  TChronarkMan M;
  M.LoadFromFile(D / "p.crf");
  ASSERT_EQ(M.Entries().size(), 2u);
  const TCREntry& E = M.Entries()[0];
  EXPECT_EQ(E.StartTime, 46363.0);
  EXPECT_EQ(E.EndTime, 46362.0);
  EXPECT_EQ(E.Hours, -5);
  EXPECT_EQ(E.Minutes, 75);
  EXPECT_EQ(M.GetComment(0), "zz");
  EXPECT_EQ(M.GetComment(1), "") << "length 0 means no remark, whatever follows";
  TStrings L;
  M.FillStrings(L);
  EXPECT_EQ(L[0], "07.12.2026 - 06.12.2026 = -5 Std, 75 Min -- Bemerkung: zz");
  EXPECT_EQ(L[1], "31.12.1899 - 01.01.1900 = 1 Std, 2 Min -- Bemerkung: (Keine)");
}

TEST_F(ProjectFile, LoadedRecordsAreSavedByteForByte) {
  const std::string Bytes =
      RecordBytes(46363.0, 46362.0, -5, 75, "zz", 'Q') +
      RecordBytes(std::nan(""), 1e300, INT32_MIN, 0, std::string(255, '\xFF'));
  WriteFile(D / "p.crf", Bytes);
  TChronarkMan M;
  M.LoadFromFile(D / "p.crf");
  M.SaveToFile(D / "q.crf");
  EXPECT_EQ(ReadFile(D / "q.crf"), Bytes);
}

TEST_F(ProjectFile, TrailingPartialRecordIsIgnored) {
  WriteFile(D / "p.crf", RecordBytes(1, 2, 0, 1, "eins") + std::string(20, 'x'));
  TChronarkMan M;
  M.LoadFromFile(D / "p.crf");
  ASSERT_EQ(M.Entries().size(), 1u);
  EXPECT_EQ(M.GetComment(0), "eins");
  M.SaveToFile(D / "p.crf");
  EXPECT_EQ(ReadFile(D / "p.crf").size(), 280u);
}

TEST_F(ProjectFile, ShortFileLoadsAsEmptyList) {
  WriteFile(D / "p.crf", std::string(279, 'x'));
  TChronarkMan M;
  M.AddRecord(Record(1, 2, 0, 1, "old"));
  M.LoadFromFile(D / "p.crf");
  EXPECT_TRUE(M.Entries().empty());
}

TEST_F(ProjectFile, LoadReplacesNeverAppends) {
  TChronarkMan A;
  A.AddRecord(Record(1, 2, 0, 1, "file"));
  A.SaveToFile(D / "p.crf");
  TChronarkMan B;
  B.AddRecord(Record(1, 2, 0, 1, "memory"));
  B.LoadFromFile(D / "p.crf");
  B.LoadFromFile(D / "p.crf");
  ASSERT_EQ(B.Entries().size(), 1u);
  EXPECT_EQ(B.GetComment(0), "file");
}

TEST_F(ProjectFile, RemarkOf255CharactersSurvives) {
  std::string R;
  for (int I = 0; I < 255; ++I) R.push_back(char(I + 1));
  TChronarkMan M;
  M.AddRecord(Record(1, 2, 0, 1, R));
  M.SaveToFile(D / "p.crf");
  const std::string Bytes = ReadFile(D / "p.crf");
  EXPECT_EQ(uint8_t(Bytes[24]), 255);
  EXPECT_EQ(Bytes.substr(25), R);
  M.LoadFromFile(D / "p.crf");
  EXPECT_EQ(M.GetComment(0), R);
}

TEST_F(ProjectFile, ErrorsNameTheFileAndTheReason) {
  TChronarkMan M;
  try {
    M.LoadFromFile(D / "missing.crf");
    FAIL();
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()),
              "Cannot open file " + (D / "missing.crf") + ": No such file or directory");
    EXPECT_EQ(E.ErrorCode(), ENOENT);
  }
  try {
    M.SaveToFile(D / "no/such/folder.crf");
    FAIL();
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()),
              "Cannot create file " + (D / "no/such/folder.crf") + ": No such file or directory");
  }
}

// A sparse file of a size no memory holds is a read error named as such,
// before anything is allocated, and the list in memory stays.
TEST_F(ProjectFile, FileLargerThanMemoryIsAReadError) {
  const std::string Name = D / "sparse.crf";
  const uint64_t Memory = uint64_t(::sysconf(_SC_PHYS_PAGES)) * uint64_t(::sysconf(_SC_PAGESIZE));
  const uint64_t Size = std::max<uint64_t>(64ull << 30, 2 * Memory);
  WriteFile(Name, "");
  ASSERT_EQ(::truncate(Name.c_str(), off_t(Size)), 0);
  TChronarkMan M;
  M.AddRecord(Record(1, 2, 0, 1, "keep"));
  try {
    M.LoadFromFile(Name);
    FAIL() << "no error";
  } catch (const EInOutError& E) {
    EXPECT_EQ(std::string(E.what()), "Cannot read file " + Name + ": File too large");
  }
  EXPECT_EQ(M.Entries().size(), 1u);
}

// A failed load must not leave a partial list for the next save to write.
TEST_F(ProjectFile, FailedLoadKeepsTheEntriesInMemory) {
  TChronarkMan M;
  M.AddRecord(Record(1, 2, 0, 1, "keep"));
  ::mkdir((D / "folder.crf").c_str(), 0755);
  WriteFile(D / "readonly.crf", RecordBytes(1, 2, 0, 1, "other"));
  ::chmod((D / "readonly.crf").c_str(), 0444);
  for (const std::string& Name : {D / "missing.crf", D / "folder.crf", D / "readonly.crf"}) {
    test::TAsUser User;
    EXPECT_THROW(M.LoadFromFile(Name), EInOutError) << Name;
    ASSERT_EQ(M.Entries().size(), 1u) << Name;
    EXPECT_EQ(M.GetComment(0), "keep");
  }
}

// A full disk while saving must not destroy the only copy.
TEST_F(ProjectFile, FailedSaveKeepsThePreviousFile) {
  TChronarkMan Old;
  Old.AddRecord(Record(1, 2, 0, 1, "old"));
  Old.SaveToFile(D / "p.crf");
  const std::string Before = ReadFile(D / "p.crf");
  TChronarkMan Big;
  for (int I = 0; I < 5000; ++I) Big.AddRecord(Record(1, 2, 0, 1, "new"));
  rlimit Saved;
  ::getrlimit(RLIMIT_FSIZE, &Saved);
  auto* Handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit Small = Saved;
  Small.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &Small);
  EXPECT_THROW(Big.SaveToFile(D / "p.crf"), EInOutError);
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  std::signal(SIGXFSZ, Handler);
  EXPECT_EQ(ReadFile(D / "p.crf"), Before);
}

TEST_F(ProjectFile, SaveThroughALinkKeepsLinkAndPermissions) {
  WriteFile(D / "real.crf", "");
  ::chmod((D / "real.crf").c_str(), 0640);
  ASSERT_EQ(::symlink("real.crf", (D / "link.crf").c_str()), 0);
  TChronarkMan M;
  M.AddRecord(Record(1, 2, 0, 1, "x"));
  M.SaveToFile(D / "link.crf");
  struct stat St;
  ASSERT_EQ(::lstat((D / "link.crf").c_str(), &St), 0);
  EXPECT_TRUE(S_ISLNK(St.st_mode));
  ASSERT_EQ(::stat((D / "real.crf").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0640u);
  EXPECT_EQ(St.st_size, 280);
}

// Any 280 bytes load, show and export without crash or undefined behaviour
// (the sanitizer build checks the latter).
TEST_F(ProjectFile, RandomRecordsAreShownSafely) {
  std::mt19937_64 Rng(42);
  std::string Bytes;
  for (int I = 0; I < 2000 * 280; ++I) Bytes.push_back(char(Rng()));
  // Some records with special doubles and extreme integers.
  const double Specials[] = {std::nan(""), -std::nan(""), 1.0 / 0.0, -1.0 / 0.0, 1e308,
                             -1e308,       2958466.0,     -693594.0, 5e-324,     -0.0};
  for (size_t I = 0; I < std::size(Specials); ++I) {
    const std::string R = RecordBytes(Specials[I], Specials[(I + 3) % std::size(Specials)],
                                      INT32_MIN, INT32_MAX, std::string(200, '$'));
    Bytes.replace(I * 280, 280, R);
  }
  WriteFile(D / "r.crf", Bytes);
  TChronarkMan M;
  M.LoadFromFile(D / "r.crf");
  ASSERT_EQ(M.Entries().size(), 2000u);
  TStrings L;
  M.FillStrings(L);
  EXPECT_EQ(L[0].rfind("(ung\xFCltig) - (ung\xFCltig) = -2147483648 Std, 2147483647 Min", 0), 0u)
      << L[0];
  int64_t H, Mi;
  M.GetTotal(H, Mi);
  WriteFile(D / "item.txt", "$StartTime$|$EndTime$|$Hours$|$Minutes$|$Comment$");
  M.SetTemplateFolder(D.Path());
  M.ExportHTML(D / "out.htm");
  M.SaveToFile(D / "again.crf");
  TChronarkMan Back;
  Back.LoadFromFile(D / "again.crf");
  TStrings L2;
  Back.FillStrings(L2);
  EXPECT_EQ(L2, L);
}

}  // namespace
}  // namespace chronark
