#include "getopt_rewind.h"

#include <getopt.h>

// glibc re-initialises its whole scanner, including a half-read option
// cluster, when optind is 0.
void rewind_getopt() { optind = 0; }
