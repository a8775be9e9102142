#include <cstdio>

#include "commands.h"

int cmd_tree(int, char **)
{
    std::fputs("ztmime tree: not available yet\n", stderr);
    return 1;
}
