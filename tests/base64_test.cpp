// Base64 codec: exact encoded forms, decoding rules, failures, chunking and
// segment independence, allocation failures, and agreement of the vector
// and portable paths with a plain per-byte model.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "base64/b64_internal.h"
#include "common/alloc.h"
#include "zt_test.h"
#include "ztmime.h"

using zt_test::make_fragmented;
using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

struct State {
    explicit State(int flags) : s(ztmime_b64_init(flags)) {}
    ~State() { ztmime_b64_destroy(s); }
    ztmime_b64 *s;
};

struct Outcome {
    std::string out;
    std::vector<int> results;  // every update, then finish
};

// Feeds `in` in pieces of `chunk` bytes (0: one piece), then finishes.
Outcome stream(int flags, const std::string &in, size_t chunk, size_t piece = 0)
{
    State st(flags);
    View out(ztview_init());
    Outcome r;
    size_t step = chunk ? chunk : (in.empty() ? 1 : in.size());
    for (size_t off = 0; off < in.size(); off += step) {
        std::string part = in.substr(off, step);
        View v = piece ? make_fragmented(part, piece) : make_view(part);
        r.results.push_back(ztmime_b64_update(st.s, out.get(), v.get()));
    }
    r.results.push_back(ztmime_b64_finish(st.s, out.get()));
    r.out = str(out.get());
    return r;
}

std::string random_bytes(std::mt19937 &rng, size_t n)
{
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(rng() & 0xff);
    return s;
}

// Independent encoder: 76-character lines, each ended by CR LF, and the
// stream ended by CR LF (an empty last line when the data fills its line).
std::string reference_encode(const std::string &in, bool breaks)
{
    static const char *a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t groups = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        size_t n = in.size() - i < 3 ? in.size() - i : 3;
        if (n > 1)
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<unsigned char>(in[i + 2]);
        out += a[v >> 18];
        out += a[(v >> 12) & 63];
        out += n > 1 ? a[(v >> 6) & 63] : '=';
        out += n > 2 ? a[v & 63] : '=';
        if (n == 3 && breaks && ++groups % 19 == 0)
            out += "\r\n";
    }
    if (breaks)
        out += "\r\n";
    return out;
}

// Per-byte model of one decoding update over the whole pending text.
struct DecodeModel {
    std::string pending;
    int pad_errors = 0;

    int update(std::string &out, const std::string &in)
    {
        if (pad_errors)
            return -2;
        pending += in;
        std::string o;
        size_t consumed = 0, extra = 0;
        bool met = false;
        int n = 0, pads = 0;
        bool last_pad = false, bad = false;
        unsigned acc = 0;
        for (size_t i = 0; i < pending.size(); ++i) {
            unsigned char c = pending[i];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
                continue;
            unsigned v = 0;
            if (c == '=') {
                if (n < 2) {
                    ++pad_errors;
                    met = true;
                    ++extra;
                } else {
                    ++pads;
                    if (met)
                        ++pad_errors;
                    last_pad = n == 3;
                }
            } else {
                v = zt_b64::kDecode[c];
                bad |= v >= 128;
            }
            acc = acc << 6 | (v & 63);
            if (++n < 4)
                continue;
            if (!met) {
                if (bad)
                    return -1;
                std::string g{char(acc >> 16), char(acc >> 8), char(acc)};
                o += g.substr(0, 3 - (last_pad ? pads : 0));
                consumed = i + 1;
            }
            n = pads = 0;
            acc = 0;
            bad = last_pad = false;
        }
        out += o;
        pending.erase(0, consumed + extra);
        return met ? -2 : 0;
    }
};

