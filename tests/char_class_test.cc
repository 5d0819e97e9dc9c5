#include "char_class.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>

namespace {

// Each class against the C library's classification in the "C" locale.
TEST(CharClass, AgreesWithTheCLocaleForAscii) {
  ASSERT_NE(setlocale(LC_ALL, "C"), nullptr);
  struct Class {
    uint16_t bit;
    int (*is)(int);
    const char *name;
  } classes[] = {
      {CC_BLANK, isblank, "blank"}, {CC_CNTRL, iscntrl, "cntrl"}, {CC_DIGIT, isdigit, "digit"},
      {CC_LOWER, islower, "lower"}, {CC_PRINT, isprint, "print"}, {CC_PUNCT, ispunct, "punct"},
      {CC_SPACE, isspace, "space"}, {CC_UPPER, isupper, "upper"}, {CC_XDIGIT, isxdigit, "xdigit"},
  };
  for (int c = 0; c < 128; ++c) {
    uint16_t entry = char_class_table[c];
    for (const Class &k : classes)
      EXPECT_EQ((entry & k.bit) != 0, k.is(c) != 0) << k.name << " of byte " << c;
    EXPECT_EQ((entry & CC_IDENT_START) != 0, isalpha(c) || c == '_') << c;
    EXPECT_EQ((entry & CC_VSPACE) != 0, c == '\n' || c == '\r') << c;
    EXPECT_EQ((entry & CC_NVSPACE) != 0, c == 0 || (isspace(c) && c != '\n' && c != '\r')) << c;
    EXPECT_EQ(entry & 0xF000, 0) << c;
    EXPECT_EQ(char_upper_table[c], toupper(c)) << c;
    EXPECT_EQ(char_lower_table[c], tolower(c)) << c;
  }
}

TEST(CharClass, HighBytesBelongToNoClass) {
  for (int c = 0x80; c < 256; ++c) {
    EXPECT_EQ(char_class_table[c], 0) << c;
    EXPECT_EQ(char_upper_table[c], c);
    EXPECT_EQ(char_lower_table[c], c);
    // Whatever the signedness of char, a high byte indexes the upper half.
    EXPECT_FALSE(char_in_class(static_cast<char>(c), 0xFFFF));
  }
}

TEST(CharClass, SpotEntries) {
  EXPECT_EQ(char_class_table[0x00], 0x0802);
  EXPECT_EQ(char_class_table['\t'], 0x0843);
  EXPECT_EQ(char_class_table['\v'], 0x0842);
  EXPECT_EQ(char_class_table['\r'], 0x0442);
  EXPECT_EQ(char_class_table[' '], 0x0851);
  EXPECT_EQ(char_class_table['_'], 0x0230);
  EXPECT_EQ(char_class_table['5'], 0x0114);
  EXPECT_EQ(char_class_table['F'], 0x0390);
  EXPECT_EQ(char_class_table['z'], 0x0218);
  EXPECT_EQ(char_class_table[0x7F], 0x0002);
  EXPECT_FALSE(char_in_class('\0', CC_SPACE));
  EXPECT_TRUE(char_in_class('q', CC_UPPER | CC_LOWER));
}

}  // namespace
