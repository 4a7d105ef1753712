// Send buffers of TWSocket: data the network has not yet accepted, held in
// chunks so that a slow peer never blocks the sender.
#pragma once

#include <cstdint>
#include <memory>

namespace chronark {

class TBuffer {
public:
  explicit TBuffer(int32_t Size);
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // Size <= 0 means 1514. The written bytes are kept when the block changes.
  void SetBufSize(int32_t Size);
  // Copies as much as fits behind WritePos; returns the count (0 when full).
  int32_t Append(const void* Data, int32_t Len);
  // The bytes between ReadPos and WritePos (nullptr and 0 when none).
  const uint8_t* UnsentPart(int32_t& Len) const;
  // Marks Len bytes as sent (at most the unsent length); when all is sent,
  // both positions return to 0.
  void Consume(int32_t Len);

  int32_t Capacity() const { return FCapacity; }
  int32_t WritePos() const { return FWritePos; }
  int32_t ReadPos() const { return FReadPos; }
  const uint8_t* Storage() const { return FStorage.get(); }

private:
  std::unique_ptr<uint8_t[]> FStorage;
  int32_t FCapacity = 0;
  int32_t FWritePos = 0;
  int32_t FReadPos = 0;
};

}  // namespace chronark
