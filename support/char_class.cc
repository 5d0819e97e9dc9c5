#include "char_class.h"

#include <array>

namespace {

constexpr bool in(int c, int lo, int hi) { return c >= lo && c <= hi; }

constexpr uint16_t classes_of(int c) {
  uint16_t bits = 0;
  if (c == '\t' || c == ' ') bits |= CC_BLANK;
  if (in(c, 0x00, 0x1f) || c == 0x7f) bits |= CC_CNTRL;
  if (in(c, '0', '9')) bits |= CC_DIGIT;
  if (in(c, 'a', 'z')) bits |= CC_LOWER;
  if (in(c, 0x20, 0x7e)) bits |= CC_PRINT;
  if (in(c, 0x21, 0x2f) || in(c, 0x3a, 0x40) || in(c, 0x5b, 0x60) || in(c, 0x7b, 0x7e))
    bits |= CC_PUNCT;
  if (in(c, 0x09, 0x0d) || c == ' ') bits |= CC_SPACE;
  if (in(c, 'A', 'Z')) bits |= CC_UPPER;
  if (in(c, '0', '9') || in(c, 'A', 'F') || in(c, 'a', 'f')) bits |= CC_XDIGIT;
  if (in(c, 'A', 'Z') || in(c, 'a', 'z') || c == '_') bits |= CC_IDENT_START;
  if (c == '\n' || c == '\r') bits |= CC_VSPACE;
  if (c == 0 || c == '\t' || c == '\v' || c == '\f' || c == ' ') bits |= CC_NVSPACE;
  return bits;
}

template <typename T, typename F>
constexpr std::array<T, 256> make_table(F f) {
  std::array<T, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<T>(f(c));
  return table;
}

}  // namespace

// Defined here with external linkage (declared extern in the header) and
// filled at compile time: no code runs at start-up.
constexpr std::array<uint16_t, 256> char_class_table = make_table<uint16_t>(classes_of);
constexpr std::array<unsigned char, 256> char_upper_table =
    make_table<unsigned char>([](int c) { return in(c, 'a', 'z') ? c - 'a' + 'A' : c; });
constexpr std::array<unsigned char, 256> char_lower_table =
    make_table<unsigned char>([](int c) { return in(c, 'A', 'Z') ? c - 'A' + 'a' : c; });

static_assert(char_class_table[0x00] == 0x0802 && char_class_table['\t'] == 0x0843 &&
              char_class_table['\n'] == 0x0442 && char_class_table[' '] == 0x0851 &&
              char_class_table['_'] == 0x0230 && char_class_table['a'] == 0x0318 &&
              char_class_table['G'] == 0x0290 && char_class_table[0x80] == 0);
