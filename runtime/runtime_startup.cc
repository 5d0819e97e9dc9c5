// Keeps the program's arguments for the run-time library and runs the
// library's initialisation at load time and its clean-up at exit. Linked into
// C programs and shared libraries without the C++ run-time, so it uses nothing
// but the five library functions and the options record.
#include "runtime_startup.h"

#include <cstddef>
#include <cstdint>

static_assert(sizeof(int) == 4, "the argument count is a 32-bit integer");

// Only the word at byte offset 28 is read here; the rest of the record's
// layout belongs to the library.
struct drovixi_options_record {
  std::int32_t leading[7];
  std::int32_t fpu_setting;
};
static_assert(offsetof(drovixi_options_record, fpu_setting) == 28);

extern "C" {
void _drovixi_init_variables(void);
void _drovixi_init_units(void);
void _drovixi_set_fpu(void);
void _drovixi_init_compile_options(void);
void _drovixi_close_units(void);
// Not const: the library's initialisation may fill it in before it is read.
extern drovixi_options_record _drovixi_options;
}

// Assembler names give the local symbols the plain names a C unit would have,
// not C++-mangled ones.
static int argc_save __asm__("argc_save");
static char **argv_save __asm__("argv_save");

extern "C" void _drovix_set_args(int argc, char **argv) {
  argc_save = argc;
  argv_save = argv;
}

extern "C" void _drovixi_set_args(int argc, char **argv)
    __attribute__((alias("_drovix_set_args")));

extern "C" void _drovixi_get_args(int *argc, char ***argv) {
  *argc = argc_save;
  *argv = argv_save;
}

extern "C" void _drovixi_stupid_function_name_for_static_linking(void) {}

__attribute__((constructor)) static void init(void) __asm__("init");
__attribute__((destructor)) static void cleanup(void) __asm__("cleanup");

static void init(void) {
  _drovixi_init_variables();
  _drovixi_init_units();
  if (_drovixi_options.fpu_setting != 0) _drovixi_set_fpu();
  _drovixi_init_compile_options();
}

static void cleanup(void) { _drovixi_close_units(); }