TEST(Base64Encode, ExactForms)
{
    struct Case {
        int flags;
        std::string in, out;
    } cases[] = {
        {0, "", "\r\n"},
        {ZTMIME_B64_NO_BREAKS, "", ""},
        {0, "A", "QQ==\r\n"},
        {0, "AB", "QUI=\r\n"},
        {0, "ABC", "QUJD\r\n"},
        {ZTMIME_B64_NO_BREAKS, "AB", "QUI="},
        {0, std::string("\0\xff\xfe", 3), "AP/+\r\n"},
        {0, std::string(57, '\0'), std::string(76, 'A') + "\r\n\r\n"},
    };
    for (const auto &c : cases) {
        Outcome r = stream(c.flags, c.in, 0);
        EXPECT_EQ(r.out, c.out) << zt_test::escaped(c.in);
        EXPECT_EQ(r.results.back(), 0);
    }
}

TEST(Base64Encode, FullLineThenEmptyLastLine)
{
    State st(0);
    View out(ztview_init());
    View in = make_view(std::string(57, '\0'));
    ASSERT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), std::string(76, 'A') + "\r\n");
    ztview_rewind(out.get());
    ASSERT_EQ(ztmime_b64_finish(st.s, out.get()), 0);
    EXPECT_EQ(str(out.get()), "\r\n");
    EXPECT_EQ(st.s->line_groups, 19);
}

TEST(Base64Encode, FiftyEightBytes)
{
    Outcome r = stream(0, std::string(58, '\0'), 0);
    EXPECT_EQ(r.out, std::string(76, 'A') + "\r\nAA==\r\n");
}

TEST(Base64Encode, NoBreaksWritesOneLine)
{
    std::string in(300, 'z');
    Outcome r = stream(ZTMIME_B64_NO_BREAKS, in, 0);
    EXPECT_EQ(r.out, reference_encode(in, false));
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST(Base64Encode, SameOutputForEveryChunking)
{
    std::mt19937 rng(7);
    for (size_t len : {0, 1, 2, 3, 56, 57, 58, 114, 1000, 4099}) {
        std::string in = random_bytes(rng, len);
        for (int flags : {0, ZTMIME_B64_NO_BREAKS}) {
            std::string want = reference_encode(in, flags == 0);
            for (size_t chunk : {0, 1, 2, 3, 4, 5, 6, 7, 64}) {
                Outcome r = stream(flags, in, chunk, chunk % 3 + 1);
                EXPECT_EQ(r.out, want) << "len " << len << " chunk " << chunk;
            }
        }
    }
}

TEST(Base64Encode, UpdateKeepsPartialGroupPending)
{
    State st(0);
    View out(ztview_init());
    View in = make_view("abcde");
    ASSERT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), "YWJj");
    EXPECT_EQ(ztview_get_len(st.s->pending), 2u);
    EXPECT_EQ(str(in.get()), "abcde");  // the caller's input is left alone
}

TEST(Base64Decode, Basics)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"QUJD", "ABC"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"Q\r\nU J\tD", "ABC"},
        {" Q Q = = \r\n", "A"},
        {"AP/+", std::string("\0\xff\xfe", 3)},
        {"", ""},
        // Padding in the middle of one call's data: each padded group
        // yields only its own bytes and decoding goes on.
        {"QUI=QUJD", "ABABC"},
        {"QQ==QQ==", "AA"},
        {"QQ=B", std::string("A\0\x01", 3)},
    };
    for (const auto &c : cases) {
        for (size_t chunk : {0, 1, 2, 3, 5}) {
            Outcome r = stream(ZTMIME_B64_DECODE, c.in, chunk, 1);
            EXPECT_EQ(r.out, c.out) << zt_test::escaped(c.in) << " chunk " << chunk;
            EXPECT_EQ(r.results.back(), 0) << zt_test::escaped(c.in);
        }
    }
}

TEST(Base64Decode, GroupSplitAcrossCalls)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init());
    View a = make_view("QU"), b = make_view("JD");
    ASSERT_EQ(ztmime_b64_update(st.s, out.get(), a.get()), 0);
    EXPECT_EQ(ztview_get_len(out.get()), 0u);
    EXPECT_EQ(ztview_get_len(st.s->pending), 2u);
    ASSERT_EQ(ztmime_b64_update(st.s, out.get(), b.get()), 0);
    EXPECT_EQ(str(out.get()), "ABC");
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
}

