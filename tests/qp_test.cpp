// Quoted-printable codec: exact encoded forms, decoding rules, strict and
// dot handling, binary mode, chunking (and its documented exceptions),
// segments, allocation failures, and agreement with a per-byte model.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "qp/qp_internal.h"
#include "zt_test.h"
#include "ztmime.h"

using zt_test::make_fragmented;
using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

constexpr unsigned D = ZTMIME_QP_DECODE, DOTS = ZTMIME_QP_DOTS, STRICT = ZTMIME_QP_STRICT,
                   BIN = ZTMIME_QP_BINARY;

struct State {
    explicit State(unsigned flags) : s(ztmime_qp_init(flags)) {}
    ~State() { ztmime_qp_destroy(s); }
    ztmime_qp *s;
};

struct Outcome {
    std::string out;
    std::vector<int> results;  // every update, then finish
};

Outcome stream(unsigned flags, const std::string &in, size_t chunk, size_t piece = 0)
{
    State st(flags);
    View out(ztview_init());
    Outcome r;
    size_t step = chunk ? chunk : (in.empty() ? 1 : in.size());
    for (size_t off = 0; off < in.size(); off += step) {
        std::string part = in.substr(off, step);
        View v = piece ? make_fragmented(part, piece) : make_view(part);
        r.results.push_back(ztmime_qp_update(st.s, out.get(), v.get()));
    }
    r.results.push_back(ztmime_qp_finish(st.s, out.get()));
    r.out = str(out.get());
    return r;
}

