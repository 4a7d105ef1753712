// Unit crkm: the time entries of the open project and the work-time manager.
// Remarks, templates and the exported page are Windows-1252 bytes; nothing
// here converts them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <memory>
#include <utility>
#include <vector>

#include "common/cstring.h"
#include "common/shortstring.h"
#include "platform/files/datetime.h"

namespace chronark {

// One time entry; in memory with the same 280-byte layout as a record of the
// project file (which is still written field by field, little-endian).
struct TCREntry {
  TDateTime StartTime = 0;
  TDateTime EndTime = 0;
  int32_t Hours = 0;
  int32_t Minutes = 0;   // 0 to 59 for entries recorded by AddEntry
  TShortString Comment;  // length 0: no remark
};

constexpr size_t CREntrySize = 280;
static_assert(sizeof(TCREntry) == CREntrySize, "TCREntry must be exactly 280 bytes");
static_assert(offsetof(TCREntry, StartTime) == 0);
static_assert(offsetof(TCREntry, EndTime) == 8);
static_assert(offsetof(TCREntry, Hours) == 16);
static_assert(offsetof(TCREntry, Minutes) == 20);
static_assert(offsetof(TCREntry, Comment) == 24);
static_assert(offsetof(TCREntry, Comment.Chars) == 25);

// Allocator of TCRList. Entries added without a value (resize, emplace_back()
// without arguments, a list made with a count) are left uninitialised for
// the caller to fill; only the load does that, reading the records straight
// into them instead of clearing them first. Append entries by value.
// TCREntry is an aggregate of numbers and bytes, so its objects come into
// being with their storage.
template <class T>
struct TRecordAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = TRecordAllocator<U>;
  };
  TRecordAllocator() = default;
  template <class U>
  TRecordAllocator(const TRecordAllocator<U>&) noexcept {}
  template <class U>
  void construct(U*) noexcept {}
  template <class U, class A0, class... A>
  void construct(U* P, A0&& Arg0, A&&... Args) {
    ::new (static_cast<void*>(P)) U(std::forward<A0>(Arg0), std::forward<A>(Args)...);
  }
};

// The entries in the order they were appended; nothing sorts it.
using TCRList = std::vector<TCREntry, TRecordAllocator<TCREntry>>;

// One record of the project file from/to its 280 bytes. Decoding accepts any
// bytes; the remark is the first length bytes of the remark area, and the
// meaningless bytes behind it are kept as they are, so a record loaded and
// saved again is the same 280 bytes.
void EncodeRecord(const TCREntry& Entry, unsigned char* Record);
TCREntry DecodeRecord(const unsigned char* Record);

// Duration of an interval in whole hours and minutes (0-59), every begun
// minute counted: the real elapsed time between the two local date-times,
// in either order, rounded to whole milliseconds first.
void ComputeDuration(TDateTime StartTime, TDateTime EndTime, int32_t& Hours, int32_t& Minutes);

// Decimal text: optional minus sign and digits.
std::string IntToStr(int64_t Value);

// The list line of one entry:
// "<start> - <end> = <h> Std, <m> Min -- Bemerkung: <remark or (Keine)>".
std::string DisplayLine(const TCREntry& Entry);

// "<h> Std, <m> Min".
std::string TotalText(int64_t Hours, int64_t Minutes);

class TChronarkMan {
public:
  TChronarkMan() = default;  // Create: no entries, no export file name

  // Records an interval; Comment is cut to 255 characters.
  void AddEntry(TDateTime StartTime, TDateTime EndTime, std::string_view Comment);
  void AddRecord(const TCREntry& Entry);
  // Empties the list; the export file name stays.
  void Clear();
  // Indexes outside 0 to Count-1 are ignored; GetComment gives "" for them.
  void Delete(int32_t Index);
  std::string GetComment(int32_t Index) const;
  void SetComment(int32_t Index, std::string_view Comment);

  // Replaces Lines by one display line per entry; line i is entry i.
  void FillStrings(TStrings& Lines) const;
  // The sum of all entries, minutes carried into hours when above 59.
  // Summed in 64 bits: loaded records may hold any values.
  void GetTotal(int64_t& Hours, int64_t& Minutes) const;
  std::string GetTotalText() const;

  // Replaces the entries by the records of a project file. The file is read
  // into a new list that is taken over only when the whole load succeeded;
  // on failure EInOutError is raised and the entries stay as they were.
  // The file is opened for writing too unless ForWriting is false (readers
  // that never save, such as chronark-cli's reports).
  void LoadFromFile(const std::string& FileName, bool ForWriting = true);
  // Writes every entry as one record; replaces the file atomically
  // (TSafeFileWriter). Throws EInOutError; the old file then stays unchanged.
  void SaveToFile(const std::string& FileName) const;

  // The HTML export from the templates of TemplateFolder().
  // Errors: EFOpenError "Cannot open file %s" (a template that exists but
  // cannot be read; the output is then not touched), EFCreateError
  // "Cannot create file %s" (the output cannot be created).
  void ExportHTML(const std::string& FileName);

  // The steps of the export, each appending to Lines.
  static void AddTemplate(const std::string& TemplateFile, TStrings& Lines);
  void ExportItems(const std::string& Folder, TStrings& Lines) const;
  void ExportItem(const std::string& Folder, const TCREntry& Entry, TStrings& Lines) const;
  void ExportSum(const std::string& Folder, TStrings& Lines) const;
  void ReplaceFileName(TStrings& Lines) const;

  // The program folder followed by "export/", unless tests set another
  // folder (which must end with '/').
  std::string TemplateFolder() const;
  void SetTemplateFolder(std::string Folder) { FTemplateFolder = std::move(Folder); }

  const TCRList& Entries() const { return FEntries; }
  const std::string& ExportFileName() const { return FExportFileName; }

private:
  TCRList FEntries;
  std::string FExportFileName;
  std::string FTemplateFolder;  // empty: the program's own
};

}  // namespace chronark
