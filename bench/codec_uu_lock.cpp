// Uuencode decoding and encoding, and ztmime_lock, next to memcpy over the
// same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

constexpr size_t kDataSize = 4u << 20;
constexpr size_t kChunk = 64u << 10;

const std::string &raw_data()
{
    static const std::string data = [] {
        std::mt19937_64 rng(42);
        std::string s(kDataSize, '\0');
        for (size_t i = 0; i + 8 <= s.size(); i += 8) {
            uint64_t x = rng();
            std::memcpy(&s[i], &x, 8);
        }
        return s;
    }();
    return data;
}

const std::string &uu_text()
{
    static const std::string text = [] {
        ztview *in = ztview_from_buf(raw_data().data(), raw_data().size());
        ztview *out = ztmime_uu_encode(in);
        std::string s(ztview_get_len(out), '\0');
        size_t n = s.size();
        ztview_copy_data_r(out, s.data(), &n, 0);
        ztview_destroy(in);
        ztview_destroy(out);
        return s;
    }();
    return text;
}

// The same lines ended by LF alone.
const std::string &uu_text_lf()
{
    static const std::string text = [] {
        std::string s = uu_text();
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    }();
    return text;
}

// The input as views of `chunk` bytes each (0: one view).
std::vector<ztview *> make_chunks(const std::string &s, size_t chunk)
{
    std::vector<ztview *> views;
    if (!chunk)
        chunk = s.size();
    zt_bench::for_chunks(s, chunk,
                         [&](const char *p, size_t n) { views.push_back(ztview_from_buf(p, n)); });
    return views;
}

void run_codec(benchmark::State &state, unsigned mode, const std::string &input, size_t chunk)
{
    std::vector<ztview *> chunks = make_chunks(input, chunk);
    size_t produced = 0;
    for (auto _ : state) {
        ztmime_uu *st = ztmime_uu_init(mode);
        ztview *out = ztview_init();
        for (ztview *c : chunks)
            ztmime_uu_update(st, out, c);
        ztmime_uu_finish(st, out);
        produced = ztview_get_len(out);
        ztview_destroy(out);
        ztmime_uu_destroy(st);
    }
    for (ztview *c : chunks)
        ztview_destroy(c);
    state.counters["out_bytes"] = double(produced);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size()));
}

void BM_uu_encode(benchmark::State &state)
{
    run_codec(state, 0, raw_data(), size_t(state.range(0)));
}
void BM_uu_decode(benchmark::State &state)
{
    run_codec(state, 1, uu_text(), size_t(state.range(0)));
}

void BM_uu_decode_lf(benchmark::State &state)
{
    run_codec(state, 1, uu_text_lf(), size_t(state.range(0)));
}

void BM_lock(benchmark::State &state)
{
    ztview *v = ztview_from_buf(raw_data().data(), raw_data().size());
    unsigned char key = 1;
    for (auto _ : state) {
        ztmime_lock(v, key++);
        benchmark::ClobberMemory();
    }
    ztview_destroy(v);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(raw_data().size()));
}

BENCHMARK(BM_uu_encode)->Arg(0)->Arg(kChunk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_uu_decode)->Arg(0)->Arg(kChunk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_uu_decode_lf)->Arg(0)->Arg(kChunk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_lock)->Unit(benchmark::kMillisecond);

const int registered = [] {
    zt_bench::register_memcpy("uu_raw_4MiB", &raw_data());
    zt_bench::register_memcpy("uu_text", &uu_text());
    zt_bench::register_memcpy("uu_text_lf", &uu_text_lf());
    return 0;
}();

} // namespace
