// Locale-independent character classes and case mapping, indexed by a
// character's unsigned byte value. Bytes from 0x80 up belong to no class.
#pragma once

#include <array>
#include <cstdint>

inline constexpr uint16_t CC_BLANK = 0x0001;
inline constexpr uint16_t CC_CNTRL = 0x0002;
inline constexpr uint16_t CC_DIGIT = 0x0004;
inline constexpr uint16_t CC_LOWER = 0x0008;
inline constexpr uint16_t CC_PRINT = 0x0010;
inline constexpr uint16_t CC_PUNCT = 0x0020;
inline constexpr uint16_t CC_SPACE = 0x0040;
inline constexpr uint16_t CC_UPPER = 0x0080;
inline constexpr uint16_t CC_XDIGIT = 0x0100;
inline constexpr uint16_t CC_IDENT_START = 0x0200;
inline constexpr uint16_t CC_VSPACE = 0x0400;
inline constexpr uint16_t CC_NVSPACE = 0x0800;

extern const std::array<uint16_t, 256> char_class_table;
extern const std::array<unsigned char, 256> char_upper_table;
extern const std::array<unsigned char, 256> char_lower_table;

// True when c belongs to any class of mask. Takes a char of either
// signedness and indexes by its byte value.
inline bool char_in_class(char c, uint16_t mask) {
  return (char_class_table[static_cast<unsigned char>(c)] & mask) != 0;
}
