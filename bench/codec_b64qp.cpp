// Base64 and quoted-printable throughput through the streaming update, fed
// in 64 KiB chunks, over 64 MiB of input; memcpy over the same bytes runs
// in the same binary for the ratio.
#include <random>
#include <vector>
#include <string>

#include "bench_util.h"
#include "ztmime.h"

namespace {

constexpr size_t kSize = 64u << 20;
constexpr size_t kChunk = 64u << 10;

std::string random_bytes(size_t n)
{
    std::mt19937_64 rng(42);
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = rng();
        s.replace(i, 8, reinterpret_cast<const char *>(&v), 8);
    }
    return s;
}

// Mostly-ASCII prose with CR LF line ends and a few accented letters.
std::string prose(size_t n)
{
    static const char *words[] = {"the", "message", "body", "of", "a", "mail", "is", "often",
                                  "plain", "text", "caf\xc3\xa9", "with", "lines", "and",
                                  "words", "na\xc3\xafve", "stream", "parser", "for", "data"};
    std::mt19937 rng(1);
    std::string s;
    s.reserve(n + 128);
    size_t col = 0;
    while (s.size() < n) {
        const char *w = words[rng() % 20];
        s += w;
        col += std::char_traits<char>::length(w);
        if (col > 60 + rng() % 30) {
            s += "\r\n";
            col = 0;
        } else {
            s += ' ';
            ++col;
        }
    }
    s.resize(n);
    return s;
}

std::string run_whole(int kind, unsigned flags, const std::string &in)
{
    ztview *v = ztview_from_buf(in.data(), in.size());
    ztview *out = kind == 0 ? (flags & 1 ? ztmime_b64_decode(v) : ztmime_b64_encode(v))
                            : (flags & 1 ? ztmime_qp_decode(v) : ztmime_qp_encode(v));
    std::string s;
    if (out) {
        size_t n = ztview_get_len(out);
        s.resize(n + 1);
        ztview_copy_data_r(out, s.data(), &n, 0);
        s.resize(n);
    }
    ztview_destroy(out);
    ztview_destroy(v);
    return s;
}

// The inputs, made once.
const std::string &raw() { static const std::string s = random_bytes(kSize); return s; }
const std::string &text() { static const std::string s = prose(kSize); return s; }
const std::string &b64_text()
{
    // 76-column CR LF lines, cut to 64 MiB at a group boundary.
    static const std::string s = [] {
        std::string e = run_whole(0, 0, raw());
        e.resize(kSize);
        return e;
    }();
    return s;
}
const std::string &qp_text()
{
    static const std::string s = [] {
        std::string e = run_whole(1, 0, text() + text().substr(0, kSize / 8));
        e.resize(kSize);
        return e;
    }();
    return s;
}

template <class Init, class Update, class Finish, class Destroy>
void stream_bench(benchmark::State &state, const std::string &in, Init init, Update update,
                  Finish finish, Destroy destroy)
{
    // The chunks are made once: the measured work is the codec's.
    std::vector<ztview *> chunks;
    zt_bench::for_chunks(in, kChunk, [&](const char *p, size_t n) { chunks.push_back(ztview_from_buf(p, n)); });
    for (auto _ : state) {
        auto *s = init();
        ztview *out = ztview_init();
        for (ztview *c : chunks) {
            update(s, out, c);
            // Hosts consume what each call produced.
            ztview_rewind(out);
        }
        finish(s, out);
        benchmark::DoNotOptimize(ztview_get_len(out));
        ztview_destroy(out);
        destroy(s);
    }
    for (ztview *c : chunks)
        ztview_destroy(c);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void b64_bench(benchmark::State &state, int flags, const std::string &in)
{
    stream_bench(
        state, in, [flags] { return ztmime_b64_init(flags); }, ztmime_b64_update, ztmime_b64_finish,
        ztmime_b64_destroy);
}

void qp_bench(benchmark::State &state, unsigned flags, const std::string &in)
{
    stream_bench(
        state, in, [flags] { return ztmime_qp_init(flags); }, ztmime_qp_update, ztmime_qp_finish,
        ztmime_qp_destroy);
}

const bool registered = [] {
    benchmark::RegisterBenchmark("b64/decode_76col_crlf", [](benchmark::State &s) {
        b64_bench(s, ZTMIME_B64_DECODE, b64_text());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("b64/encode", [](benchmark::State &s) { b64_bench(s, 0, raw()); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("qp/decode_text", [](benchmark::State &s) {
        qp_bench(s, ZTMIME_QP_DECODE, qp_text());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("qp/encode_text", [](benchmark::State &s) { qp_bench(s, 0, text()); })
        ->Unit(benchmark::kMillisecond);
    zt_bench::register_memcpy("b64qp_64MiB", &raw());
    return true;
}();

} // namespace
