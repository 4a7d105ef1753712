// The byte layout of a version block, shared by the reader and its tests.
//
// All numbers little-endian:
//   magic "VERBLK1\0" (8 bytes)
//   fixed file version, fixed product version: 4 x u16 each (major first)
//   u16 N, then N x u32 translations (language low half, code page high half)
//   N string tables in translation order, each: u16 M, then M x
//     (u16 key length, key bytes, u16 value length, value bytes)
// Texts are 8-bit in the translation's code page, without terminating zero.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace chronark {

inline constexpr std::string_view VersionBlockMagic{"VERBLK1\0", 8};

// The string Key (ASCII letter case ignored) of the block's first
// translation; nullopt when the block is malformed or has no such string.
std::optional<std::string> FindVersionString(std::span<const unsigned char> Block,
                                             std::string_view Key);

// The first translation entry of a block, nullopt for a malformed block or
// one without translations.
std::optional<uint32_t> FirstTranslation(std::span<const unsigned char> Block);

}  // namespace chronark
