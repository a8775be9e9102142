// ztmime: everyday mail jobs on top of the library.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
    const char *usage;
};

const Command commands[] = {
    {"events", cmd_events, "events [FILE|-]            print one line per parser event"},
    {"tree", cmd_tree, "tree [--headers] [FILE|-]  print the part structure"},
    {"decode", cmd_decode, "decode --base64|--qp|--uu|--dot [FILE|-]"},
    {"encode", cmd_encode, "encode --base64|--qp|--uu|--dot [FILE|-]"},
};

int usage(FILE *to)
{
    std::fputs("usage: ztmime COMMAND [ARGS]\n", to);
    for (const Command &c : commands)
        std::fprintf(to, "  ztmime %s\n", c.usage);
    return to == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage(stderr);
    if (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))
        return usage(stdout);
    for (const Command &c : commands)
        if (!std::strcmp(argv[1], c.name))
            return c.run(argc - 1, argv + 1);
    std::fprintf(stderr, "ztmime: unknown command '%s'\n", argv[1]);
    return usage(stderr);
}
