// The run of kiv-ar, kiv-nm and kiv-ranlib, from the command line to the
// exit status, and the steps of it that stand on their own.
#pragma once

#include <cstdio>

#include "personality.h"

// The whole run for one personality: search lists, -B, lookups, @file
// hand-over, the tool's run. Returns the exit status; fatal response-file
// errors and running out of memory end the process with status 1 themselves.
int wrapper_main(const personality_row &personality, int argc, char **argv);

// Takes the first argument that begins with "-B" (argv[0] included) out of
// argv, with the one after it when it is exactly "-B", and points
// *directory at its directory (null without one). False, with nothing
// changed, when "-B" is the last argument.
bool take_directory_option(int *argc, char **argv, const char **directory);

// kiv-ar's rule: a new string, "-" followed by argv[1], when the personality
// has the rule and argv[1] exists and does not begin with '-'; else null.
char *dashed_first_argument(const personality_row &personality, char *const *argv);

// What became of the tool: a message when it could not be run (or waited
// for), with the system's error number (0: none), else its raw wait status.
struct tool_outcome {
  const char *message;
  int status;
  int error;
};

// The wrapper's exit status for the tool's outcome: the tool's own exit
// code, or 1 (not run, stopped, continued, ended by a signal). Writes the
// line that belongs to it, if any, to messages.
int exit_code_for(const char *tool, tool_outcome outcome, FILE *messages);
