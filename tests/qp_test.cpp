// Quoted-printable codec: exact forms in both directions (strict, dot and
// binary modes, chunk-boundary cases), failures, round trips, and chunked
// runs against a per-byte model with the vector scans on and off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "kernel_limits.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

constexpr unsigned D = ZTMIME_QP_DECODE, DOTS = ZTMIME_QP_DOTS, STRICT = ZTMIME_QP_STRICT, BIN = ZTMIME_QP_BINARY;

using State = std::unique_ptr<ztmime_qp, decltype(&ztmime_qp_destroy)>;
State make(unsigned flags) { return State(ztmime_qp_init(flags), ztmime_qp_destroy); }

CodecRun run(unsigned flags, const std::vector<std::string> &parts, size_t seg = 0)
{ return run_codec(make(flags).get(), ztmime_qp_update, ztmime_qp_finish, parts, seg); }

// Per-byte model of one update over the whole pending text (on a strict
// failure the caller drops the call's output).
struct Model {
    unsigned flags;
    std::string pending;
    long in_col = 0, out_col = 0;

    int update(std::string &out, const std::string &in)
    {
        pending += in;
        const std::string &p = pending;
        size_t i = 0, L = p.size();
        auto eol = [&](size_t k) { return k < L && (p[k] == '\r' || p[k] == '\n'); };
        auto hex = [](char c) { size_t k = std::string("0123456789ABCDEFabcdef").find(c); return k == std::string::npos ? -1 : int(k < 16 ? k : k - 6); };
        auto esc = [](unsigned char c) { char b[4]; std::snprintf(b, 4, "=%02X", c); return std::string(b); };
        for (; i < L; ++i) {
            unsigned char c = p[i];
            ++in_col;
            if (flags & D) {
                if (c == '=' && L - i < 3)
                    break;
                if (c == '=' && eol(i + 1))
                    in_col = 0, i += eol(i + 2) ? 2 : 1;
                else if (c == '=') {
                    int h = hex(p[i + 1]), l = hex(p[i + 2]);
                    i += 2;
                    if ((flags & STRICT) && (h < 0 || l < 0))
                        return pending.erase(0, i + 1), -1;
                    out += char(l < 0 ? 0x20 : (h < 0 ? 0 : h) << 4 | l);
                } else if (eol(i))
                    in_col = 0, out += char(c);
                else if (!(c == '.' && (flags & DOTS) && in_col == 1))
                    out += char(c);
            } else if (flags & BIN) {
                bool lit = c > 0x20 && c < 0x7f && c != '=' && c != '.';
                out += lit ? std::string(1, char(c)) : esc(c);
                out_col += lit ? 1 : 3;
                if (out_col >= 74)
                    out += "=\r\n", out_col = 1;
            } else if (c > 0x20 && c < 0x7f && c != '=') {
                bool two = (flags & DOTS) && c == '.';
                if (++out_col >= 74)  // carried to a new line
                    out += "=\r\n" + std::string(two ? 2 : 1, char(c)), out_col = 1;
                else
                    out += std::string(two && in_col == 1 ? 2 : 1, char(c));
            } else if (c == ' ') {
                out += eol(i + 1) ? "=20" : " ", out_col += eol(i + 1) ? 3 : 1;
            } else if (c == '\n' || (c == '\r' && i + 1 < L && p[i + 1] == '\n')) {
                out += c == '\r' ? "\r\n" : "\n", i += c == '\r', out_col = in_col = 0;
            } else {
                if (out_col > 74 && c != '\r')
                    out += "=\r\n", out_col = 0;
                out += esc(c), out_col += 3;
            }
        }
        pending.erase(0, i);
        return 0;
    }
};

