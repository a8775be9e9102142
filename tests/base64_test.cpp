// Base64 codec: exact forms, failure rows, chunked runs against a reference
// encoder and a per-byte decoding model (vector paths on and off),
// allocation failures and the corpus.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "base64/b64_internal.h"
#include "kernel_limits.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

constexpr int DEC = ZTMIME_B64_DECODE, NOBR = ZTMIME_B64_NO_BREAKS;
const std::string kAlphabet = zt_b64::kAlphabet;

using State = std::unique_ptr<ztmime_b64, decltype(&ztmime_b64_destroy)>;
State make(int flags) { return State(ztmime_b64_init(flags), ztmime_b64_destroy); }

CodecRun run(int flags, const std::vector<std::string> &parts, size_t seg = 0)
{ return run_codec(make(flags).get(), ztmime_b64_update, ztmime_b64_finish, parts, seg); }

// Reference encoder: 76-character lines ended by CR LF, the stream by CR LF.
std::string reference_encode(const std::string &in, bool breaks)
{
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        size_t n = std::min<size_t>(3, in.size() - i);
        unsigned v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(in[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[v >> (18 - 6 * k) & 63] : '=';
        if (n == 3 && breaks && (i / 3 + 1) % 19 == 0)
            out += "\r\n";
    }
    return breaks ? out + "\r\n" : out;
}

// Per-byte model of a decoding update over the whole pending text.
int model_update(std::string &pending, int &pad_errors, std::string &out, const std::string &in)
{
    if (pad_errors)
        return -2;
    pending += in;
    std::string o;
    size_t consumed = 0, extra = 0, n = 0, pads = 0, acc = 0;
    bool met = false, bad = false, last_pad = false;
    for (size_t i = 0; i < pending.size(); ++i) {
        char c = pending[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=' && n < 2)
            met = true, ++extra, ++pad_errors;
        else if (c == '=')
            ++pads, pad_errors += met, last_pad = n == 3;
        size_t v = c == '=' ? 0 : kAlphabet.find(c);
        bad |= v == std::string::npos;
        acc = acc << 6 | (v & 63);
        if (++n < 4)
            continue;
        if (!met && bad)
            return -1;
        if (!met)
            o += std::string{char(acc >> 16), char(acc >> 8), char(acc)}.substr(0, last_pad ? 3 - pads : 3), consumed = i + 1;
        n = pads = acc = 0, bad = last_pad = false;
    }
    out += o;
    pending.erase(0, consumed + extra);
    return met ? -2 : 0;
}

TEST(Base64, ExactFormsInEveryChunking)
{
    // Padding inside one call's data: each padded group yields only its own
    // bytes and decoding goes on.
    const std::string zeros(58, '\0'), line = std::string(76, 'A') + "\r\n";
    struct Case {
        int flags;
        std::string in, out;
    } cases[] = {
        {0, "", "\r\n"}, {NOBR, "", ""}, {0, "A", "QQ==\r\n"}, {0, "AB", "QUI=\r\n"}, {NOBR, "AB", "QUI="},
        {0, zeros.substr(0, 3), "AAAA\r\n"}, {0, zeros, line + "AA==\r\n"},
        {0, zeros.substr(0, 57), line + "\r\n"},  // a full line, then an empty last line
        {DEC, "QUJD", "ABC"}, {DEC, "QUI=", "AB"}, {DEC, "QQ==", "A"}, {DEC, " Q\r\nU J\tD \r\n", "ABC"},
        {DEC, "AP/+", std::string("\0\xff\xfe", 3)}, {DEC, "QUI=QUJD", "ABABC"}, {DEC, "QQ=B", std::string("A\0\x01", 3)},
    };
    for (const auto &c : cases)
        for (size_t chunk : {0, 1, 2, 3, 5}) {
            CodecRun r = run(c.flags, pieces(c.in, chunk), 1);
            EXPECT_EQ(r.out, c.out) << escaped(c.in) << " chunk " << chunk;
            EXPECT_EQ(r.results.back(), 0) << escaped(c.in);
        }
}

// Both directions, whole and in pieces over small segments, against the
// reference encoder.
TEST(Base64, RoundTripMatchesReferenceInAnyChunking)
{
    std::mt19937 rng(7);
    for (unsigned kernels : kAllKernels) {
        CpuLimit limit(kernels);
        for (size_t len : {0, 1, 2, 56, 57, 58, 1000, 200000}) {
            std::string data;
            while (data.size() < len)
                data += char(rng());
            for (int flags : {0, NOBR}) {
                std::string enc = reference_encode(data, flags == 0);
                for (size_t chunk : len > 1000 ? std::vector<size_t>{4093, 65536} : std::vector<size_t>{0, 1, 2, 5, 64}) {
                    size_t seg = chunk > 64 ? 1000 : chunk % 3;
                    EXPECT_EQ(run(flags, pieces(data, chunk), seg).out, enc) << len << " " << chunk;
                    CodecRun dec = run(DEC, pieces(enc, chunk), seg);
                    EXPECT_EQ(dec.out, data) << len << " " << chunk;
                    EXPECT_EQ(dec.results, std::vector<int>(dec.results.size(), 0));
                }
            }
        }
    }
}

TEST(Base64Failures, DecodingRows)
{
    const char *pad = "extra pad characters in b64 input", *inv = "invalid b64 characters in input";
    struct Row {
        std::vector<std::string> parts;
        std::vector<int> results;  // updates, then finish
        std::string out, pending, after_finish;
        const char *error;
    } rows[] = {
        // An extra pad blocks the state: later input is not taken.
        {{"QQ===", "QUJD"}, {-2, -2, 0}, "A", "", "", pad},
        // One character is dropped per extra pad, not the whitespace read.
        {{"QUJD\r\n="}, {-2, -2}, "ABC", "\n=", "\n=", pad},
        // An invalid character undoes the call; later calls fail alike.
        {{"QUJDQU*D"}, {-1, -1}, "", "QUJDQU*D", "QUJDQU*D", inv},
        {{"QUJDQU", "J\x80"}, {0, -1, -1}, "ABC", "QUJ\x80", "QUJ\x80", inv},
        // Leftovers fail at finish, which empties pending; whitespace does not.
        {{"QUJDQ*"}, {0, -1}, "ABC", "Q*", "", ""},
        {{"QU", "JD\r\n"}, {0, 0, 0}, "ABC", "\r\n", "", ""},
    };
    // A zero-filled record, as embedded in an encoder, readied by reset;
    // reset also unblocks it for the next row.
    ztmime_b64 st{};
    for (const auto &r : rows) {
        ASSERT_EQ(ztmime_b64_reset(&st, DEC), &st);
        EXPECT_STREQ(st.error, "");
        CodecRun got = run_codec(&st, ztmime_b64_update, ztmime_b64_finish, r.parts);
        EXPECT_EQ(got.results, r.results) << escaped(r.parts[0]);
        EXPECT_EQ(got.out, r.out) << escaped(r.parts[0]);
        EXPECT_EQ(escaped(got.pending), escaped(r.pending));
        EXPECT_EQ(str(st.pending), r.after_finish);
        EXPECT_STREQ(st.error, r.error);
        EXPECT_EQ(st.pad_errors, int(r.error == pad));
    }
    View out(ztview_init()), in = make_view("QUJD");  // null state or output: nothing taken
    EXPECT_EQ(ztmime_b64_update(nullptr, out.get(), in.get()) + ztmime_b64_update(&st, nullptr, in.get()), -2);
    EXPECT_EQ(ztmime_b64_finish(nullptr, out.get()) + ztmime_b64_finish(&st, nullptr), -2);
    EXPECT_EQ(ztview_get_len(st.pending), 0u);
    _ztview_destroy(st.pending, "base64", __LINE__);
}

TEST(Base64Failures, FirstAllocationOfAnUpdateFails)
{
    for (int flags : {0, DEC}) {
        State st = make(flags);
        View out(ztview_init()), in = make_view(std::string(600, 'Q'));
        errno = 0;
        zt_alloc_fail_at(1);
        EXPECT_EQ(ztmime_b64_update(st.get(), out.get(), in.get()), -1);
        zt_alloc_fail_at(0);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_STREQ(st->error, "Unable allocate memory for b64");
        // Nothing is consumed: the input is either not taken or all pending
        // (then an encoder's finish refuses three or more bytes).
        size_t pending = ztview_get_len(st->pending);
        EXPECT_TRUE(pending == 0 || pending == 600) << pending;
        EXPECT_EQ(ztview_get_len(out.get()), 0u);
        EXPECT_TRUE(flags || !pending || ztmime_b64_finish(st.get(), out.get()) == -1);
    }
}

// Random base64 text with whitespace, pads and bad bytes, decoded in random
// chunks over small segments by the codec and by the model: results,
// output, pending bytes and pad count agree.
TEST(Base64Model, ArbitraryInputInAnyChunking)
{
    std::mt19937 rng(5);
    const std::string runs[] = {"QUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJD", "/+09azAZ/+09azAZ/+09azAZ/+09azAZ"},
                      bits[] = {" ", "\r\n", "\t", "=", "QQ==", "QUI=", "*", "\x80", "-", "\n"};
    for (int iter = 0; iter < 600; ++iter) {
        std::string in;
        for (size_t i = 0, n = rng() % 60; i < n; ++i)  // mostly clean runs for the fast paths
            in += rng() % 4 ? runs[rng() % 2].substr(0, 1 + rng() % 32) : bits[rng() % 10];
        size_t chunk = rng() % 9, seg = 1 + rng() % 5;
        for (unsigned kernels : kAllKernels) {
            CpuLimit limit(kernels);
            std::string want, pending;
            int pad_errors = 0;
            State st = make(DEC);
            View out(ztview_init());
            for (const auto &part : pieces(in, chunk)) {
                int expect = model_update(pending, pad_errors, want, part);
                ASSERT_EQ(ztmime_b64_update(st.get(), out.get(), make_fragmented(part, seg).get()), expect)
                    << escaped(in) << " " << chunk;
                ASSERT_EQ(str(st->pending), pending) << escaped(in) << " " << chunk;
                ASSERT_EQ(st->pad_errors, pad_errors);
            }
            EXPECT_EQ(str(out.get()), want) << escaped(in);
        }
    }
}

TEST(Base64Corpus, PhotoDecodesToTheJpegAndBack)
{
    bool ok = false;
    std::string b64 = read_file(ZT_CORPUS_DIR "/gmime/data/encodings/photo.b64", &ok);
    std::string jpg = read_file(ZT_CORPUS_DIR "/gmime/data/encodings/photo.jpg");
    if (!ok || jpg.empty())
        GTEST_SKIP() << "corpus absent";
    for (size_t chunk : {0, 7, 4096})
        EXPECT_EQ(run(DEC, pieces(b64, chunk)).out, jpg) << "chunk " << chunk;
    EXPECT_EQ(run(0, {jpg}).out, reference_encode(jpg, true));
}

} // namespace

namespace {

// The exact-form decoder behind encoded words: whole groups, correct
// padding and zero spare bits give the one-shot decoder's bytes; anything
// else gives -1, with every kernel set.
TEST(Base64Exact, CanonicalTextOnlyWithEveryKernelSet)
{
    const std::string long_text = reference_encode(std::string(198, '\x5a'), false);
    const struct { std::string in; long want; } rows[] = {
        {"QUJD", 3}, {"QUI=", 2}, {"QQ==", 1}, {long_text, 198}, {long_text + "QQ==", 199}, {long_text + "Wlo=" + "QQ==", -1},
        {"", -1}, {"QUJ", -1}, {"QR==", -1}, {"QUJ=", -1}, {"Q===", -1}, {"QU=D", -1}, {"=QUJ", -1},
        {"QU JD", -1}, {"QUJD\r\nQUJD", -1}, {"QUJDQ*JD", -1}, {long_text.substr(0, 100) + "-" + long_text.substr(101), -1},
    };
    for (unsigned kernels : kAllKernels) {
        CpuLimit limit(kernels);
        for (const auto &r : rows) {
            std::vector<unsigned char> out(r.in.size() + 1, 0xee);
            const auto *t = reinterpret_cast<const unsigned char *>(r.in.data());
            long n = zt_b64::decode_exact(t, r.in.size(), out.data());
            ASSERT_EQ(n, r.want) << escaped(r.in) << " kernels " << kernels;
            EXPECT_EQ(out.back(), 0xee) << "wrote past the room";
            if (n >= 0) {
                View in = make_view(r.in), ref(ztmime_b64_decode(in.get()));
                EXPECT_EQ(std::string(out.begin(), out.begin() + n), str(ref.get()));
            }
        }
    }
}

} // namespace
