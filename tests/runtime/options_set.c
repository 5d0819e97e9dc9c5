// An options record whose word at byte offset 28 is non-zero in its third
// byte only, so reading a single byte or half-word there sees zero.
#include <stdint.h>

struct options_record {
  int32_t word[10];
};

struct options_record _drovixi_options = {{0, 0, 0, 0, 0, 0, 0, 0x10000, 0, 0}};
