// What differs between kiv-ar, kiv-nm and kiv-ranlib. Each program is built
// with KIV_TOOL naming its tool; personality_named picks the row at compile
// time, and a name without a row does not compile.
#pragma once

#include <string_view>

#include "kiv_config.h"  // PLUGIN_FILE_NAME

struct personality_row {
  const char *personality;   // the tool that is looked up and run
  const char *wrapper_name;  // the program's own name; joined to $KIV_EXEC_PREFIX
  bool dash_rule;            // a first argument without '-' gets one
};

inline constexpr personality_row personality_table[] = {
    {"ar", "kiv-ar", true},
    {"nm", "kiv-nm", false},
    {"ranlib", "kiv-ranlib", false},
};

// Not constexpr: reaching it in a constant evaluation fails the build.
const personality_row &no_personality_for_this_tool();

consteval const personality_row &personality_named(std::string_view tool) {
  for (const personality_row &row : personality_table) {
    if (tool == row.personality) return row;
  }
  return no_personality_for_this_tool();
}
