// The open project on disk: every change is saved when it is made.
//
// The store remembers what the project file holds after its own load or
// save (device, inode, size, modification time and the number of entries).
// A recorded interval then only appends its 280-byte record and flushes it,
// when the file is still exactly what was remembered; the reader drops a
// torn partial record, so a crash during the append loses nothing else.
// Any doubt (a file changed, replaced, cut or never written) rewrites the
// whole file with the safe writer.
#pragma once

#include "core/crkm.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

namespace chronark {

class TProjectStore {
public:
  // LoadFromFile; afterwards the file is known to hold the loaded entries
  // (unless a partial record trails them).
  void Load(TChronarkMan& Manager, const std::string& FileName);
  // SaveToFile; afterwards the file is known to hold every entry.
  void Save(const TChronarkMan& Manager, const std::string& FileName);
  // The save after one entry was appended to Manager: the append described
  // above, or Save. Throws EInOutError as SaveToFile does.
  void SaveAdded(const TChronarkMan& Manager, const std::string& FileName);
  // Nothing is known of the file any more (a new project, a failed save).
  void Forget() { FKnown = false; }
  // The file FileName is known to hold exactly Count entries.
  bool Knows(const std::string& FileName, size_t Count) const;

private:
  bool Remember(const std::string& FileName, size_t Count);
  bool Matches(const struct stat& St, size_t Count) const;
  bool TryAppend(const TChronarkMan& Manager, const std::string& FileName);

  bool FKnown = false;
  std::string FFileName;
  size_t FCount = 0;
  dev_t FDevice = 0;
  ino_t FInode = 0;
  off_t FSize = 0;
  timespec FModified{};
};

}  // namespace chronark
