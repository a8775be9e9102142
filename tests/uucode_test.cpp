// Uuencode codec: exact line formats, the decoder's length and line rules,
// streaming in any chunking, and failure paths.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "uucode/uucode_internal.h"
#include "zt_test.h"

using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

struct UuDeleter {
    void operator()(ztmime_uu *s) const { ztmime_uu_destroy(s); }
};
using Uu = std::unique_ptr<ztmime_uu, UuDeleter>;

// A view made of pieces of random length in separate blocks.
View fragmented(const std::string &s, std::mt19937 &rng, size_t max_piece)
{
    View v(ztview_init());
    for (size_t i = 0; i < s.size();) {
        size_t n = std::min(s.size() - i, size_t(1 + rng() % max_piece));
        View part = make_view(s.substr(i, n));
        ztview_move(v.get(), part.get(), n);
        i += n;
    }
    return v;
}

// Straightforward model of the codec on std::string, one byte at a time.
struct Model {
    explicit Model(unsigned m) : mode(m) {}
    unsigned mode;
    int line_len = 0;
    std::string pending;

    static char enc(unsigned v) { return v ? char(0x20 + v) : '`'; }
    static void group(const unsigned char *b, std::string &o)
    {
        o += enc(b[0] >> 2);
        o += enc(((b[0] & 3) << 4) | (b[1] >> 4));
        o += enc(((b[1] & 15) << 2) | (b[2] >> 6));
        o += enc(b[2] & 63);
    }
    void skip_eol() { pending.erase(0, std::min(pending.size(), pending.find_first_not_of("\r\n"))); }
    int update(std::string &out, const std::string &in)
    {
        if (line_len > 45)
            return -1;
        pending += in;
        if (!(mode & 1)) {
            while (pending.size() >= 45) {
                out += 'M';
                for (int g = 0; g < 15; ++g)
                    group(reinterpret_cast<const unsigned char *>(pending.data()) + 3 * g, out);
                out += "\r\n";
                pending.erase(0, 45);
            }
            return 0;
        }
        if (pending.empty())
            return 0;
        skip_eol();
        while (!pending.empty()) {
            if (line_len == 0) {
                line_len = (static_cast<unsigned char>(pending[0]) + 0x20) & 0x3F;
                pending.erase(0, 1);
                if (line_len > 45)
                    return -1;
                if (line_len == 0) {
                    skip_eol();
                    continue;
                }
            }
            size_t need = 4 * ((line_len + 2) / 3);
            if (pending.size() < need)
                return 0;
            std::string bytes;
            for (size_t i = 0; i < need; i += 4) {
                unsigned s[4];
                for (int k = 0; k < 4; ++k)
                    s[k] = (static_cast<unsigned char>(pending[i + k]) - 0x20) & 0x3F;
                bytes += char(s[0] << 2 | s[1] >> 4);
                bytes += char(s[1] << 4 | s[2] >> 2);
                bytes += char(s[2] << 6 | s[3]);
            }
            out += bytes.substr(0, line_len);
            pending.erase(0, need);
            line_len = 0;
            pending.erase(0, std::min(pending.size(), pending.find_first_of("\r\n")));
            skip_eol();
        }
        return 0;
    }
    int finish(std::string &out)
    {
        if (mode == 1) {
            update(out, "");
            return 0;
        }
        update(out, "");
        if (pending.empty())
            return 0;
        unsigned char block[45] = {};
        std::copy(pending.begin(), pending.end(), block);
        out += char(0x20 + pending.size());
        for (size_t g = 0; g < (pending.size() + 2) / 3; ++g)
            group(block + 3 * g, out);
        out += "\r\n`\r\n";
        pending.clear();
        return 0;
    }
};

std::string encode_all(const std::string &s)
{
    View in = make_view(s);
    View out(ztmime_uu_encode(in.get()));
    EXPECT_TRUE(out);
    return str(out.get());
}

std::string random_bytes(std::mt19937 &rng, size_t n)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = char(rng());
    return s;
}

// Line-shaped input with deliberate faults: wrong lengths, short and long
// data, trailing junk, odd line ends, now and then a length above 45.
std::string rough_uu(std::mt19937 &rng, int lines)
{
    static const char *ends[] = {"\r\n", "\n", "\r", "", "\r\n\r\n", "\n\r", "\r\n\n"};
    std::string s;
    for (int l = 0; l < lines; ++l) {
        // Many well-formed full lines, as the encoder writes them.
        unsigned n = rng() % 2 ? 45 : rng() % 20 == 0 ? 46 + rng() % 18 : rng() % 46;
        s += n == 0 && rng() % 2 ? '`' : char(0x20 + n);
        int chars = 4 * ((n + 2) / 3) + (n == 45 && rng() % 2 ? 0 : int(rng() % 7) - 3);
        for (int i = 0; i < chars; ++i)
            s += char(0x20 + rng() % 65);
        if (rng() % 6 == 0)
            s += "  junk";
        s += ends[rng() % 7];
    }
    return s;
}

// Puts the vector kernels back at the end of a scope.
struct PortableOff {
    ~PortableOff() { zt_uu_force_portable(false); }
};

} // namespace

