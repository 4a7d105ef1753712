#include "net/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <new>

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

TMemoryStream::~TMemoryStream() { Clear(); }

void TMemoryStream::Grow(int64_t Needed) {
  if (Needed <= FCapacity) return;
  const int64_t NewCap = std::max<int64_t>({Needed, FCapacity * 2, 256});
  void* P = std::realloc(FData, static_cast<size_t>(NewCap));
  if (!P) throw std::bad_alloc();
  FData = static_cast<uint8_t*>(P);
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

void TMemoryStream::Clear() {
  std::free(FData);
  FData = nullptr;
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

TStringStream::TStringStream(std::string_view Data) {
  Write(Data.data(), static_cast<int64_t>(Data.size()));
  SetPosition(0);
}

}  // namespace chronark