TEST(Base64Decode, WhitespaceAfterLastGroupStaysPendingUntilFinish)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init());
    View in = make_view("QUJD\r\n");
    ASSERT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(ztview_get_len(st.s->pending), 2u);
    EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), 0);
    EXPECT_EQ(str(out.get()), "ABC");
}

// Every failure row, in order.
TEST(Base64Failures, NullStateOrOutput)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init()), in = make_view("QUJD");
    EXPECT_EQ(ztmime_b64_update(nullptr, out.get(), in.get()), -1);
    EXPECT_EQ(ztmime_b64_update(st.s, nullptr, in.get()), -1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    EXPECT_EQ(ztmime_b64_finish(nullptr, out.get()), -1);
    EXPECT_EQ(ztmime_b64_finish(st.s, nullptr), -1);
    EXPECT_STREQ(st.s->error, "");
}

TEST(Base64Failures, ExtraPadBlocksUntilReset)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init()), in = make_view("QQ==="), more = make_view("QUJD");
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), -2);
    EXPECT_EQ(str(out.get()), "A");
    EXPECT_STREQ(st.s->error, "extra pad characters in b64 input");
    EXPECT_EQ(st.s->pad_errors, 1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    // Blocked: input is not taken.
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), more.get()), -2);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), 0);  // nothing pending
    ASSERT_EQ(ztmime_b64_reset(st.s, ZTMIME_B64_DECODE), st.s);
    EXPECT_EQ(st.s->pad_errors, 0);
    EXPECT_STREQ(st.s->error, "");
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), more.get()), 0);
    EXPECT_EQ(str(out.get()), "AABC");
}

TEST(Base64Failures, ExtraPadDropsOneCharacterPerPad)
{
    // The whitespace before the pad is read but only one character is
    // dropped for the pad, so something stays pending and finish reports
    // the blocked state.
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init()), in = make_view("QUJD\r\n=");
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), -2);
    EXPECT_EQ(str(out.get()), "ABC");
    EXPECT_EQ(str(st.s->pending), "\n=");
    EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), -2);
}

TEST(Base64Failures, InvalidCharacterUndoesTheCall)
{
    for (const std::string &bad : std::vector<std::string>{"QU*D", "QUJDQU\x80" "D", "QUJD-AAA", std::string("QU\0D", 4)}) {
        State st(ZTMIME_B64_DECODE);
        View out(ztview_init()), in = make_view(bad);
        EXPECT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), -1) << zt_test::escaped(bad);
        EXPECT_STREQ(st.s->error, "invalid b64 characters in input");
        EXPECT_EQ(ztview_get_len(out.get()), 0u);
        EXPECT_EQ(str(st.s->pending), bad);
        // Later updates fail the same way.
        EXPECT_EQ(ztmime_b64_update(st.s, out.get(), nullptr), -1);
    }
}

TEST(Base64Failures, InvalidCharacterInIncompleteGroupFailsAtFinish)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init()), in = make_view("QUJDQ*");
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), "ABC");
    EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), -1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
    EXPECT_STREQ(st.s->error, "");  // finish leaves the text alone
}

TEST(Base64Failures, DecodeFinishWithLeftover)
{
    State st(ZTMIME_B64_DECODE);
    View out(ztview_init()), in = make_view("QU");
    EXPECT_EQ(ztmime_b64_update(st.s, out.get(), in.get()), 0);
    EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), -1);
    EXPECT_EQ(ztview_get_len(st.s->pending), 0u);
}

TEST(Base64Failures, WorkBufferAllocationFails)
{
    for (int flags : {0, ZTMIME_B64_DECODE}) {
        State st(flags);
        View out(ztview_init());
        View in = make_view(std::string(600, 'Q'));
        errno = 0;
        zt_alloc_fail_at(1);
        int r = ztmime_b64_update(st.s, out.get(), in.get());
        zt_alloc_fail_at(0);
        // The first allocation of the call is either the copy into pending
        // or the output room; both leave nothing consumed.
        EXPECT_EQ(r, -1);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_STREQ(st.s->error, "Unable allocate memory for b64");
        EXPECT_EQ(ztview_get_len(out.get()), 0u);
        size_t pending = ztview_get_len(st.s->pending);
        EXPECT_TRUE(pending == 0 || pending == 600) << pending;
        if (pending == 600 && flags == 0) {
            // An encoder left with 3 or more bytes refuses to finish.
            EXPECT_EQ(ztmime_b64_finish(st.s, out.get()), -1);
            EXPECT_EQ(ztview_get_len(out.get()), 0u);
            EXPECT_EQ(ztview_get_len(st.s->pending), 600u);
        }
    }
}

