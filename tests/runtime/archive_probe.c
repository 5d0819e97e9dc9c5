// Links the unit from an archive: only the static-linking symbol pulls it in.
#include "probe.h"
#include "runtime_startup.h"

int main(void) {
  _drovixi_stupid_function_name_for_static_linking();
  probe_note("main");
  return 0;
}
