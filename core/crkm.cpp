#include "core/crkm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "common/cp1252.h"
#include "common/exceptions.h"
#include "platform/files/descriptor.h"
#include "platform/files/paths.h"
#include "platform/files/safefile.h"

namespace chronark {

namespace {

// Records are moved through a buffer of this many at a time.
constexpr size_t ChunkRecords = 1024;

void StoreLE(unsigned char* P, uint64_t V, int Bytes) {
  for (int I = 0; I < Bytes; ++I) P[I] = static_cast<unsigned char>(V >> (8 * I));
}
uint64_t LoadLE(const unsigned char* P, int Bytes) {
  uint64_t V = 0;
  for (int I = 0; I < Bytes; ++I) V |= uint64_t(P[I]) << (8 * I);
  return V;
}

[[noreturn]] void IoError(const char* What, const std::string& FileName, int Error) {
  throw EInOutError(std::string(What) + " " + FileName + ": " + SysErrorMessage(Error), Error);
}

// Fills Buf as far as the file allows; the count read, or -1 with errno.
ssize_t ReadFull(int Fd, unsigned char* Buf, size_t Size) {
  size_t Done = 0;
  while (Done < Size) {
    const ssize_t N = ::read(Fd, Buf + Done, Size - Done);
    if (N < 0 && errno == EINTR) continue;
    if (N < 0) return -1;
    if (N == 0) break;
    Done += size_t(N);
  }
  return ssize_t(Done);
}

// Template text as lines: CR, LF and CR LF each end a line, the last line
// needs no end, and a zero byte ends the text.
void SplitTemplate(std::string_view Text, TStrings& Lines) {
  Text = Text.substr(0, Text.find('\0'));
  size_t I = 0;
  while (I < Text.size()) {
    const size_t E = Text.find_first_of("\r\n", I);
    if (E == std::string_view::npos) {
      Lines.emplace_back(Text.substr(I));
      return;
    }
    Lines.emplace_back(Text.substr(I, E - I));
    I = E + ((Text[E] == '\r' && E + 1 < Text.size() && Text[E + 1] == '\n') ? 2 : 1);
  }
}

}  // namespace

void EncodeRecord(const TCREntry& Entry, unsigned char* Record) {
  StoreLE(Record + 0, std::bit_cast<uint64_t>(Entry.StartTime), 8);
  StoreLE(Record + 8, std::bit_cast<uint64_t>(Entry.EndTime), 8);
  StoreLE(Record + 16, uint32_t(Entry.Hours), 4);
  StoreLE(Record + 20, uint32_t(Entry.Minutes), 4);
  Record[24] = Entry.Comment.Length;
  std::memcpy(Record + 25, Entry.Comment.Chars, sizeof Entry.Comment.Chars);
}

TCREntry DecodeRecord(const unsigned char* Record) {
  TCREntry E;
  E.StartTime = std::bit_cast<double>(LoadLE(Record + 0, 8));
  E.EndTime = std::bit_cast<double>(LoadLE(Record + 8, 8));
  E.Hours = int32_t(uint32_t(LoadLE(Record + 16, 4)));
  E.Minutes = int32_t(uint32_t(LoadLE(Record + 20, 4)));
  E.Comment.Length = Record[24];
  // The bytes behind the remark carry nothing, but go back out as they came.
  std::memcpy(E.Comment.Chars, Record + 25, sizeof E.Comment.Chars);
  return E;
}

void ComputeDuration(TDateTime StartTime, TDateTime EndTime, int32_t& Hours, int32_t& Minutes) {
  int64_t Ms = ElapsedMilliseconds(StartTime, EndTime);
  if (Ms < 0) Ms = -Ms;
  int64_t M = Ms / 60000 + (Ms % 60000 != 0 ? 1 : 0);  // a begun minute counts
  int64_t H = 0;
  if (M > 59) {
    H = M / 60;
    M %= 60;
  }
  // Only absurd date-times (hundreds of thousands of years apart) reach
  // the limit; they get the longest duration a record can hold.
  if (H > INT32_MAX) {
    H = INT32_MAX;
    M = 59;
  }
  Hours = int32_t(H);
  Minutes = int32_t(M);
}

std::string IntToStr(int64_t Value) { return std::to_string(Value); }

std::string DisplayLine(const TCREntry& Entry) {
  std::string S = DateTimeToStr(Entry.StartTime);
  S += " - ";
  S += DateTimeToStr(Entry.EndTime);
  S += " = ";
  S += IntToStr(Entry.Hours);
  S += " Std, ";
  S += IntToStr(Entry.Minutes);
  S += " Min -- Bemerkung: ";
  if (Entry.Comment.Length == 0)
    S += "(Keine)";
  else
    S += Entry.Comment.View();
  return S;
}

std::string TotalText(int64_t Hours, int64_t Minutes) {
  return IntToStr(Hours) + " Std, " + IntToStr(Minutes) + " Min";
}

void TChronarkMan::AddEntry(TDateTime StartTime, TDateTime EndTime, std::string_view Comment) {
  TCREntry E;
  E.StartTime = StartTime;
  E.EndTime = EndTime;
  ComputeDuration(StartTime, EndTime, E.Hours, E.Minutes);
  E.Comment.Assign(Comment);
  AddRecord(E);
}

void TChronarkMan::AddRecord(const TCREntry& Entry) { FEntries.push_back(Entry); }

void TChronarkMan::Clear() { FEntries.clear(); }

void TChronarkMan::Delete(int32_t Index) {
  if (Index >= 0 && size_t(Index) < FEntries.size()) FEntries.erase(FEntries.begin() + Index);
}

std::string TChronarkMan::GetComment(int32_t Index) const {
  if (Index < 0 || size_t(Index) >= FEntries.size()) return std::string();
  return FEntries[size_t(Index)].Comment.Str();
}

void TChronarkMan::SetComment(int32_t Index, std::string_view Comment) {
  if (Index >= 0 && size_t(Index) < FEntries.size())
    FEntries[size_t(Index)].Comment.Assign(Comment);
}

void TChronarkMan::FillStrings(TStrings& Lines) const {
  Lines.clear();
  Lines.reserve(FEntries.size());
  for (const TCREntry& E : FEntries) Lines.push_back(DisplayLine(E));
}

void TChronarkMan::GetTotal(int64_t& Hours, int64_t& Minutes) const {
  int64_t H = 0, M = 0;
  for (const TCREntry& E : FEntries) {
    H += E.Hours;
    M += E.Minutes;
  }
  if (M > 59) {
    H += M / 60;
    M %= 60;
  }
  Hours = H;
  Minutes = M;
}

std::string TChronarkMan::GetTotalText() const {
  int64_t H, M;
  GetTotal(H, M);
  return TotalText(H, M);
}

void TChronarkMan::LoadFromFile(const std::string& FileName, bool ForWriting) {
  // Read and write access, as the program always asked for: a project it
  // could not save again is not opened either. Read-only, a pipe in the
  // file's place must not block the open (it has no records anyway).
  TFileDescriptor Fd(
      ::open(FileName.c_str(), (ForWriting ? O_RDWR : O_RDONLY | O_NONBLOCK) | O_CLOEXEC));
  if (Fd.Get() < 0) IoError("Cannot open file", FileName, errno);
  struct stat St;
  if (::fstat(Fd.Get(), &St) != 0) IoError("Cannot read file", FileName, errno);
  const size_t Count = St.st_size > 0 ? size_t(St.st_size) / CREntrySize : 0;

  TCRList Loaded;
  Loaded.reserve(Count);
  // Records are read straight into entry objects, a chunk at a time: the
  // layout in memory is the file's. Only a big-endian host has to turn the
  // numbers around.
  while (Loaded.size() < Count) {
    const size_t From = Loaded.size();
    const size_t Want = std::min(ChunkRecords, Count - From);
    Loaded.resize(From + Want);
    unsigned char* Bytes = reinterpret_cast<unsigned char*>(Loaded.data() + From);
    const ssize_t Got = ReadFull(Fd.Get(), Bytes, Want * CREntrySize);
    if (Got < 0) IoError("Cannot read file", FileName, errno);
    const size_t Records = size_t(Got) / CREntrySize;
    if constexpr (std::endian::native != std::endian::little) {
      for (size_t I = 0; I < Records; ++I) Loaded[From + I] = DecodeRecord(Bytes + I * CREntrySize);
    }
    if (Records < Want) {  // the file shrank meanwhile: what is whole is read
      Loaded.resize(From + Records);
      break;
    }
  }
  FEntries.swap(Loaded);
}

void TChronarkMan::SaveToFile(const std::string& FileName) const {
  TSafeFileWriter W(FileName);
  if constexpr (std::endian::native == std::endian::little) {
    // The entries already are the records, byte for byte (layout checked
    // where TCREntry is declared): one write of the whole list.
    W.Write(FEntries.data(), FEntries.size() * CREntrySize);
  } else {
    std::unique_ptr<unsigned char[]> Buf(new unsigned char[ChunkRecords * CREntrySize]);
    for (size_t From = 0; From < FEntries.size(); From += ChunkRecords) {
      const size_t N = std::min(ChunkRecords, FEntries.size() - From);
      for (size_t I = 0; I < N; ++I) EncodeRecord(FEntries[From + I], Buf.get() + I * CREntrySize);
      W.Write(Buf.get(), N * CREntrySize);
    }
  }
  W.Commit();
}

std::string TChronarkMan::TemplateFolder() const {
  return FTemplateFolder.empty() ? ProgramFolder() + "export/" : FTemplateFolder;
}

void TChronarkMan::AddTemplate(const std::string& TemplateFile, TStrings& Lines) {
  if (!FileExists(TemplateFile)) return;
  // Non-blocking, so that a pipe in the template's place cannot stall the
  // export; anything but a plain file is no template to read.
  TFileDescriptor Fd(::open(TemplateFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (Fd.Get() < 0) throw EFOpenError("Cannot open file " + TemplateFile, errno);
  struct stat St;
  if (::fstat(Fd.Get(), &St) != 0 || !S_ISREG(St.st_mode))
    throw EFOpenError("Cannot open file " + TemplateFile, EINVAL);
  std::string Text;
  if (!ReadToEnd(Fd.Get(), Text)) IoError("Cannot read file", TemplateFile, errno);
  SplitTemplate(Text, Lines);
}

void TChronarkMan::ExportItems(const std::string& Folder, TStrings& Lines) const {
  for (size_t I = 0; I < FEntries.size(); ++I) {
    ExportItem(Folder, FEntries[I], Lines);
    if (I + 1 < FEntries.size()) AddTemplate(Folder + "separator.txt", Lines);
  }
  ExportSum(Folder, Lines);
}

void TChronarkMan::ExportItem(const std::string& Folder, const TCREntry& Entry,
                              TStrings& Lines) const {
  TStrings Item;
  AddTemplate(Folder + "item.txt", Item);
  // The remark goes in last, so placeholders written in it stay as they are.
  StringsReplace(Item, "$StartTime$", DateTimeToStr(Entry.StartTime), false);
  StringsReplace(Item, "$EndTime$", DateTimeToStr(Entry.EndTime), false);
  StringsReplace(Item, "$Hours$", IntToStr(Entry.Hours), false);
  StringsReplace(Item, "$Minutes$", IntToStr(Entry.Minutes), false);
  StringsReplace(Item, "$Comment$", Entry.Comment.View(), false);
  for (std::string& L : Item) Lines.push_back(std::move(L));
}

void TChronarkMan::ExportSum(const std::string& Folder, TStrings& Lines) const {
  TStrings Sum;
  AddTemplate(Folder + "sum.txt", Sum);
  int64_t H, M;
  GetTotal(H, M);
  StringsReplace(Sum, "$SumHours$", IntToStr(H), false);
  StringsReplace(Sum, "$SumMinutes$", IntToStr(M), false);
  for (std::string& L : Sum) Lines.push_back(std::move(L));
}

void TChronarkMan::ReplaceFileName(TStrings& Lines) const {
  // File names are UTF-8 on Linux, the page is Windows-1252 like its templates.
  StringsReplace(Lines, "$filename$", Utf8ToCp1252(ExtractFileName(FExportFileName)), false);
}

void TChronarkMan::ExportHTML(const std::string& FileName) {
  FExportFileName = FileName;
  const std::string Folder = TemplateFolder();
  TStrings Output;
  AddTemplate(Folder + "header.txt", Output);
  ExportItems(Folder, Output);
  AddTemplate(Folder + "footer.txt", Output);
  ReplaceFileName(Output);

  std::unique_ptr<TSafeFileWriter> W;
  try {
    W = std::make_unique<TSafeFileWriter>(FileName);
  } catch (const EInOutError& E) {
    throw EFCreateError("Cannot create file " + FileName, E.ErrorCode());
  }
  std::string Text;
  for (const std::string& L : Output) {
    Text += L;
    Text += "\r\n";
    if (Text.size() >= (1u << 20)) {
      W->Write(Text);
      Text.clear();
    }
  }
  W->Write(Text);
  W->Commit();
}

}  // namespace chronark