// Each row whole and cut into `chunk`-byte updates, over one segment and
// over one-byte segments (the lookahead crosses segments within a call).
TEST(Qp, ExactFormsAndResults)
{
    const std::string a73(73, 'a');
    struct Case {
        unsigned flags;
        std::string in, out;
        int result = 0;    // the first non-zero result of the run
        size_t chunk = 0;  // 0: one update
    } cases[] = {
        {0, "a=b", "a=3Db\r\n"}, {0, "\t\xe9\x7f", "=09=E9=7F\r\n"}, {0, "a b \r\n", "a b=20\r\n"},
        {0, "a \nb", "a=20\nb\r\n"}, {0, "\r", "=0D\r\n"}, {0, "x\n", "x\n"}, {0, "", ""},
        {0, std::string(80, 'a'), a73 + "=\r\n" + std::string(7, 'a') + "\r\n"},
        {0, a73 + "\x01\x02\x03", a73 + "=01=\r\n=02=03\r\n"},  // soft break before an escape past the limit
        {0, std::string(100, ' ') + "b", std::string(100, ' ') + "=\r\nb\r\n"},  // spaces never break
        {DOTS, ".x\r\n.y", "..x\r\n..y\r\n"}, {0, ".x", ".x\r\n"}, {DOTS, "a.b", "a.b\r\n"},
        {DOTS, a73 + ".", a73 + "=\r\n..\r\n"}, {BIN, "\r\n. =", "=0D=0A=2E=20=3D\r\n"},
        // Binary mode breaks after the byte reaching the limit; the next line starts at column 1.
        {BIN, std::string(147, 'a'), a73 + "a=\r\n" + a73 + "=\r\n\r\n"},
        // A space or CR ending a chunk is judged without its line end.
        {0, "x \r\n", "x \r\n", 0, 2}, {0, "x\r\ny", "x=0D\ny\r\n", 0, 2},
        {D, "=41=62=4a", "AbJ"}, {D, "a=\r\nb=\nc=\r\rd=\n\ne", "abcde"}, {D, "ab=41c", "abAc", 0, 4},
        {D, "=G1", "\x01"}, {D, "=1G", " "}, {D, "=4\nx", " x"}, {D | STRICT, "=G1", "", -1}, {D | STRICT, "=1G", "", -1},
        {D, "x=", "x", -1}, {D, "x=4", "x", -1}, {D, "x=\n", "x", -1}, {D, "x=\r\n", "x"},
        // A strict failure discards the call's output; what follows the escape stays.
        {D | STRICT, "ok=41=ZZtail", "tail", -1}, {D, "a  \r\nb\t\x01\xff", "a  \r\nb\t\x01\xff"},
        {D | DOTS, "..a\r\n.b\n..", ".a\r\nb\n."}, {D | DOTS, "x=\r\n.y=2E.", "xy.."}, {D, "..a", "..a"},
    };
    for (const auto &c : cases)
        for (size_t seg : {0, 1}) {
            CodecRun r = run(c.flags, pieces(c.in, c.chunk), seg);
            auto bad = std::find_if(r.results.begin(), r.results.end(), [](int v) { return v != 0; });
            EXPECT_EQ(escaped(r.out), escaped(c.out)) << escaped(c.in) << " flags " << c.flags;
            EXPECT_EQ(bad == r.results.end() ? 0 : *bad, c.result) << escaped(c.in);
        }
}

TEST(Qp, ResetNullsAndFailedWorkBuffer)
{
    ztmime_qp rec{};  // zero-filled, as embedded in an encoder
    ASSERT_EQ(ztmime_qp_reset(&rec, D), &rec);
    View out(ztview_init()), in = make_view(std::string(5000, 'q') + "=");
    EXPECT_EQ(ztmime_qp_update(&rec, out.get(), in.get()), 0);
    EXPECT_EQ(ztmime_qp_update(nullptr, out.get(), in.get()) + ztmime_qp_update(&rec, nullptr, in.get()), -2);
    EXPECT_EQ(ztmime_qp_finish(nullptr, out.get()) + ztmime_qp_finish(&rec, nullptr), -2);
    for (unsigned flags : {0u, D}) {
        ASSERT_EQ(ztmime_qp_reset(&rec, flags), &rec);
        EXPECT_EQ(rec.flags + rec.in_column + rec.out_column + ztview_get_len(rec.pending), flags);
        View fresh(ztview_init());
        zt_alloc_fail_at(1);  // the copy into pending or the output room
        EXPECT_EQ(ztmime_qp_update(&rec, fresh.get(), in.get()), -1);
        zt_alloc_fail_at(0);
        EXPECT_EQ(ztview_get_len(fresh.get()), 0u);
        EXPECT_TRUE(ztview_get_len(rec.pending) % 5001 == 0) << "nothing consumed";
        EXPECT_EQ(rec.error, nullptr);
    }
    _ztview_destroy(rec.pending, "qp", __LINE__);
}