TEST(Base64Failures, EveryAllocationFailureOfTheOneShots)
{
    std::mt19937 rng(3);
    std::string data = random_bytes(rng, 5000);
    std::string enc = reference_encode(data, true);
    for (int dir = 0; dir < 2; ++dir) {
        View in = make_fragmented(dir ? enc : data, 700);
        zt_alloc_fail_at(0);
        View ok(dir ? ztmime_b64_decode(in.get()) : ztmime_b64_encode(in.get()));
        long count = zt_alloc_fail_at(0);
        ASSERT_TRUE(ok);
        EXPECT_EQ(str(ok.get()), dir ? data : enc);
        for (long n = 1; n <= count; ++n) {
            zt_alloc_fail_at(n);
            View v(dir ? ztmime_b64_decode(in.get()) : ztmime_b64_encode(in.get()));
            zt_alloc_fail_at(0);
            if (v) {
                EXPECT_EQ(str(v.get()), dir ? data : enc) << "failing allocation " << n;
            }
        }
    }
}

TEST(Base64Lifecycle, ResetPreparesZeroFilledRecordInPlace)
{
    ztmime_b64 rec{};
    ASSERT_EQ(ztmime_b64_reset(&rec, ZTMIME_B64_DECODE), &rec);
    ASSERT_NE(rec.pending, nullptr);
    EXPECT_EQ(rec.mode, 1u);
    EXPECT_STREQ(rec.error, "");
    View out(ztview_init()), in = make_view("QUJD");
    EXPECT_EQ(ztmime_b64_update(&rec, out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), "ABC");
    ASSERT_EQ(ztmime_b64_reset(&rec, ZTMIME_B64_NO_BREAKS), &rec);
    EXPECT_EQ(rec.mode, 0u);
    EXPECT_EQ(rec.line_groups, -1);
    _ztview_destroy(rec.pending, "base64", __LINE__);
}

TEST(Base64Lifecycle, ResetOfNullIsInit)
{
    ztmime_b64 *s = ztmime_b64_reset(nullptr, ZTMIME_B64_DECODE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->mode, 1u);
    ztmime_b64_destroy(s);
    ztmime_b64_destroy(nullptr);
}

TEST(Base64Lifecycle, InitFailures)
{
    zt_alloc_fail_at(0);
    ztmime_b64_destroy(ztmime_b64_init(0));
    long count = zt_alloc_fail_at(0);
    for (long n = 1; n <= count; ++n) {
        errno = 0;
        zt_alloc_fail_at(n);
        ztmime_b64 *s = ztmime_b64_init(0);
        zt_alloc_fail_at(0);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(errno, ENOMEM);
    }
}

TEST(Base64RoundTrip, RandomDataInEveryChunking)
{
    std::mt19937 rng(11);
    for (size_t len : {1, 2, 3, 4, 100, 2000, 70000}) {
        std::string data = random_bytes(rng, len);
        Outcome enc = stream(0, data, 0);
        for (size_t chunk : {0, 1, 2, 3, 4, 5, 6, 7}) {
            if (len > 5000 && chunk > 0 && chunk < 7)
                continue;
            Outcome dec = stream(ZTMIME_B64_DECODE, enc.out, chunk, chunk ? 2 : 0);
            EXPECT_EQ(dec.out, data) << "len " << len << " chunk " << chunk;
            for (int r : dec.results)
                EXPECT_EQ(r, 0);
        }
        View frag = make_fragmented(enc.out, 5);
        View dec(ztmime_b64_decode(frag.get()));
        ASSERT_TRUE(dec);
        EXPECT_EQ(str(dec.get()), data);
    }
}

