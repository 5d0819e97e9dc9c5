// kiv-ar, kiv-nm and kiv-ranlib: run the system tool with the suite's plugin.
#include "personality.h"
#include "wrapper.h"

int main(int argc, char **argv) { return wrapper_main(personality_named(KIV_TOOL), argc, argv); }
