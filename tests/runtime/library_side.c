// What the run-time library's own units do with the internal entries.
#include "probe.h"
#include "runtime_startup.h"

void probe_get_args(int *argc, char ***argv) { _drovixi_get_args(argc, argv); }

void probe_set_args_internal(int argc, char **argv) { _drovixi_set_args(argc, argv); }
