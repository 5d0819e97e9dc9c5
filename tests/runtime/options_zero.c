// An options record whose only zero word is the one at byte offset 28, so a
// read at any other place sees a non-zero value.
#include <stdint.h>

struct options_record {
  int32_t word[10];
};

struct options_record _drovixi_options = {{-1, -1, -1, -1, -1, -1, -1, 0, -1, -1}};
