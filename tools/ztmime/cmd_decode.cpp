#include <cstdio>

#include "commands.h"

int cmd_decode(int, char **)
{
    std::fputs("ztmime decode: not available yet\n", stderr);
    return 1;
}
