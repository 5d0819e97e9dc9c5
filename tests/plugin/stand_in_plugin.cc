// A stand-in for the suite's plugin. The archive tools call onload when they
// load a plugin; this one only notes the load in $KIV_TEST_PLUGIN_LOG and
// registers nothing, so the tool goes on as without a plugin.
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int onload(void *) {
  if (const char *log = std::getenv("KIV_TEST_PLUGIN_LOG")) {
    if (FILE *f = std::fopen(log, "a")) {
      std::fputs("loaded\n", f);
      std::fclose(f);
    }
  }
  return 0;
}
