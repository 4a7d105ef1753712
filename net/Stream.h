// Byte streams: the small stream abstraction that THttpCli reads POST bodies
// from and writes documents into. Owned by the caller, never by the client.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/exceptions.h"

namespace chronark {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream() = default;

  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes up to Count bytes; returns how many were written.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

  // Writes all Count bytes or raises EStreamError "Stream write error".
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Reads exactly Count bytes or raises EStreamError "Stream read error".
  void ReadBuffer(void* Buffer, int64_t Count);

  // A hint that about Bytes more are going to be written; streams that can
  // make room ahead (memory) do so, the others ignore it.
  virtual void Reserve(int64_t /*Bytes*/) {}

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
  int64_t Size();
};

// Growable in-memory stream. MaxSize (< 0: unlimited) bounds the data it
// accepts: a write that would grow it beyond MaxSize writes nothing, so that
// WriteBuffer raises and a document that is too large never lands half.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(int64_t MaxSize) : FMaxSize(MaxSize) {}
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void Reserve(int64_t Bytes) override;

  void Clear();
  void SetSize(int64_t NewSize);
  const uint8_t* Memory() const { return FData; }
  int64_t Capacity() const { return FCapacity; }
  std::string_view View() const;
  std::string DataString() const { return std::string(View()); }

  int64_t MaxSize() const { return FMaxSize; }
  void SetMaxSize(int64_t Value) { FMaxSize = Value; }

private:
  void Grow(int64_t Needed);
  uint8_t* FData = nullptr;
  int64_t FSize = 0;
  int64_t FCapacity = 0;
  int64_t FPosition = 0;
  int64_t FMaxSize = -1;
};

// A stream over a string held by the stream (handy for POST bodies).
class TStringStream : public TMemoryStream {
public:
  explicit TStringStream(std::string_view Data);
};

}  // namespace chronark