// ---------------------------------------------------------------------------

struct EncodeCase {
    std::string in, out;
};

void PrintTo(const EncodeCase &c, std::ostream *os) { *os << zt_test::escaped(c.in.substr(0, 8)); }

class UuEncodeLines : public testing::TestWithParam<EncodeCase> {};

TEST_P(UuEncodeLines, ExactBytes)
{
    EXPECT_EQ(zt_test::escaped(encode_all(GetParam().in)), zt_test::escaped(GetParam().out));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UuEncodeLines,
    testing::Values(EncodeCase{"", ""}, EncodeCase{"Cat", "#0V%T\r\n`\r\n"},
                    EncodeCase{"A", "!00``\r\n`\r\n"},
                    EncodeCase{std::string(3, '\0'), "#````\r\n`\r\n"},
                    // 45 bytes: one full line, no end line.
                    EncodeCase{std::string(45, '\xff'), "M" + std::string(60, '_') + "\r\n"},
                    EncodeCase{std::string(46, '\xff'),
                               "M" + std::string(60, '_') + "\r\n!_P``\r\n`\r\n"},
                    EncodeCase{std::string(90, '\0'), "M" + std::string(60, '`') + "\r\nM" +
                                                          std::string(60, '`') + "\r\n"}));

TEST(UuEncode, AnyChunkingOfFragmentedInputMatchesTheModel)
{
    for (bool portable : {false, true}) {
        zt_uu_force_portable(portable);
        PortableOff off;
        std::mt19937 rng(7);
        for (int round = 0; round < 60; ++round) {
            size_t len = round < 50 ? rng() % 400 : 20000 + rng() % 50000;
            std::string data = random_bytes(rng, len);
            Model m(0);
            std::string want;
            m.update(want, data);
            m.finish(want);
            Uu st(ztmime_uu_init(0));
            View out(ztview_init());
            for (size_t i = 0; i < data.size();) {
                size_t n = std::min(data.size() - i, size_t(1 + rng() % (round % 3 ? 70 : 3000)));
                View in = fragmented(data.substr(i, n), rng, round % 2 ? 5 : 200);
                ASSERT_EQ(ztmime_uu_update(st.get(), out.get(), in.get()), 0);
                i += n;
            }
            ASSERT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
            ASSERT_EQ(str(out.get()), want) << "length " << len;
        }
    }
}

// ---------------------------------------------------------------------------

struct DecodeCase {
    std::string name;
    std::vector<std::string> chunks;
    std::string out;
    int last_rc;
};

void PrintTo(const DecodeCase &c, std::ostream *os) { *os << c.name; }

class UuDecodeLines : public testing::TestWithParam<DecodeCase> {};

TEST_P(UuDecodeLines, Output)
{
    const DecodeCase &c = GetParam();
    Uu st(ztmime_uu_init(1));
    View out(ztview_init());
    int rc = 0;
    for (const std::string &chunk : c.chunks) {
        View in = make_view(chunk);
        rc = ztmime_uu_update(st.get(), out.get(), in.get());
    }
    EXPECT_EQ(rc, c.last_rc);
    EXPECT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
    EXPECT_EQ(zt_test::escaped(str(out.get())), zt_test::escaped(c.out));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UuDecodeLines,
    testing::Values(DecodeCase{"WithEndLine", {"#0V%T\r\n`\r\n"}, "Cat", 0},
                    DecodeCase{"RestOfLineIgnored", {"#0V%T  xyz\r\n"}, "Cat", 0},
                    DecodeCase{"SplitInsideData", {"#0V", "%T\r\n"}, "Cat", 0},
                    DecodeCase{"SplitAfterLength", {"#", "0V%T\r\n"}, "Cat", 0},
                    DecodeCase{"LineEndsBeforeFirstLine", {"\r\n\n\r#0V%T\r\n"}, "Cat", 0},
                    DecodeCase{"SpaceReadsAsZero", {"#    \r\n"}, std::string(3, '\0'), 0},
                    DecodeCase{"EmptyLinesProduceNothing", {"`\r\n \r\n#0V%T\r\n"}, "Cat", 0},
                    // The short line takes its missing characters from the line end.
                    DecodeCase{"ShortLineBorrowsLineEnd", {"#0V\r\n%T\r\n"}, "\x43\x6b\x6a", 0},
                    // "b" of a begin line reads as a length of 2.
                    DecodeCase{"BeginLineIsNotRecognised",
                               {"begin 644 f\r\n#0V%T\r\n"},
                               "\x14r"
                               "Cat",
                               0},
                    DecodeCase{"LengthAbove45Fails", {"#0V%T\r\nN0V%T\r\n"}, "Cat", -1},
                    DecodeCase{"FailedStateStaysFailed", {"N", "#0V%T\r\n"}, "", -1},
                    DecodeCase{"IncompleteLineAtFinish", {"M0V%T\r\n"}, "", 0}),
    [](const testing::TestParamInfo<DecodeCase> &i) { return i.param.name; });

