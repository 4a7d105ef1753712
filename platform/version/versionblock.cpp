#include "platform/version/versionblock.h"

#include "common/cstring.h"

namespace chronark {
namespace {

// Bounds-checked little-endian cursor: a block comes from any file on disk.
class TBlockReader {
public:
  explicit TBlockReader(std::span<const unsigned char> Data) : FData(Data) {}

  bool Skip(size_t Count) {
    if (FData.size() - FPos < Count) return Fail();
    FPos += Count;
    return true;
  }
  bool U16(uint16_t& Value) {
    if (FData.size() - FPos < 2) return Fail();
    Value = static_cast<uint16_t>(FData[FPos] | (FData[FPos + 1] << 8));
    FPos += 2;
    return true;
  }
  bool U32(uint32_t& Value) {
    uint16_t Low = 0, High = 0;
    if (!U16(Low) || !U16(High)) return false;
    Value = Low | (uint32_t{High} << 16);
    return true;
  }
  bool Text(std::string_view& Value) {
    uint16_t Length = 0;
    if (!U16(Length)) return false;
    if (FData.size() - FPos < Length) return Fail();
    Value = {reinterpret_cast<const char*>(FData.data() + FPos), Length};
    FPos += Length;
    return true;
  }

private:
  bool Fail() {
    FPos = FData.size();
    return false;
  }
  std::span<const unsigned char> FData;
  size_t FPos{0};
};

// Leaves the reader at the first translation's string table.
bool ReadHeader(TBlockReader& Reader, uint32_t& First) {
  uint16_t Count = 0;
  return Reader.Skip(VersionBlockMagic.size()) && Reader.Skip(16) && Reader.U16(Count) &&
         Count > 0 && Reader.U32(First) && Reader.Skip(size_t{Count - 1u} * 4);
}

bool HasMagic(std::span<const unsigned char> Block) {
  return Block.size() >= VersionBlockMagic.size() &&
         std::string_view(reinterpret_cast<const char*>(Block.data()), VersionBlockMagic.size()) ==
             VersionBlockMagic;
}

}  // namespace

std::optional<uint32_t> FirstTranslation(std::span<const unsigned char> Block) {
  if (!HasMagic(Block)) return std::nullopt;
  TBlockReader Reader(Block);
  uint32_t First = 0;
  if (!ReadHeader(Reader, First)) return std::nullopt;
  return First;
}

std::optional<std::string> FindVersionString(std::span<const unsigned char> Block,
                                             std::string_view Key) {
  if (!HasMagic(Block)) return std::nullopt;
  TBlockReader Reader(Block);
  uint32_t First = 0;
  uint16_t Strings = 0;
  if (!ReadHeader(Reader, First) || !Reader.U16(Strings)) return std::nullopt;
  for (uint16_t i = 0; i < Strings; ++i) {
    std::string_view Name, Value;
    if (!Reader.Text(Name) || !Reader.Text(Value)) return std::nullopt;
    if (SameTextAscii(Name, Key)) return std::string(Value);
  }
  return std::nullopt;
}

}  // namespace chronark
