// Safe replacement of a file's contents.
//
// The new contents go to a temporary file beside the target, which is flushed
// to disk and then renamed over the target; the folder is flushed too. So a
// full disk or a crash leaves either the old or the new file, never a mix.
// The target keeps its permission bits, extended attributes and access-control
// list (and owner, where allowed); a symbolic link is followed and its final
// target replaced, the link stays a link. A link in a sticky folder that
// everybody may write in (/tmp) is followed only when it belongs to the user
// or to the folder's owner, as the kernel's link protection has it; any
// other is refused with "Permission denied" and nothing is written.
// The temporary file is named "." + the target's name + "." + six random
// characters + ".chronark-tmp"; such files of a killed writer that are older
// than an hour are removed by the next successful save into their folder.
// Only when no temporary file can be created beside the target because the
// folder may not be written (while the file itself may) is the target
// truncated and written in place, as the only way left. A file the user may
// not write is refused. Devices and pipes are written to, never replaced;
// /dev/stdout, /dev/fd/N and /proc/self/fd/N write through that descriptor.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files/descriptor.h"

namespace chronark {

class TSafeFileWriter {
public:
  // Opens the temporary file (or, see above, the target itself).
  // Throws EInOutError "Cannot create file <name>: <reason>".
  explicit TSafeFileWriter(const std::string& FileName);
  // Without Commit the temporary file is removed and the target left as it was.
  ~TSafeFileWriter();
  TSafeFileWriter(const TSafeFileWriter&) = delete;
  TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

  // Buffered; throws EInOutError "Cannot write file <name>: <reason>".
  void Write(const void* Data, size_t Size);
  void Write(std::string_view Data) { Write(Data.data(), Data.size()); }

  // Flushes, syncs and renames over the target; syncs the folder.
  // Throws EInOutError naming the target; the target is then unchanged.
  void Commit();

  const std::string& FileName() const { return FFileName; }  // as given
  const std::string& TargetName() const { return FTarget; }  // links resolved
  bool InPlace() const { return FInPlace; }

private:
  void Flush();
  void Discard() noexcept;
  [[noreturn]] void Fail(const char* What, int Error);

  std::string FFileName;
  std::string FTarget;
  std::string FTempName;
  std::string FBuffer;
  TFileDescriptor FFd;
  bool FInPlace = false;
  bool FCommitted = false;
};

// Writes Data as the whole new contents of FileName through TSafeFileWriter.
void SafeWriteFile(const std::string& FileName, std::string_view Data);

// Removes the temporary files of killed writers (the name pattern above,
// plain files of this user, unchanged for an hour) from Folder.
void RemoveStaleTempFiles(const std::string& Folder);

// The target a symbolic link chain ends at (the name itself if no link);
// the target need not exist. Empty when a link on the way may not be
// followed (see above).
std::string ResolveSymlinks(const std::string& FileName);

}  // namespace chronark