TEST(UuDecode, RoundTripInEveryChunking)
{
    for (bool portable : {false, true}) {
        zt_uu_force_portable(portable);
        PortableOff off;
        std::mt19937 rng(11);
        const size_t sizes[] = {1, 2, 3, 7, 61, 63, 64, 4096};
        for (int round = 0; round < 32; ++round) {
            bool big = round >= 30;
            std::string data = random_bytes(rng, big ? 70000 : rng() % 300);
            std::string text = encode_all(data);
            for (size_t chunk : sizes) {
                if (big && chunk < 61)
                    continue;
                Uu st(ztmime_uu_init(1));
                View out(ztview_init());
                for (size_t i = 0; i < text.size(); i += chunk) {
                    View in = fragmented(text.substr(i, chunk), rng, round % 2 ? 9 : 5000);
                    ASSERT_EQ(ztmime_uu_update(st.get(), out.get(), in.get()), 0);
                }
                ASSERT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
                ASSERT_EQ(str(out.get()), data) << "chunk " << chunk;
            }
        }
    }
}

// Arbitrary and rough input in random chunkings gives exactly what the
// byte-wise model gives: results, output, line state and pending bytes.
TEST(UuDecode, RoughInputMatchesTheModel)
{
    for (bool portable : {false, true}) {
        zt_uu_force_portable(portable);
        PortableOff off;
        std::mt19937 rng(3);
        for (int round = 0; round < 400; ++round) {
            std::string text =
                round % 4 ? rough_uu(rng, 1 + rng() % 40) : random_bytes(rng, rng() % 200);
            Model m(1);
            Uu st(ztmime_uu_init(1));
            View out(ztview_init());
            std::string want;
            for (size_t i = 0;;) {
                size_t n = std::min(text.size() - i, size_t(rng() % 300));
                std::string piece = text.substr(i, n);
                View in = fragmented(piece, rng, rng() % 2 ? 1 + rng() % 8 : 1000);
                bool none = rng() % 7 == 0; // an update without new input
                int got = ztmime_uu_update(st.get(), out.get(), none ? nullptr : in.get());
                ASSERT_EQ(got, m.update(want, none ? "" : piece));
                ASSERT_EQ(st->line_len, m.line_len);
                ASSERT_EQ(str(st->pending), m.pending);
                ASSERT_EQ(str(out.get()), want);
                if (!none)
                    i += n;
                if (i == text.size() && rng() % 2)
                    break;
            }
            ASSERT_EQ(ztmime_uu_finish(st.get(), out.get()), m.finish(want));
            ASSERT_EQ(str(out.get()), want);
            ASSERT_EQ(str(st->pending), m.pending);
        }
    }
}

// ---------------------------------------------------------------------------

TEST(UuState, NullArgumentsAndOneShots)
{
    Uu st(ztmime_uu_init(1));
    View out(ztview_init());
    EXPECT_EQ(ztmime_uu_update(nullptr, out.get(), nullptr), -1);
    EXPECT_EQ(ztmime_uu_update(st.get(), nullptr, nullptr), -1);
    EXPECT_EQ(ztmime_uu_finish(nullptr, out.get()), -1);
    EXPECT_EQ(ztmime_uu_finish(st.get(), nullptr), -1);
    ztmime_uu_destroy(nullptr);
    for (auto fn : {ztmime_uu_decode, ztmime_uu_encode}) {
        View v(fn(nullptr));
        ASSERT_TRUE(v);
        EXPECT_EQ(ztview_get_len(v.get()), 0u);
    }
    View bad = make_view("N");
    EXPECT_EQ(ztmime_uu_decode(bad.get()), nullptr);
    Uu fresh(ztmime_uu_reset(nullptr, 0));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->mode, 0u);
}

// Every allocation of an update may fail: the call then returns -1 and
// leaves the state and the output exactly as they were.
TEST(UuState, UpdateFailuresChangeNothing)
{
    struct Case {
        unsigned mode;
        std::string before, in;
    };
    const Case cases[] = {
        {0, "abc", std::string(200, 'q')},
        {0, "", "abc"},
        {1, "#0V", "%T\r\nM" + std::string(60, 'a') + "\r\n#0"},
        {1, "", "#0V%T\r\nN" + std::string(400, 'z')}, // long rest after a fault
    };
    for (const Case &c : cases) {
        for (long nth = 1;; ++nth) {
            Uu st(ztmime_uu_init(c.mode));
            View out = make_view("x"), in = make_view(c.before);
            ztmime_uu_update(st.get(), out.get(), in.get());
            std::string pending = str(st->pending), shown = str(out.get());
            int line_len = st->line_len;
            View more = make_view(c.in);
            zt_alloc_fail_at(nth);
            int rc = ztmime_uu_update(st.get(), out.get(), more.get());
            bool failed = zt_alloc_fail_at(0) >= nth;
            if (!failed)
                break;
            ASSERT_EQ(rc, -1) << nth;
            EXPECT_EQ(str(st->pending), pending);
            EXPECT_EQ(str(out.get()), shown);
            EXPECT_EQ(st->line_len, line_len);
        }
    }
}
