// Stores and reads back arguments as a compiled program and the run-time
// library would; the first argument names the scenario.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "probe.h"
#include "runtime_startup.h"

static char *other_vector[] = {"other", "vector", NULL};

// Names the stored vector by identity: the unit must keep the caller's pointer.
static void report(char **argv) {
  int count = 12345;
  char **vector = other_vector + 1;
  probe_get_args(&count, &vector);
  const char *name = "unknown";
  if (vector == NULL)
    name = "null";
  else if (vector == argv)
    name = "argv";
  else if (vector == argv + 1)
    name = "argv+1";
  else if (vector == other_vector)
    name = "other";
  char line[64];
  snprintf(line, sizeof line, "count=%d vector=%s", count, name);
  probe_note(line);
}

int main(int argc, char **argv) {
  const char *scenario = argc > 1 ? argv[1] : "hooks";
  if (strcmp(scenario, "hooks") == 0) {
    probe_note("main");
  } else if (strcmp(scenario, "exit") == 0) {
    probe_note("main");
    exit(3);
  } else if (strcmp(scenario, "unset") == 0) {
    report(argv);
  } else if (strcmp(scenario, "store") == 0) {
    _drovix_set_args(argc, argv);
    report(argv);
  } else if (strcmp(scenario, "twice") == 0) {
    _drovix_set_args(argc, argv);
    report(argv);
    _drovix_set_args(2, other_vector);
    report(argv);
  } else if (strcmp(scenario, "null") == 0) {
    _drovix_set_args(argc, argv);
    _drovix_set_args(-1, NULL);
    report(argv);
    _drovix_set_args(0, argv);
    report(argv);
  } else if (strcmp(scenario, "internal") == 0) {
    probe_set_args_internal(argc - 1, argv + 1);
    report(argv);
  } else {
    probe_note("unknown scenario");
    return 2;
  }
  return 0;
}
