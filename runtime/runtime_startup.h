// Argument capture of the Fortran run-time library, for compiled programs
// and the library's own units; usable from C and C++. The vector is kept,
// not copied: the caller keeps it alive for the life of the process.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Called by a compiled program's entry code; a later call replaces both
// values. Nothing is validated: a null vector is kept as it is.
void _drovix_set_args(int argc, char **argv);

// The same function as _drovix_set_args, under the library's internal name.
__attribute__((visibility("hidden"))) void _drovixi_set_args(int argc, char **argv);

// Writes the stored count and vector; 0 and null before any store.
__attribute__((visibility("hidden"))) void _drovixi_get_args(int *argc, char ***argv);

// Does nothing; a reference to it makes a static link pull in this unit,
// and with it the load-time and exit-time hooks.
__attribute__((visibility("hidden"))) void _drovixi_stupid_function_name_for_static_linking(void);

#ifdef __cplusplus
}
#endif
