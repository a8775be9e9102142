// One very long line fed in small pieces: the time per byte must not grow
// with the line's length, whatever the piece size.
//
//   parse_long_line/header/SIZE/PIECE   the line is a header field
//   parse_long_line/body/SIZE/PIECE     the line is body data
//   parse_long_line/uu_wait/SIZE/PIECE  the line follows a uuencode begin
//                                       line, which waits for its line end
//
// Each piece is one ztmime_update followed by ztmime_do until the parser
// waits, as a host reading a slow socket does.  Sizes double, so linear
// cost shows as a constant MB/s down each group; memcpy/long_line/SIZE
// gives the same run's memory speed over the same bytes.
#include <cstring>
#include <map>
#include <string>

#include "bench_util.h"
#include "ztmime.h"

namespace {

struct Kind {
    const char *name;
    const char *head;
    uint32_t flags;
};

const Kind kinds[] = {
    {"header", "Subject: ", 0},
    {"body", "A: b\r\n\r\n", 0},
    {"uu_wait", "A: b\r\n\r\nbegin 644 f\r\n", ZTMIME_FLAG_UUENCODE},
};

void drain(ztmime_ctx *ctx)
{
    ztview *out = nullptr;
    while (ztmime_do(ctx, &out) > ZTMIME_NO_DATA)
        ztview_destroy(out);
}

void feed_line(benchmark::State &state, const Kind &kind, const std::string &line, size_t piece)
{
    for (auto _ : state) {
        ztmime_ctx *ctx = ztmime_init(0, kind.flags);
        ztview *head = ztview_from_buf(kind.head, std::strlen(kind.head));
        ztmime_update(ctx, head);
        ztview_destroy(head);
        drain(ctx);
        zt_bench::for_chunks(line, piece, [ctx](const char *p, size_t n) {
            ztview *v = _ztview_from_buf(p, n, 0, "host", __LINE__);
            ztmime_update(ctx, v);
            ztview_destroy(v);
            drain(ctx);
        });
        ztview *end = ztview_from_buf("\r\n", 2);
        ztmime_update(ctx, end);
        ztview_destroy(end);
        ztmime_finish(ctx);
        drain(ctx);
        ztmime_destroy(ctx);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}

int register_all()
{
    static std::map<size_t, std::string> lines;
    const std::pair<size_t, size_t> runs[] = {
        {1u << 20, 1}, {2u << 20, 1}, {4u << 20, 1}, {4u << 20, 16}, {8u << 20, 16}, {16u << 20, 16},
    };
    for (const auto &[size, piece] : runs) {
        std::string &line = lines[size];
        if (line.empty()) {
            line.assign(size, 'x');
            zt_bench::register_memcpy("long_line/" + std::to_string(size >> 20) + "MiB", &line);
        }
        for (const Kind &k : kinds) {
            std::string name = std::string("parse_long_line/") + k.name + "/" + std::to_string(size >> 20) +
                               "MiB/" + std::to_string(piece);
            benchmark::RegisterBenchmark(name.c_str(), [&k, &line, piece = piece](benchmark::State &state) {
                feed_line(state, k, line, piece);
            })->Unit(benchmark::kMillisecond)->Iterations(1);
        }
    }
    return 0;
}

const int registered = register_all();

} // namespace
