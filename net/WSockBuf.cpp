#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

namespace chronark {

TBuffer::TBuffer(int32_t Size) { SetBufSize(Size); }

void TBuffer::SetBufSize(int32_t Size) {
  if (Size <= 0) Size = 1514;  // an Ethernet frame
  if (Size == FCapacity) return;
  auto Block = std::make_unique<uint8_t[]>(static_cast<size_t>(Size));
  if (FWritePos > 0) {
    // Shrinking below the written bytes keeps what fits.
    FWritePos = std::min(FWritePos, Size);
    FReadPos = std::min(FReadPos, FWritePos);
    std::memcpy(Block.get(), FStorage.get(), static_cast<size_t>(FWritePos));
  }
  FStorage = std::move(Block);
  FCapacity = Size;
}

int32_t TBuffer::Append(const void* Data, int32_t Len) {
  if (Len <= 0 || Data == nullptr) return 0;
  int32_t Count = std::min(Len, FCapacity - FWritePos);
  if (Count <= 0) return 0;
  std::memcpy(FStorage.get() + FWritePos, Data, static_cast<size_t>(Count));
  FWritePos += Count;
  return Count;
}

const uint8_t* TBuffer::UnsentPart(int32_t& Len) const {
  Len = FWritePos - FReadPos;
  if (Len <= 0) {
    Len = 0;
    return nullptr;
  }
  return FStorage.get() + FReadPos;
}

void TBuffer::Consume(int32_t Len) {
  if (Len < 0) Len = 0;
  FReadPos += std::min(Len, FWritePos - FReadPos);
  if (FReadPos >= FWritePos) {
    FReadPos = 0;
    FWritePos = 0;
  }
}

}  // namespace chronark
