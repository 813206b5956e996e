#include "runtime/daemon_main.h"

#include <cstdio>

int daemon_main(Controller&)
{
    std::fputs("halvorn: the daemon is not built yet\n", stderr);
    return 1;
}
