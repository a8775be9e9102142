// Piece size of the host's input: the body-heavy mbox (64 MiB of messages
// with base64 attachments) fed as one stream in pieces of 64 KiB and of
// 1 MiB, events only.  The 1 MiB rate should be no lower than the 64 KiB
// one.  memcpy over the same bytes runs in the same program.
#include <string>

#include "bench_util.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

const std::string &bodies()
{
    static const std::string m = zt_bench::gen::body_mbox(64u << 20);
    return m;
}

void feed(benchmark::State &state, size_t piece)
{
    const std::string &in = bodies();
    ztmime_ctx *ctx = ztmime_init(0, 0);
    for (auto _ : state) {
        ztmime_reset(ctx);
        ctx->flags &= ~ZTMIME_FLAG_FINISH;
        zt_bench::for_chunks(in, piece, [&](const char *p, size_t n) {
            ztview *chunk = _ztview_from_buf(p, n, 0, "host", __LINE__);
            ztmime_update(ctx, chunk);
            ztview_destroy(chunk);
            ztview *out = nullptr;
            while (ztmime_do(ctx, &out) > ZTMIME_NO_DATA)
                ztview_destroy(out);
        });
    }
    ztmime_destroy(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

const bool registered = [] {
    benchmark::RegisterBenchmark("feed/64KiB", feed, size_t{64} << 10)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("feed/1MiB", feed, size_t{1} << 20)->Unit(benchmark::kMillisecond);
    zt_bench::register_memcpy("feed", &bodies());
    return true;
}();

} // namespace
