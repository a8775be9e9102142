#include <cstdio>

#include "commands.h"

int cmd_encode(int, char **)
{
    std::fputs("ztmime encode: not available yet\n", stderr);
    return 1;
}
