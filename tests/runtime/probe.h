// Shared by the probe programs and the stand-ins for the run-time library.
#pragma once

// Writes the line and a newline to standard output, unbuffered, so that the
// order of lines written at load time, in main and at exit is kept.
void probe_note(const char *line);

// The unit's internal entries, reached through the unit that links the
// object, since a shared library does not export them.
void probe_get_args(int *argc, char ***argv);
void probe_set_args_internal(int argc, char **argv);
