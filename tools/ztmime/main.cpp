// ztmime: everyday mail jobs on top of the library.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "commands.h"
#include "help.h"
#include "ztmime.h"

namespace {

struct Command {
    const char *name;
    int (*run)(int, char **);
};

const Command commands[] = {
    {"tree", cmd_tree},       {"headers", cmd_headers}, {"extract", cmd_extract}, {"json", cmd_json},
    {"events", cmd_events},   {"decode", cmd_decode},   {"encode", cmd_encode},
};

int usage()
{
    std::fputs("usage: ztmime COMMAND [OPTIONS] [FILE|-]   (see: ztmime --help)\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *first = argv[1];
    if (!std::strcmp(first, "-h") || !std::strcmp(first, "--help") || !std::strcmp(first, "help")) {
        std::fputs(kHelpMain, stdout);
        return 0;
    }
    if (!std::strcmp(first, "--version") || !std::strcmp(first, "-V")) {
        std::printf("ztmime %s\n", ztmime_version());
        return 0;
    }
    for (const Command &c : commands) {
        if (std::strcmp(first, c.name))
            continue;
        try {
            return c.run(argc - 1, argv + 1);
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "ztmime %s: out of memory\n", c.name);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "ztmime %s: %s\n", c.name, e.what());
        }
        return 3;
    }
    std::fprintf(stderr, "ztmime: unknown command '%s'\n", first);
    return usage();
}
