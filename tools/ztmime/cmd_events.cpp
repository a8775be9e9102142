// ztmime events [FILE|-]: drives the parser over a message and prints one
// line per event: its name, the byte count and an escaped preview.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "drive.h"
#include "help.h"
#include "ztmime.h"

namespace {

constexpr size_t preview_len = 40;

void print_event(int ev, const ztview *view)
{
    size_t len = ztview_get_len(view);
    std::printf("%-24s %8zu", ztmime_type_to_str(ev), len);
    if (view) {
        unsigned char buf[preview_len];
        size_t n = len < preview_len ? len : preview_len;
        for (size_t i = 0; i < n; ++i)
            ztview_getnchar(view, i, &buf[i]);
        std::fputs("  \"", stdout);
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = buf[i];
            if (c == '\r')
                std::fputs("\\r", stdout);
            else if (c == '\n')
                std::fputs("\\n", stdout);
            else if (c == '\t')
                std::fputs("\\t", stdout);
            else if (c == '\\' || c == '"')
                std::printf("\\%c", c);
            else if (c >= 0x20 && c < 0x7f)
                std::putchar(c);
            else
                std::printf("\\x%02x", c);
        }
        std::fputs(len > n ? "\"..." : "\"", stdout);
    }
    std::putchar('\n');
}

// Hands a header field to header interpretation so that boundaries and
// embedded messages are followed.
void interpret_header(ztmime_ctx *ctx, const ztview *field)
{
    if (ztmime_parse_header(ctx, field, nullptr) < 0)
        std::fprintf(stderr, "ztmime events: warning: %s\n", ztmime_strerror());
}

} // namespace

int cmd_events(int argc, char **argv)
{
    if (argc > 1 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help"))) {
        std::fputs(kHelpEvents, stdout);
        return 0;
    }
    const char *path = argc > 1 ? argv[1] : "-";
    if (argc > 2) {
        std::fputs("usage: ztmime events [FILE|-]\n", stderr);
        return 2;
    }
    int status = drive_parser("events", path, [](ztmime_ctx *ctx, int ev, ztview *out) {
        print_event(ev, out);
        if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
            interpret_header(ctx, out);
        return true;
    });
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}
