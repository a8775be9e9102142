// Reads a message in chunks and runs the parser over it, for the commands
// that print what the parser sees.
#include "drive.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t chunk_size = 64 * 1024;

// Hands out every event that is ready.  1: more input is wanted, 0: the
// message is done or the handler stopped, -1: the parser failed.
int drain(const char *command, ztmime_ctx *ctx, bool finished, const EventHandler &on_event)
{
    for (;;) {
        ztview *out = nullptr;
        int ev = ztmime_do(ctx, &out);
        if (ev == ZTMIME_NO_DATA) {
            if (!finished)
                return 1;
            // Cannot happen: after finish the parser always ends.
            std::fprintf(stderr, "ztmime %s: parser stopped before the end\n", command);
            return -1;
        }
        if (ev == ZTMIME_ERROR) {
            const char *msg = ztmime_strerror();
            std::fprintf(stderr, "ztmime %s: parse error%s%s\n", command, *msg ? ": " : "", msg);
            return -1;
        }
        bool go_on = on_event(ctx, ev, out);
        ztview_destroy(out);
        if (!go_on || ev == ZTMIME_MSG_DONE)
            return 0;
    }
}

int feed(const char *command, const char *path, FILE *in, ztmime_ctx *ctx, const EventHandler &on_event)
{
    static unsigned char buf[chunk_size];
    for (;;) {
        size_t n = std::fread(buf, 1, sizeof buf, in);
        if (n == 0) {
            if (std::ferror(in)) {
                std::fprintf(stderr, "ztmime %s: %s: read error\n", command, path);
                return 3;
            }
            ztmime_finish(ctx);
            return drain(command, ctx, true, on_event) < 0 ? 1 : 0;
        }
        ztview *chunk = ztview_from_buf(buf, n);
        int rc = chunk ? ztmime_update(ctx, chunk) : -1;
        ztview_destroy(chunk);
        if (rc != 0) {
            std::fprintf(stderr, "ztmime %s: out of memory\n", command);
            return 1;
        }
        int r = drain(command, ctx, false, on_event);
        if (r <= 0)
            return r < 0 ? 1 : 0;
    }
}

} // namespace

int drive_parser(const char *command, const char *path, const EventHandler &on_event)
{
    FILE *in = std::strcmp(path, "-") ? std::fopen(path, "rb") : stdin;
    if (!in) {
        std::fprintf(stderr, "ztmime %s: %s: %s\n", command, path, std::strerror(errno));
        return 3;
    }
    int status = 1;
    if (ztmime_ctx *ctx = ztmime_init(0, 0)) {
        status = feed(command, path, in, ctx, on_event);
        ztmime_destroy(ctx);
    } else {
        std::fprintf(stderr, "ztmime %s: out of memory\n", command);
    }
    if (in != stdin)
        std::fclose(in);
    return status;
}
