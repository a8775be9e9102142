// Uuencode codec: exact line forms, both directions against a small
// whole-input reference in random chunkings (vector and portable kernels),
// and failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "kernel_limits.h"
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

// Reference decoder over the whole input: line ends before a line are
// skipped, the length character counts the data characters that follow
// (line ends included), the rest of the line up to a CR or LF is dropped,
// and a length above 45 stops decoding with -1.
struct Decoded {
    std::string out;
    int rc = 0;
};
Decoded model_decode(const std::string &p)
{
    Decoded d;
    auto skip_eol = [&](size_t i) { return std::min(p.size(), p.find_first_not_of("\r\n", i)); };
    for (size_t i = skip_eol(0); i < p.size();) {
        unsigned n = (static_cast<unsigned char>(p[i++]) - 0x20) & 0x3F;
        if (n > 45)
            return d.rc = -1, d;
        size_t need = 4 * ((n + 2) / 3), keep = d.out.size() + n;
        if (p.size() - i < need)
            break;
        for (size_t k = i; k < i + need; k += 4) {
            unsigned v = 0;
            for (size_t j = k; j < k + 4; ++j)
                v = v << 6 | ((static_cast<unsigned char>(p[j]) - 0x20) & 0x3F);
            d.out += {char(v >> 16), char(v >> 8), char(v)};
        }
        d.out.resize(keep);
        i = n ? std::min(p.size(), p.find_first_of("\r\n", i + need)) : i;
        i = skip_eol(i);
    }
    return d;
}

// Decodes `in` fed in the given pieces (each a view of `seg`-byte
// segments; an empty piece is an update without input).  rc is -1 when an
// update failed; once one has, every later one must fail too.
Decoded decode_in(const std::vector<std::string> &parts, size_t seg = 0)
{
    Uu st(ztmime_uu_init(1));
    View out(ztview_init());
    Decoded d;
    for (const auto &part : parts) {
        View piece = seg ? make_fragmented(part, seg) : make_view(part);
        int rc = ztmime_uu_update(st.get(), out.get(), part.empty() ? nullptr : piece.get());
        EXPECT_TRUE(rc == 0 || rc == -1);
        EXPECT_TRUE(d.rc == 0 || rc == -1) << "a failed state took more input";
        d.rc = rc ? rc : d.rc;
    }
    EXPECT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
    d.out = str(out.get());
    return d;
}

// `in` in random chunks (now and then none), as decode_in takes them.
std::vector<std::string> random_chunks(const std::string &in, std::mt19937 &rng)
{
    std::vector<std::string> parts;
    for (size_t i = 0; i < in.size() || rng() % 2;) {
        size_t n = rng() % 7 ? std::min(in.size() - i, size_t(rng() % (rng() % 4 ? 80 : 5000))) : 0;
        parts.push_back(in.substr(i, n));
        i += n;
    }
    return parts;
}

// Feeds `in` in random chunks, each a view of random small segments; the
// encoder's results must all be 0, the decoder's output and result what
// the whole-input model gives.
std::string run_chunked(unsigned mode, const std::string &in, std::mt19937 &rng)
{
    if (mode) {
        Decoded got = decode_in(random_chunks(in, rng), 1 + rng() % (rng() % 2 ? 8 : 1000)), want = model_decode(in);
        EXPECT_EQ(got.rc, want.rc) << escaped(in);
        return got.out;
    }
    Uu st(ztmime_uu_init(0));
    View out(ztview_init());
    for (const auto &part : random_chunks(in, rng)) {
        View piece = make_fragmented(part, 1 + rng() % 8);
        EXPECT_EQ(ztmime_uu_update(st.get(), out.get(), part.empty() ? nullptr : piece.get()), 0);
    }
    EXPECT_EQ(ztmime_uu_finish(st.get(), out.get()), 0);
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
        CpuLimit limit(round / 4 % 2 ? 0 : zt_cpu::kAll); // vector and portable kernels
        std::string data(round % 50 == 1 ? 70000 : rng() % 300, '\0');
        std::generate(data.begin(), data.end(), [&] { return char(rng()); });
        std::string text = round % 4 ? model_encode(data) : data;
        ASSERT_TRUE(round % 4 != 1 || run_chunked(0, data, rng) == text) << data.size();
        if (round % 3 == 2) // lines ended by LF alone
            text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        for (int k = round % 4 == 1 ? 0 : int(rng() % 10); k > 0 && !text.empty(); --k)
            text[rng() % text.size()] = "\r\n`N!M x"[rng() % 8];
        std::string want = model_decode(text).out;
        ASSERT_EQ(run_chunked(1, text, rng), want) << escaped(text);
        ASSERT_TRUE(round % 4 != 1 || want == data);
    }
}

TEST(UuState, NullArgumentsAndOneShots)
{
    View out(ztview_init()), bad = make_view("N"), empty(ztmime_uu_encode(nullptr));
    Uu made(ztmime_uu_reset(nullptr, 1));
    EXPECT_EQ(ztmime_uu_update(nullptr, out.get(), nullptr) + ztmime_uu_finish(made.get(), nullptr), -2);
    EXPECT_TRUE(empty && str(empty.get()).empty() && !ztmime_uu_decode(bad.get()));
}

// Where updates cut the input does not matter: a line end inside a line's
// data is data, and the ignored rest of a line is skipped across calls.
// Every two-way cut and random chunkings of inputs full of line-end runs,
// over-long rests, short lines and bad lengths give the output and result
// of one whole update.
TEST(UuChunking, EveryCutGivesTheWholeInputResult)
{
    const std::string examples[] = {
        "!\r\r\r\rX\n", "#0V%T  xyz\r\n#0V%T\r\n", "#0V%T\rN\n#0V%T\n", " \r\n\n#0V%T", "#0V%T" + std::string(300, 'x') + "\r\n!00``\n",
    };
    const std::string bits[] = {"\r", "\n", "\r\n", "\r\r\n\n", "#0V%T", "M", "!00``", "N", "xyz", "  ", "`", std::string(70, '!'), "a"};
    std::mt19937 rng(11);
    std::vector<std::string> inputs(std::begin(examples), std::end(examples));
    for (int i = 0; i < 300; ++i) {
        std::string in;
        for (size_t k = 0, n = rng() % 12; k < n; ++k)
            in += bits[rng() % std::size(bits)];
        inputs.push_back(in);
    }
    for (const auto &in : inputs) {
        const Decoded whole = decode_in({in});
        EXPECT_EQ(escaped(whole.out), escaped(model_decode(in).out)) << escaped(in);
        for (size_t cut = 1; cut < in.size(); ++cut) {
            Decoded got = decode_in({in.substr(0, cut), in.substr(cut)});
            ASSERT_EQ(escaped(got.out), escaped(whole.out)) << escaped(in) << " cut after " << cut;
            ASSERT_EQ(got.rc, whole.rc) << escaped(in) << " cut after " << cut;
        }
        for (int k = 0; k < 4; ++k) {
            Decoded got = decode_in(random_chunks(in, rng), 1 + rng() % 3);
            ASSERT_EQ(escaped(got.out), escaped(whole.out)) << escaped(in);
            ASSERT_EQ(got.rc, whole.rc) << escaped(in);
        }
    }
}