TEST(Qp, RoundTripsInAnyChunking)
{
    std::mt19937 rng(8);
    std::string text = ".starts with a dot\r\n" + std::string(150, 'w') + ".\r\nCaf\xc3\xa9 a=b\tc \r\nlast", data;
    while (data.size() < 3000)
        data += char(rng());
    for (unsigned flags : {0u, DOTS, BIN}) {
        const std::string &in = flags == BIN ? data : text;
        std::string enc = run(flags, {in}).out;
        for (size_t chunk : {0, 1, 2, 3, 7}) {
            // Text chunks ending at a space or CR encode differently (see above).
            EXPECT_TRUE(flags != BIN || run(flags, pieces(in, chunk), 3).out == enc) << chunk;
            CodecRun r = run(D | STRICT | (flags & DOTS), pieces(enc, chunk), chunk % 4);
            EXPECT_EQ(r.out, in + "\r\n") << flags << " " << chunk;
            EXPECT_EQ(r.results, std::vector<int>(r.results.size(), 0));
        }
    }
}

// Runs `in` through the codec, cut into `chunk`-byte updates over
// `seg`-byte segments, with each set of vector paths: codec and model
// agree on results, output, pending bytes and columns after every update.
void check_against_model(const std::string &in, unsigned flags, size_t chunk, size_t seg)
{
    for (unsigned kernels : kAllKernels) {
        CpuLimit limit(kernels);
        Model m{flags, {}};
        std::string want;
        State st = make(flags);
        View out(ztview_init());
        for (const auto &part : pieces(in, chunk)) {
            int expect = m.update(want, part);
            ASSERT_EQ(ztmime_qp_update(st.get(), out.get(), make_fragmented(part, seg).get()), expect)
                << escaped(in) << " flags " << flags;
            if (expect != 0)
                want.clear(), ztview_rewind(out.get());
            ASSERT_EQ(str(st->pending), m.pending) << escaped(in) << " flags " << flags;
            ASSERT_EQ(st->in_column, m.in_col);
            ASSERT_EQ(st->out_column, m.out_col);
            ASSERT_EQ(escaped(str(out.get())), escaped(want)) << escaped(in) << " flags " << flags << " " << chunk;
        }
    }
}

// Arbitrary bytes in any chunking over small segments, every option set.
TEST(QpModel, ArbitraryInputInAnyChunking)
{
    std::mt19937 rng(21);
    const char *bits[] = {"=", "=\r\n", "=\n", "\r\n", "\r", "\n", " ", ".", "=4", "=41", "=g",
                          "\xe9", "\t", "abcdefghijklmnopqrstuvwxyz", "=3D", "...."};
    for (int iter = 0; iter < 400 && !HasFatalFailure(); ++iter) {
        std::string in;
        for (size_t i = 0, n = rng() % 40; i < n; ++i)
            in += rng() % 3 ? bits[rng() % 16] : std::string(size_t(1 + rng() % 90), char('A' + rng() % 26));
        unsigned flags = rng() % 16;
        size_t chunk = rng() % 9 * (rng() % 2 ? 1 : 1000), seg = rng() % 2 ? 1 + rng() % 40 : 4000;
        check_against_model(in, flags, chunk, seg);
    }
}

// Long lines of words, escapes, spaces before line ends and long runs, so
// that line-length limits fall anywhere within the blocks the vector paths
// take, both ways, over large segments.
TEST(QpModel, LongLinesOverLargeSegments)
{
    std::mt19937 rng(5);
    const char *bits[] = {"word", " ", "caf\xc3\xa9", " \r\n", "\r\n", "\n", "\t", "=", ".", "\r"};
    for (int iter = 0; iter < 60 && !HasFatalFailure(); ++iter) {
        std::string in;
        while (in.size() < 3000)
            in += rng() % 8 ? bits[rng() % 10] : std::string(size_t(1 + rng() % 120), 'x');
        unsigned flags = iter % 2 ? DOTS : 0;
        std::string enc = run(flags, {in}).out;
        check_against_model(in, flags, 0, 4000);
        check_against_model(in, flags, 1000 + rng() % 500, 1 + rng() % 3000);
        check_against_model(enc, D | flags, 0, 4000);
        check_against_model(enc, D | STRICT, 700 + rng() % 500, 1 + rng() % 3000);
    }
}

TEST(QpCorpus, WikipediaDecodesToTheText)
{
    bool ok = false;
    std::string qp = read_file(ZT_CORPUS_DIR "/gmime/data/encodings/wikipedia.qp", &ok);
    std::string txt = read_file(ZT_CORPUS_DIR "/gmime/data/encodings/wikipedia.txt");
    if (!ok || txt.empty())
        GTEST_SKIP() << "corpus absent";
    for (size_t chunk : {0, 7, 4096})
        EXPECT_EQ(run(D, pieces(qp, chunk)).out, txt) << "chunk " << chunk;
}

} // namespace
