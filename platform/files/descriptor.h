// One owner per open file descriptor: closed when the owner ends, moved but
// never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace chronark {

class TFileDescriptor {
public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int Fd) noexcept : FFd(Fd) {}
  ~TFileDescriptor() { Reset(); }
  TFileDescriptor(TFileDescriptor&& Other) noexcept : FFd(std::exchange(Other.FFd, -1)) {}
  TFileDescriptor& operator=(TFileDescriptor&& Other) noexcept {
    if (this != &Other) Reset(std::exchange(Other.FFd, -1));
    return *this;
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  // Closes the descriptor held (errors ignored) and takes Fd instead.
  void Reset(int Fd = -1) noexcept;
  // Closes now; close's result (0, or -1 with errno), for writers that must
  // report a failed close.
  int Close() noexcept;

private:
  int FFd = -1;
};

// Appends everything from the current position to the end of Fd to Text;
// false with errno when a read fails.
bool ReadToEnd(int Fd, std::string& Text);

// Reads exactly Length bytes at Offset; false at the end of the file, for an
// offset no file can have, or with errno when a read fails.
bool ReadAt(int Fd, uint64_t Offset, void* Buffer, size_t Length);

}  // namespace chronark