std::string rep(const std::string &s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

std::string encode(const std::string &in, unsigned flags = 0) { return stream(flags, in, 0).out; }

std::string decode(const std::string &in, unsigned flags = D, int *result = nullptr)
{
    Outcome r = stream(flags, in, 0);
    if (result)
        *result = r.results.front() != 0 ? r.results.front() : r.results.back();
    return r.out;
}

// Per-byte model of one update call over the whole pending text.
struct Model {
    unsigned flags = 0;
    std::string pending;
    long in_col = 0, out_col = 0;

    static int hex(unsigned char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
    static std::string esc(unsigned char c)
    {
        char b[4];
        std::snprintf(b, sizeof b, "=%02X", c);
        return b;
    }

    int update(std::string &out, const std::string &in)
    {
        pending += in;
        const std::string &p = pending;
        const size_t L = p.size();
        std::string o;
        size_t i = 0;
        auto eol = [](unsigned char c) { return c == '\r' || c == '\n'; };
        if (flags & D) {
            while (i < L) {
                unsigned char c = p[i];
                ++in_col;
                if (c == '=') {
                    if (L - i - 1 < 2)
                        break;
                    unsigned char c1 = p[i + 1], c2 = p[i + 2];
                    if (eol(c1)) {
                        in_col = 0;
                        i += eol(c2) ? 3 : 2;
                        continue;
                    }
                    int h = hex(c1), l = hex(c2);
                    i += 3;
                    if ((flags & STRICT) && (h < 0 || l < 0)) {
                        pending.erase(0, i);
                        return -1;
                    }
                    o += char(l < 0 ? 0x20 : ((h < 0 ? 0 : h) << 4 | l));
                    continue;
                }
                ++i;
                if (eol(c))
                    in_col = 0;
                else if (c == '.' && (flags & DOTS) && in_col == 1)
                    continue;
                o += char(c);
            }
        } else if (flags & BIN) {
            for (; i < L; ++i) {
                unsigned char c = p[i];
                ++in_col;
                if (c >= 0x21 && c <= 0x7e && c != '=' && c != '.') {
                    o += char(c);
                    out_col += 1;
                } else {
                    o += esc(c);
                    out_col += 3;
                }
                if (out_col >= 74) {
                    o += "=\r\n";
                    out_col = 1;
                }
            }
        } else {
            const bool dots = flags & DOTS;
            for (; i < L; ++i) {
                unsigned char c = p[i];
                ++in_col;
                bool next_eol = i + 1 < L && eol(p[i + 1]);
                if (c >= 0x21 && c <= 0x7e && c != '=') {
                    if (++out_col >= 74) {
                        o += "=\r\n";
                        o += char(c);
                        if (dots && c == '.')
                            o += '.';
                        out_col = 1;
                    } else {
                        o += char(c);
                        if (dots && c == '.' && in_col == 1)
                            o += '.';
                    }
                } else if (c == ' ') {
                    o += next_eol ? "=20" : " ";
                    out_col += next_eol ? 3 : 1;
                } else if (c == '\n') {
                    o += '\n';
                    out_col = in_col = 0;
                } else if (c == '\r' && i + 1 < L && p[i + 1] == '\n') {
                    o += "\r\n";
                    ++i;
                    out_col = in_col = 0;
                } else if (c == '\r') {
                    o += "=0D";
                    out_col += 3;
                } else {
                    if (out_col > 74) {
                        o += "=\r\n";
                        out_col = 0;
                    }
                    o += esc(c);
                    out_col += 3;
                }
            }
        }
        out += o;
        pending.erase(0, i);
        return 0;
    }
};

TEST(QpEncode, ExactForms)
{
    struct Case {
        unsigned flags;
        std::string in, out;
    } cases[] = {
        {0, "a=b", "a=3Db\r\n"},
        {0, "\t", "=09\r\n"},
        {0, "\xe9", "=E9\r\n"},
        {0, " \r\n", "=20\r\n"},
        {0, "a b", "a b\r\n"},
        {0, "a \nb", "a=20\nb\r\n"},
        {0, "\r", "=0D\r\n"},
        {0, "x\n", "x\n"},
        {0, "abc", "abc\r\n"},
        {0, "", ""},
        {0, std::string(80, 'a'), std::string(73, 'a') + "=\r\n" + std::string(7, 'a') + "\r\n"},
        {DOTS, ".x\r\n.y", "..x\r\n..y\r\n"},
        {0, ".x\r\n.y", ".x\r\n.y\r\n"},
        {DOTS, "a.b", "a.b\r\n"},
        {DOTS, std::string(73, 'a') + ".", std::string(73, 'a') + "=\r\n..\r\n"},
        {BIN, "\r\n", "=0D=0A\r\n"},
        {BIN, ".", "=2E\r\n"},
        {BIN, " =", "=20=3D\r\n"},
        // Binary mode breaks after the byte that reaches the limit and
        // starts the next line at column 1.
        {BIN, std::string(25, '\n'), rep("=0A", 25) + "=\r\n\r\n"},
        {BIN, std::string(98, 'a'), std::string(74, 'a') + "=\r\n" + std::string(24, 'a') + "\r\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(zt_test::escaped(encode(c.in, c.flags)), zt_test::escaped(c.out))
            << zt_test::escaped(c.in) << " flags " << c.flags;
}

TEST(QpEncode, LongLinesOfEscapesAndSpaces)
{
    // An escape that starts past the limit gets a soft break before it.
    std::string in = std::string(73, 'a') + "\x01\x02\x03";
    EXPECT_EQ(encode(in), std::string(73, 'a') + "=01=\r\n=02=03\r\n");
    // Spaces never break a line; the next visible character does.
    std::string sp = std::string(100, ' ') + "b";
    EXPECT_EQ(encode(sp), std::string(100, ' ') + "=\r\nb\r\n");
}

TEST(QpEncode, ChunkBoundaryExceptions)
{
    // A space or CR at the end of a chunk is judged without its line end.
    Outcome a = stream(0, "x \r\n", 2);
    EXPECT_EQ(a.out, "x \r\n");
    EXPECT_EQ(encode("x \r\n"), "x=20\r\n");
    Outcome b = stream(0, "x\r\ny", 2);
    EXPECT_EQ(b.out, "x=0D\ny\r\n");
    EXPECT_EQ(encode("x\r\ny"), "x\r\ny\r\n");
    // Within one call the lookahead crosses segments.
    State st(0);
    View out(ztview_init()), in = make_fragmented("x \r\ny\r\nz", 1);
    ASSERT_EQ(ztmime_qp_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), "x=20\r\ny\r\nz");
}

TEST(QpEncode, SameOutputForEveryChunkingAwayFromLineEnds)
{
    std::mt19937 rng(4);
    for (int iter = 0; iter < 40; ++iter) {
        std::string in;
        for (int i = 0; i < 400; ++i) {
            unsigned r = rng() % 20;
            in += r == 0 ? '\xe9' : r == 1 ? '=' : r == 2 ? '.' : r == 3 ? '\t' : char('a' + rng() % 26);
        }
        for (unsigned flags : {0u, DOTS, BIN}) {
            std::string want = encode(in, flags);
            for (size_t chunk : {1, 2, 3, 5, 7})
                EXPECT_EQ(stream(flags, in, chunk, 2).out, want) << "chunk " << chunk;
        }
    }
}

TEST(QpDecode, Rules)
{
    struct Case {
        unsigned flags;
        std::string in, out;
        int result;
    } cases[] = {
        {D, "=41=62", "Ab", 0},
        {D, "=4a=4A", "JJ", 0},
        {D, "ab=\r\ncd", "abcd", 0},
        {D, "ab=\ncd", "abcd", 0},
        {D, "ab=\r\rcd", "abcd", 0},
        {D, "ab=\n\ncd", "abcd", 0},
        {D, "=G1", "\x01", 0},
        {D | STRICT, "=G1", "", -1},
        {D, "=1G", " ", 0},
        {D | STRICT, "=1G", "", -1},
        {D, "=4\nx", " x", 0},
        {D, "x=", "x", -1},
        {D, "x=4", "x", -1},
        {D, "x=\n", "x", -1},
        {D, "x=\r\n", "x", 0},
        {D, "a  \r\nb\t\x01\xff", "a  \r\nb\t\x01\xff", 0},
        {D | DOTS, "..a\r\n.b\n..", ".a\r\nb\n.", 0},
        {D | DOTS, "x=\r\n.y", "xy", 0},
        {D | DOTS, "=2E.x", "..x", 0},
        {D, "..a", "..a", 0},
    };
    for (const auto &c : cases) {
        int r = 99;
        std::string out = decode(c.in, c.flags, &r);
        EXPECT_EQ(zt_test::escaped(out), zt_test::escaped(c.out)) << zt_test::escaped(c.in);
        EXPECT_EQ(r, c.result) << zt_test::escaped(c.in);
    }
}

TEST(QpDecode, IncompleteEscapeWaitsForMoreInput)
{
    State st(D);
    View out(ztview_init()), a = make_view("ab=4"), b = make_view("1c");
    ASSERT_EQ(ztmime_qp_update(st.s, out.get(), a.get()), 0);
    EXPECT_EQ(str(out.get()), "ab");
    EXPECT_EQ(str(st.s->pending), "=4");
    ASSERT_EQ(ztmime_qp_update(st.s, out.get(), b.get()), 0);
    EXPECT_EQ(str(out.get()), "abAc");
    EXPECT_EQ(ztmime_qp_finish(st.s, out.get()), 0);
}

TEST(QpFailures, NullStateOrOutput)
{
    State st(D);
    View out(ztview_init()), in = make_view("abc");
    EXPECT_EQ(ztmime_qp_update(nullptr, out.get(), in.get()), -1);
    EXPECT_EQ(ztmime_qp_update(st.s, nullptr, in.get()), -1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    EXPECT_EQ(ztmime_qp_finish(nullptr, out.get()), -1);
    EXPECT_EQ(ztmime_qp_finish(st.s, nullptr), -1);
}

TEST(QpFailures, WorkBufferAllocationFails)
{
    for (unsigned flags : {0u, D}) {
        State st(flags);
        View out(ztview_init()), in = make_view(std::string(5000, 'q'));
        zt_alloc_fail_at(1);
        int r = ztmime_qp_update(st.s, out.get(), in.get());
        zt_alloc_fail_at(0);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(ztview_get_len(out.get()), 0u);
        size_t pending = ztview_get_len(st.s->pending);
        EXPECT_TRUE(pending == 0 || pending == 5000) << pending;
        EXPECT_EQ(st.s->error, nullptr);
    }
}

TEST(QpFailures, StrictFailureDiscardsOutputAndConsumesThroughTheEscape)
{
    State st(D | STRICT);
    View out(ztview_init()), in = make_view("ok=41=ZZtail");
    EXPECT_EQ(ztmime_qp_update(st.s, out.get(), in.get()), -1);
    EXPECT_EQ(ztview_get_len(out.get()), 0u);
    EXPECT_EQ(str(st.s->pending), "tail");
    EXPECT_EQ(st.s->error, nullptr);
    EXPECT_EQ(ztmime_qp_update(st.s, out.get(), nullptr), 0);
    EXPECT_EQ(str(out.get()), "tail");
}

TEST(QpFailures, FinishWithIncompleteEscapeEmptiesPending)
{
    State st(D);
    View out(ztview_init()), in = make_view("abc=");
    EXPECT_EQ(ztmime_qp_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(ztmime_qp_finish(st.s, out.get()), -1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    EXPECT_EQ(str(out.get()), "abc");
}

TEST(QpFailures, EveryAllocationFailureOfTheOneShots)
{
    std::string text = "Caf\xc3\xa9 = \"quoted\"\r\n.dot line\r\n" + std::string(200, 'x') + " \r\nend";
    std::string enc = encode(text);
    for (int dir = 0; dir < 2; ++dir) {
        View in = make_fragmented(dir ? enc : text, 50);
        zt_alloc_fail_at(0);
        View ok(dir ? ztmime_qp_decode(in.get()) : ztmime_qp_encode(in.get()));
        long count = zt_alloc_fail_at(0);
        ASSERT_TRUE(ok);
        std::string want = dir ? text + "\r\n" : enc;
        EXPECT_EQ(str(ok.get()), want);
        for (long n = 1; n <= count; ++n) {
            zt_alloc_fail_at(n);
            View v(dir ? ztmime_qp_decode(in.get()) : ztmime_qp_encode(in.get()));
            zt_alloc_fail_at(0);
            if (v) {
                EXPECT_EQ(str(v.get()), want) << "failing allocation " << n;
            }
        }
    }
}

TEST(QpLifecycle, ResetPreparesZeroFilledRecordInPlace)
{
    ztmime_qp rec{};
    ASSERT_EQ(ztmime_qp_reset(&rec, D), &rec);
    ASSERT_NE(rec.pending, nullptr);
    View out(ztview_init()), in = make_view("=41=");
    EXPECT_EQ(ztmime_qp_update(&rec, out.get(), in.get()), 0);
    EXPECT_EQ(ztview_get_len(rec.pending), 1u);
    ASSERT_EQ(ztmime_qp_reset(&rec, BIN), &rec);
    EXPECT_EQ(ztview_get_len(rec.pending), 0u);
    EXPECT_EQ(rec.flags, BIN);
    EXPECT_EQ(rec.in_column, 0);
    EXPECT_EQ(rec.out_column, 0);
    _ztview_destroy(rec.pending, "qp", __LINE__);
    ztmime_qp *s = ztmime_qp_reset(nullptr, D);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, D);
    ztmime_qp_destroy(s);
}

TEST(QpRoundTrip, BinaryModeRandomData)
{
    std::mt19937 rng(8);
    for (size_t len : {1, 2, 100, 3000}) {
        std::string data(len, '\0');
        for (auto &c : data)
            c = char(rng() & 0xff);
        std::string enc = encode(data, BIN);
        for (size_t chunk : {0, 1, 2, 3, 4, 5, 6, 7}) {
            EXPECT_EQ(stream(BIN, data, chunk).out, enc);
            Outcome r = stream(D | STRICT, enc, chunk, chunk ? 3 : 0);
            EXPECT_EQ(r.out, data + "\r\n") << "len " << len << " chunk " << chunk;
            EXPECT_EQ(r.results.back(), 0);
        }
    }
}

TEST(QpRoundTrip, TextWithDots)
{
    std::string text = ".starts with a dot\r\n" + std::string(150, 'w') + ".\r\nCaf\xc3\xa9 a=b\tc \r\nlast";
    for (unsigned dots : {0u, DOTS}) {
        std::string enc = encode(text, dots);
        for (size_t chunk : {0, 1, 3, 7}) {
            Outcome r = stream(D | STRICT | dots, enc, chunk, 2);
            EXPECT_EQ(r.out, text + "\r\n") << "chunk " << chunk << " dots " << dots;
        }
    }
}

// Arbitrary bytes in any chunking over small segments: the codec and the
// model agree on results, output, pending bytes and column counters, with
// the vector scan on and off.
TEST(QpModel, ArbitraryInputInAnyChunking)
{
    std::mt19937 rng(21);
    const char *pieces[] = {"=", "=\r\n", "=\n", "\r\n", "\r", "\n", " ", ".", "=4", "=41", "=g",
                            "\xe9", "\t", "abcdefghijklmnopqrstuvwxyz", "=3D", "...."};
    for (int iter = 0; iter < 400; ++iter) {
        std::string in;
        size_t n = rng() % 40;
        for (size_t i = 0; i < n; ++i) {
            if (rng() % 3 == 0)
                in += std::string(size_t(1 + rng() % 90), char('A' + rng() % 26));
            else
                in += pieces[rng() % 16];
        }
        unsigned flags = rng() % 16;
        size_t chunk = rng() % 9, piece = 1 + rng() % 40;
        for (bool simd : {true, false}) {
            zt_qp::set_simd(simd);
            Model m;
            m.flags = flags;
            std::string want;
            State st(flags);
            View out(ztview_init());
            size_t step = chunk ? chunk : in.size() + 1;
            for (size_t off = 0; off < in.size(); off += step) {
                std::string part = in.substr(off, step);
                View v = make_fragmented(part, piece);
                int expect = m.update(want, part);
                ASSERT_EQ(ztmime_qp_update(st.s, out.get(), v.get()), expect)
                    << zt_test::escaped(in) << " flags " << flags;
                if (expect != 0)
                    want.clear(), ztview_rewind(out.get());
                ASSERT_EQ(str(st.s->pending), m.pending) << zt_test::escaped(in) << " flags " << flags;
                ASSERT_EQ(st.s->in_column, m.in_col);
                ASSERT_EQ(st.s->out_column, m.out_col);
                ASSERT_EQ(zt_test::escaped(str(out.get())), zt_test::escaped(want))
                    << zt_test::escaped(in) << " flags " << flags << " chunk " << chunk;
            }
        }
    }
    zt_qp::set_simd(true);
}

TEST(QpCorpus, WikipediaDecodesToTheText)
{
    bool ok1 = false, ok2 = false;
    std::string qp = zt_test::read_file(ZT_CORPUS_DIR "/gmime/data/encodings/wikipedia.qp", &ok1);
    std::string txt = zt_test::read_file(ZT_CORPUS_DIR "/gmime/data/encodings/wikipedia.txt", &ok2);
    if (!ok1 || !ok2)
        GTEST_SKIP() << "corpus absent";
    for (size_t chunk : {0, 7, 4096}) {
        Outcome r = stream(D, qp, chunk);
        EXPECT_EQ(r.out, txt) << "chunk " << chunk;
        EXPECT_EQ(r.results.back(), 0);
    }
}

} // namespace