// Random base64 text with random whitespace, pads and bad bytes, decoded by
// the codec (vector and portable paths, whole and in pieces over small
// segments) and by the model: results, output, pending and pad count agree.
TEST(Base64Model, ArbitraryInputInAnyChunking)
{
    std::mt19937 rng(5);
    const std::string pieces[] = {"QUJD", "AAAA", "////", "+/+/", " ", "\r\n", "\t", "=",
                                  "QQ==", "QUI=", "*", "\x80", "-", "\n", "wxyz", "0123"};
    for (int iter = 0; iter < 600; ++iter) {
        std::string in;
        size_t n = rng() % 60;
        for (size_t i = 0; i < n; ++i) {
            // Mostly clean runs, so the fast paths are exercised.
            if (rng() % 4)
                in += std::string(rng() % 3 ? "QUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJD" : "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")
                          .substr(0, 1 + rng() % 32);
            else
                in += pieces[rng() % 16];
        }
        size_t chunk = rng() % 9;
        size_t piece = 1 + rng() % 5;
        for (bool simd : {true, false}) {
            zt_b64::set_simd(simd);
            DecodeModel m;
            std::string want;
            State st(ZTMIME_B64_DECODE);
            View out(ztview_init());
            size_t step = chunk ? chunk : in.size() + 1;
            for (size_t off = 0; off < in.size(); off += step) {
                std::string part = in.substr(off, step);
                View v = make_fragmented(part, piece);
                int expect = m.update(want, part);
                ASSERT_EQ(ztmime_b64_update(st.s, out.get(), v.get()), expect)
                    << zt_test::escaped(in) << " chunk " << chunk;
                if (expect == -1)
                    break;
                ASSERT_EQ(str(st.s->pending), m.pending);
                ASSERT_EQ(st.s->pad_errors, m.pad_errors);
            }
            EXPECT_EQ(str(out.get()), want) << zt_test::escaped(in);
        }
    }
    zt_b64::set_simd(true);
}

TEST(Base64Model, VectorAndPortablePathsAgreeOnLongLines)
{
    std::mt19937 rng(9);
    std::string data = random_bytes(rng, 200000);
    std::string enc = reference_encode(data, true);
    std::string nobreaks = reference_encode(data, false);
    for (bool simd : {true, false}) {
        zt_b64::set_simd(simd);
        EXPECT_EQ(stream(ZTMIME_B64_DECODE, enc, 65536).out, data);
        EXPECT_EQ(stream(ZTMIME_B64_DECODE, nobreaks, 4093).out, data);
        EXPECT_EQ(stream(0, data, 65536).out, enc);
        EXPECT_EQ(stream(ZTMIME_B64_NO_BREAKS, data, 1000).out, nobreaks);
    }
    zt_b64::set_simd(true);
}

TEST(Base64Corpus, PhotoDecodesToTheJpeg)
{
    bool ok1 = false, ok2 = false;
    std::string b64 = zt_test::read_file(ZT_CORPUS_DIR "/gmime/data/encodings/photo.b64", &ok1);
    std::string jpg = zt_test::read_file(ZT_CORPUS_DIR "/gmime/data/encodings/photo.jpg", &ok2);
    if (!ok1 || !ok2)
        GTEST_SKIP() << "corpus absent";
    for (size_t chunk : {0, 7, 4096}) {
        Outcome r = stream(ZTMIME_B64_DECODE, b64, chunk);
        EXPECT_EQ(r.out, jpg) << "chunk " << chunk;
        EXPECT_EQ(r.results.back(), 0);
    }
    // And back: the data encodes to lines that decode to it again.
    View in = make_view(jpg);
    View enc(ztmime_b64_encode(in.get()));
    ASSERT_TRUE(enc);
    View dec(ztmime_b64_decode(enc.get()));
    ASSERT_TRUE(dec);
    EXPECT_EQ(str(dec.get()), jpg);
}

} // namespace
