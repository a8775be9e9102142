// Uuencode codec: exact line forms, both directions against a small
// whole-input reference in random chunkings (vector and portable kernels),
// and failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "uucode/uucode_internal.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

struct UuDeleter {
    void operator()(ztmime_uu *s) const { ztmime_uu_destroy(s); }
};
using Uu = std::unique_ptr<ztmime_uu, UuDeleter>;

// Reference encoder: 45-byte lines, and a partial last line followed by
// the empty end line.
std::string model_encode(const std::string &s)
{
    std::string out;
    for (size_t at = 0; at < s.size(); at += 45) {
        size_t n = std::min<size_t>(45, s.size() - at);
        std::string b = s.substr(at, n) + std::string(2, '\0');
        out += char(0x20 + n);
        for (size_t g = 0; g < n; g += 3) {
            unsigned v = static_cast<unsigned>(uint8_t(b[g]) << 16 | uint8_t(b[g + 1]) << 8 | uint8_t(b[g + 2]));
            for (int k = 18; k >= 0; k -= 6)
                out += (v >> k & 63) ? char(0x20 + (v >> k & 63)) : '`';
        }
        out += n == 45 ? "\r\n" : "\r\n`\r\n";
    }
    return out;
}

// Reference decoder fed with the same pieces as the codec: line ends
// before a line are skipped, the length character counts the data
// characters that follow (line ends included), the rest of the line held
// so far is dropped, and a length above 45 fails for good.
struct DecodeModel {
    std::string p; // input held over from earlier updates
    unsigned n = 0; // length of a line whose data is still incomplete
    void skip_eol() { p.erase(0, std::min(p.size(), p.find_first_not_of("\r\n"))); }
    int update(const std::string &in, std::string &out)
    {
        for (p += in, skip_eol(); n <= 45 && !p.empty(); skip_eol()) {
            if (n == 0) {
                n = (static_cast<unsigned char>(p[0]) - 0x20) & 0x3F;
                p.erase(0, 1);
                if (n == 0 || n > 45)
                    continue;
            }
            size_t need = 4 * ((n + 2) / 3), keep = out.size() + n;
            if (p.size() < need)
                return 0;
            for (size_t i = 0; i < need; i += 4) {
                unsigned v = 0;
                for (size_t k = i; k < i + 4; ++k)
                    v = v << 6 | ((static_cast<unsigned char>(p[k]) - 0x20) & 0x3F);
                out += {char(v >> 16), char(v >> 8), char(v)};
            }
            out.resize(keep);
            p.erase(0, std::min(p.size(), p.find_first_of("\r\n", need)));
            n = 0;
        }
        return n > 45 ? -1 : 0;
    }
};

// Feeds `in` in random chunks, each a view of random small segments, with
// now and then an update without input; every result must be what the
// model gives.  Decoding appends the model's output to *want.
std::string run_chunked(unsigned mode, const std::string &in, std::mt19937 &rng, std::string *want)
{
    Uu st(ztmime_uu_init(mode));
    View out(ztview_init());
    DecodeModel m;
    for (size_t i = 0; (i < in.size() || rng() % 2) && !testing::Test::HasFailure();) {
        size_t n = std::min(in.size() - i, size_t(rng() % (rng() % 4 ? 80 : 5000)));
        View piece = make_fragmented(in.substr(i, n), 1 + rng() % (rng() % 2 ? 8 : 1000));
        n = rng() % 7 ? n : 0;
        int rc = ztmime_uu_update(st.get(), out.get(), n ? piece.get() : nullptr);
        EXPECT_EQ(rc, mode ? m.update(in.substr(i, n), *want) : 0);
        i += n;
    }
    EXPECT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
    if (mode)
        m.update("", *want);
    return str(out.get());
}

} // namespace

TEST(UuLines, ExactEncodeAndDecode)
{
    const struct { unsigned mode; std::vector<std::string> chunks; std::string out; int rc; } cases[] = {
        {0, {"Cat"}, "#0V%T\r\n`\r\n", 0},
        {0, {std::string(46, '\0')}, "M" + std::string(60, '`') + "\r\n!````\r\n`\r\n", 0},
        {1, {"#", "0V", "%T  xyz\r\n"}, "Cat", 0},
        {1, {"\r\n\n\r#    \r\n"}, std::string(3, '\0'), 0},
        {1, {"#0V\r\n%T\r\n"}, "\x43\x6b\x6a", 0}, // a short line reads into its line end
        {1, {"begin 644 f\r\n#0V%T\r\n"}, "\x14rCat", 0}, // "b" reads as a length of 2
        {1, {"#0V%T\r\nN0V%T\r\n"}, "Cat", -1},
        {1, {"M0V%T\r\n"}, "", 0},
    };
    for (const auto &c : cases) {
        Uu st(ztmime_uu_init(c.mode));
        View out(ztview_init());
        int rc = 0;
        for (const std::string &chunk : c.chunks) {
            View in = make_view(chunk);
            rc = ztmime_uu_update(st.get(), out.get(), in.get());
        }
        EXPECT_EQ(rc + ztmime_uu_finish(st.get(), out.get()), c.rc) << escaped(c.chunks[0]);
        EXPECT_EQ(escaped(str(out.get())), escaped(c.out));
    }
}

// Random data encodes as the model encodes it.  The encoder's output (at
// times large enough for the vector kernels), the same with damage (line
// ends, lengths above 45, short lines, stray characters) and arbitrary
// bytes all decode as the model decodes them.
TEST(UuModel, BothDirectionsMatchTheModelInAnyChunkingWithEitherKernel)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 600; ++round) {
        zt_uu_force_portable(round / 4 % 2); // vector and portable kernels
        std::string data(round % 50 == 1 ? 70000 : rng() % 300, '\0');
        std::generate(data.begin(), data.end(), [&] { return char(rng()); });
        std::string text = round % 4 ? model_encode(data) : data, want;
        ASSERT_TRUE(round % 4 != 1 || run_chunked(0, data, rng, &want) == text) << data.size();
        for (int k = round % 4 == 1 ? 0 : int(rng() % 10); k > 0 && !text.empty(); --k)
            text[rng() % text.size()] = "\r\n`N!M x"[rng() % 8];
        std::string got = run_chunked(1, text, rng, &want);
        ASSERT_EQ(got, want) << escaped(text);
        ASSERT_TRUE(round % 4 != 1 || want == data);
    }
    zt_uu_force_portable(false);
}

TEST(UuState, NullArgumentsAndOneShots)
{
    View out(ztview_init()), bad = make_view("N"), empty(ztmime_uu_encode(nullptr));
    Uu made(ztmime_uu_reset(nullptr, 1));
    EXPECT_EQ(ztmime_uu_update(nullptr, out.get(), nullptr) + ztmime_uu_finish(made.get(), nullptr), -2);
    EXPECT_TRUE(empty && str(empty.get()).empty() && !ztmime_uu_decode(bad.get()));
}

