#include <cstdio>

#include "commands.h"

int cmd_events(int, char **)
{
    std::fputs("ztmime events: not available yet\n", stderr);
    return 1;
}
