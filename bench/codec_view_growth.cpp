// Output views that keep what they are given.  64 MiB of decoded data
// (base64 in 76-column CRLF lines, updates of 64 KiB):
//
//   b64_growth/kept      one output view grows to the whole attachment and
//                        is released at the end (an attachment kept in memory)
//   b64_growth/emptied   the output view is emptied after each update
//
// kept should run at least half as fast as emptied.  memcpy over the base64
// text runs in the same program.
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

const std::string &text()
{
    static const std::string t = [] {
        static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::mt19937 rng(9);
        std::string s;
        while (s.size() < (64u << 20) / 3 * 4) {
            for (int i = 0; i < 76; ++i)
                s += abc[rng() & 63];
            s += "\r\n";
        }
        return s;
    }();
    return t;
}

void growth(benchmark::State &state, bool keep)
{
    const std::string &in = text();
    std::vector<ztview *> chunks;
    zt_bench::for_chunks(in, 64u << 10, [&](const char *p, size_t n) { chunks.push_back(ztview_from_buf(p, n)); });
    for (auto _ : state) {
        ztmime_b64 *s = ztmime_b64_init(ZTMIME_B64_DECODE);
        ztview *out = ztview_init();
        for (ztview *c : chunks) {
            ztmime_b64_update(s, out, c);
            if (!keep)
                ztview_rewind(out);
        }
        ztmime_b64_finish(s, out);
        benchmark::DoNotOptimize(ztview_get_len(out));
        ztview_destroy(out);
        ztmime_b64_destroy(s);
    }
    for (ztview *c : chunks)
        ztview_destroy(c);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

const bool registered = [] {
    benchmark::RegisterBenchmark("b64_growth/kept", growth, true)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("b64_growth/emptied", growth, false)->Unit(benchmark::kMillisecond);
    zt_bench::register_memcpy("b64_growth", &text());
    return true;
}();

} // namespace
