#include "net/Stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <new>

#include <sys/mman.h>

namespace chronark {

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
}

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count > 0 && Read(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

int64_t TStream::Size() {
  const int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
  const int64_t End = Seek(0, TSeekOrigin::soEnd);
  Seek(Pos, TSeekOrigin::soBeginning);
  return End;
}

namespace {
constexpr int64_t kMapThreshold = int64_t(1) << 21;  // 2 MiB: one huge page

// A mapping that starts on a huge-page boundary, so that the kernel can back
// it with huge pages: far fewer page faults for a large document.
void* MapAligned(int64_t Size) {
  const size_t Len = static_cast<size_t>(Size + kMapThreshold);
  void* P = ::mmap(nullptr, Len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (P == MAP_FAILED) return P;
  const uintptr_t Start = reinterpret_cast<uintptr_t>(P);
  const uintptr_t Aligned =
      (Start + kMapThreshold - 1) & ~static_cast<uintptr_t>(kMapThreshold - 1);
  if (Aligned > Start) ::munmap(P, Aligned - Start);
  const uintptr_t End = Start + Len, AlignedEnd = Aligned + static_cast<uintptr_t>(Size);
  if (End > AlignedEnd) ::munmap(reinterpret_cast<void*>(AlignedEnd), End - AlignedEnd);
  return reinterpret_cast<void*>(Aligned);
}
}  // namespace

TMemoryStream::~TMemoryStream() { Clear(); }

void TMemoryStream::Grow(int64_t Needed) {
  if (Needed <= FCapacity) return;
  int64_t NewCap = std::max<int64_t>({Needed, FCapacity * 2, 256});
  if (NewCap >= kMapThreshold) {
    NewCap = (NewCap + kMapThreshold - 1) / kMapThreshold * kMapThreshold;
    void* P;
    if (FMapped) {
      P = ::mremap(FData, static_cast<size_t>(FCapacity), static_cast<size_t>(NewCap),
                   MREMAP_MAYMOVE);
    } else {
      P = MapAligned(NewCap);
      if (P != MAP_FAILED && FSize > 0) std::memcpy(P, FData, static_cast<size_t>(FSize));
    }
    if (P == MAP_FAILED) throw std::bad_alloc();
    ::madvise(P, static_cast<size_t>(NewCap), MADV_HUGEPAGE);
    if (!FMapped) std::free(FData);
    FData = static_cast<uint8_t*>(P);
    FMapped = true;
  } else {
    void* P = std::realloc(FData, static_cast<size_t>(NewCap));
    if (!P) throw std::bad_alloc();
    FData = static_cast<uint8_t*>(P);
  }
  FCapacity = NewCap;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  const int64_t N = std::clamp<int64_t>(Count, 0, std::max<int64_t>(FSize - FPosition, 0));
  if (N > 0) {
    std::memcpy(Buffer, FData + FPosition, static_cast<size_t>(N));
    FPosition += N;
  }
  return N;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const int64_t End = FPosition + Count;
  if (FMaxSize >= 0 && End > FMaxSize) return 0;
  try {
    Grow(End);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (FPosition > FSize) std::memset(FData + FSize, 0, static_cast<size_t>(FPosition - FSize));
  std::memcpy(FData + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = End;
  FSize = std::max(FSize, End);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Base = 0;
  if (Origin == TSeekOrigin::soCurrent)
    Base = FPosition;
  else if (Origin == TSeekOrigin::soEnd)
    Base = FSize;
  FPosition = std::max<int64_t>(0, Base + Offset);
  return FPosition;
}

void TMemoryStream::Reserve(int64_t Bytes) {
  // Only what the limit allows, and never more than 1 GiB on a mere hint.
  int64_t Want = FPosition + std::clamp<int64_t>(Bytes, 0, int64_t(1) << 30);
  if (FMaxSize >= 0) Want = std::min(Want, FMaxSize);
  try {
    Grow(Want);
  } catch (const std::bad_alloc&) {}
}

void* TMemoryStream::BeginWrite(int64_t Wanted, int64_t& Avail) {
  Avail = 0;
  if (FPosition > FSize) return nullptr;
  int64_t End = FPosition + std::max<int64_t>(Wanted, 0);
  if (FMaxSize >= 0) End = std::min(End, FMaxSize);
  if (End <= FPosition) return nullptr;
  try {
    Grow(End);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  Avail = End - FPosition;
  return FData + FPosition;
}

void TMemoryStream::EndWrite(int64_t Written) {
  if (Written <= 0) return;
  Written = std::min(Written, FCapacity - FPosition);
  FPosition += Written;
  FSize = std::max(FSize, FPosition);
}

void TMemoryStream::Clear() {
  if (FMapped)
    ::munmap(FData, static_cast<size_t>(FCapacity));
  else
    std::free(FData);
  FData = nullptr;
  FMapped = false;
  FSize = FCapacity = FPosition = 0;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  NewSize = std::max<int64_t>(NewSize, 0);
  Grow(NewSize);
  if (NewSize > FSize) std::memset(FData + FSize, 0, static_cast<size_t>(NewSize - FSize));
  FSize = NewSize;
  FPosition = std::min(FPosition, FSize);
}

std::string_view TMemoryStream::View() const {
  return {reinterpret_cast<const char*>(FData), static_cast<size_t>(FSize)};
}

void TMemoryStream::SaveToFile(const std::string& FileName) const {
  std::FILE* F = std::fopen(FileName.c_str(), "wb");
  if (!F) throw EStreamError("Cannot create file " + FileName);
  const bool Ok = FSize == 0 || std::fwrite(FData, 1, static_cast<size_t>(FSize), F) ==
                                    static_cast<size_t>(FSize);
  if (std::fclose(F) != 0 || !Ok) throw EStreamError("Unable to write to " + FileName);
}

TStringStream::TStringStream(std::string_view Data) {
  Write(Data.data(), static_cast<int64_t>(Data.size()));
  SetPosition(0);
}

}  // namespace chronark
