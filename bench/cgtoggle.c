/* Starts and stops callgrind's collection around one call from Python (through ctypes), and
   dumps what it collected under a name: how bench/cgprobe.py measures one comparison alone. */
#include <valgrind/callgrind.h>

void cg_toggle(void) { CALLGRIND_TOGGLE_COLLECT; }
void cg_dump(const char *name) { CALLGRIND_DUMP_STATS_AT(name); }
