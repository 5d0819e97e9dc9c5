// What differs between kiv-ar, kiv-nm and kiv-ranlib: the build picks one
// row with KIV_PERSONALITY.
#pragma once

struct personality_row {
  const char *personality;   // the tool that is looked up and run
  const char *wrapper_name;  // joined to $KIV_EXEC_PREFIX
  bool dash_rule;            // a first argument without '-' gets one
};

inline constexpr personality_row personality_table[] = {
    {"ar", "kiv-ar", true},
    {"nm", "kiv-nm", false},
    {"ranlib", "kiv-ranlib", false},
};

#ifndef KIV_PERSONALITY
#error "build with -DKIV_PERSONALITY=<row of personality_table>"
#endif
inline constexpr const personality_row &this_personality = personality_table[KIV_PERSONALITY];

inline constexpr char PLUGIN_FILE_NAME[] = "libvesk_plugin.so";

