#include "getopt_rewind.h"

#include <getopt.h>
#include <unistd.h>

// The BSD scanner restarts only when told through optreset.
void rewind_getopt()
{
    optreset = 1;
    optind = 1;
}
