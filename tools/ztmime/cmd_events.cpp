// ztmime events [FILE|-]: drives the parser over a message and prints one
// line per event: its name, the byte count and an escaped preview.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "ztmime.h"

namespace {

constexpr size_t chunk_size = 64 * 1024;
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
    const char *path = argc > 1 ? argv[1] : "-";
    if (argc > 2) {
        std::fputs("usage: ztmime events [FILE|-]\n", stderr);
        return 2;
    }
    FILE *in = std::strcmp(path, "-") ? std::fopen(path, "rb") : stdin;
    if (!in) {
        std::fprintf(stderr, "ztmime events: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    ztmime_ctx *ctx = ztmime_init(0, 0);
    if (!ctx) {
        std::fprintf(stderr, "ztmime events: %s\n", ztmime_strerror());
        if (in != stdin)
            std::fclose(in);
        return 1;
    }

    static unsigned char buf[chunk_size];
    int status = 0;
    bool done = false, finished = false;
    while (!done) {
        if (!finished) {
            size_t n = std::fread(buf, 1, sizeof buf, in);
            if (n > 0) {
                ztview *chunk = ztview_from_buf(buf, n);
                int rc = chunk ? ztmime_update(ctx, chunk) : -1;
                ztview_destroy(chunk);
                if (rc != 0) {
                    std::fputs("ztmime events: out of memory\n", stderr);
                    status = 1;
                    break;
                }
            } else {
                if (std::ferror(in)) {
                    std::fprintf(stderr, "ztmime events: %s: read error\n", path);
                    status = 1;
                    break;
                }
                ztmime_finish(ctx);
                finished = true;
            }
        }
        for (;;) {
            ztview *out = nullptr;
            int ev = ztmime_do(ctx, &out);
            if (ev == ZTMIME_NO_DATA) {
                if (finished) {
                    // Cannot happen: after finish the parser always ends.
                    std::fputs("ztmime events: parser stopped before the end\n", stderr);
                    status = 1;
                    done = true;
                }
                break;
            }
            if (ev == ZTMIME_ERROR) {
                const char *msg = ztmime_strerror();
                std::fprintf(stderr, "ztmime events: parse error%s%s\n", *msg ? ": " : "", msg);
                status = 1;
                done = true;
                break;
            }
            print_event(ev, out);
            if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
                interpret_header(ctx, out);
            ztview_destroy(out);
            if (ev == ZTMIME_MSG_DONE) {
                done = true;
                break;
            }
        }
    }
    ztmime_destroy(ctx);
    if (in != stdin)
        std::fclose(in);
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}
