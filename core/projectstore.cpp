#include "core/projectstore.h"

#include "common/exceptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace chronark {

namespace {

bool WriteAllAt(int Fd, const unsigned char* Data, size_t Size, off_t At) {
  while (Size > 0) {
    const ssize_t N = ::pwrite(Fd, Data, Size, At);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    Data += N;
    Size -= size_t(N);
    At += N;
  }
  return true;
}

}  // namespace

bool TProjectStore::Matches(const struct stat& St, size_t Count) const {
  return FKnown && S_ISREG(St.st_mode) && St.st_dev == FDevice && St.st_ino == FInode &&
         St.st_size == FSize && Count == FCount && St.st_size == off_t(Count * CREntrySize) &&
         St.st_mtim.tv_sec == FModified.tv_sec && St.st_mtim.tv_nsec == FModified.tv_nsec;
}

bool TProjectStore::Remember(const std::string& FileName, size_t Count) {
  struct stat St;
  FKnown = false;
  if (::stat(FileName.c_str(), &St) != 0 || !S_ISREG(St.st_mode)) return false;
  FFileName = FileName;
  FCount = Count;
  FDevice = St.st_dev;
  FInode = St.st_ino;
  FSize = St.st_size;
  FModified = St.st_mtim;
  FKnown = true;
  return true;
}

bool TProjectStore::Knows(const std::string& FileName, size_t Count) const {
  struct stat St;
  return FKnown && FileName == FFileName && ::stat(FileName.c_str(), &St) == 0 &&
         Matches(St, Count);
}

void TProjectStore::Load(TChronarkMan& Manager, const std::string& FileName) {
  FKnown = false;
  Manager.LoadFromFile(FileName);
  Remember(FileName, Manager.Entries().size());
}

void TProjectStore::Save(const TChronarkMan& Manager, const std::string& FileName) {
  FKnown = false;
  Manager.SaveToFile(FileName);
  Remember(FileName, Manager.Entries().size());
}

bool TProjectStore::TryAppend(const TChronarkMan& Manager, const std::string& FileName) {
  const size_t Count = Manager.Entries().size();
  if (!FKnown || Count == 0 || FileName != FFileName) return false;
  const int Fd = ::open(FileName.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return false;
  struct stat St;
  bool Done = false;
  if (::fstat(Fd, &St) == 0 && Matches(St, Count - 1)) {
    unsigned char Record[CREntrySize];
    EncodeRecord(Manager.Entries().back(), Record);
    Done = WriteAllAt(Fd, Record, CREntrySize, St.st_size) && ::fdatasync(Fd) == 0;
    // A short or failed append is taken back, so that the rewrite that
    // follows starts from the file as it was.
    if (!Done) (void)!::ftruncate(Fd, St.st_size);
  }
  ::close(Fd);
  return Done && Remember(FileName, Count);
}

void TProjectStore::SaveAdded(const TChronarkMan& Manager, const std::string& FileName) {
  if (TryAppend(Manager, FileName)) return;
  Save(Manager, FileName);
}

}  // namespace chronark
