// The encoder object: every codec behind one set of calls, reset with the
// same and with another code, error texts, blocking and recovery.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "common/alloc.h"
#include "zt_test.h"

using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

struct EncoderDeleter {
    void operator()(ztmime_encoder *e) const { ztmime_encoder_destroy(e); }
};
using Encoder = std::unique_ptr<ztmime_encoder, EncoderDeleter>;

struct Outcome {
    int update_rc, finish_rc;
    std::string out;
};

Outcome run(ztmime_encoder *enc, const std::string &in)
{
    View out(ztview_init()), v = zt_test::make_fragmented(in, 3);
    Outcome r;
    r.update_rc = ztmime_encoder_update(enc, out.get(), v.get());
    r.finish_rc = ztmime_encoder_finish(enc, out.get());
    r.out = str(out.get());
    return r;
}

ztview *pending_of(const ztmime_encoder *enc)
{
    switch (enc->code) {
    case ZTMIME_ENC_BASE64:
        return enc->state.b64.pending;
    case ZTMIME_ENC_QP:
        return enc->state.qp.pending;
    case ZTMIME_ENC_UUENCODE:
        return enc->state.uu.pending;
    default:
        return enc->state.dot.pending;
    }
}

const int kCodes[] = {ZTMIME_ENC_BASE64, ZTMIME_ENC_QP, ZTMIME_ENC_UUENCODE, ZTMIME_ENC_DOT};

} // namespace

// ---------------------------------------------------------------------------
// Every code gives what its codec gives.

struct CodecCase {
    int code;
    unsigned flags;
    std::string in, out;
};

void PrintTo(const CodecCase &c, std::ostream *os)
{
    *os << "code " << c.code << " flags " << c.flags << " " << zt_test::escaped(c.in);
}

class EncoderCodecs : public testing::TestWithParam<CodecCase> {};

TEST_P(EncoderCodecs, ForwardsToTheCodec)
{
    const CodecCase &c = GetParam();
    Encoder enc(ztmime_encoder_init(c.code, c.flags));
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->code, uint32_t(c.code));
    Outcome r = run(enc.get(), c.in);
    EXPECT_EQ(r.update_rc, 0);
    EXPECT_EQ(r.finish_rc, 0);
    EXPECT_EQ(zt_test::escaped(r.out), zt_test::escaped(c.out));
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "");
}

INSTANTIATE_TEST_SUITE_P(Table, EncoderCodecs,
                         testing::Values(CodecCase{ZTMIME_ENC_BASE64, 0, "ABC", "QUJD\r\n"},
                                         CodecCase{ZTMIME_ENC_BASE64, 1, "QU\r\nJD\r\n", "ABC"},
                                         CodecCase{ZTMIME_ENC_QP, 0, "a=b", "a=3Db\r\n"},
                                         CodecCase{ZTMIME_ENC_QP, 1, "=41=62", "Ab"},
                                         CodecCase{ZTMIME_ENC_UUENCODE, 0, "Cat", "#0V%T\r\n`\r\n"},
                                         CodecCase{ZTMIME_ENC_UUENCODE, 1, "#0V%T\r\n`\r\n", "Cat"},
                                         CodecCase{ZTMIME_ENC_DOT, 0, ".a\nb\n", "..a\nb\n"},
                                         CodecCase{ZTMIME_ENC_DOT, 1, "..a\n.b\n", ".a\nb\n"}));

TEST(Encoder, CodesThatNameNoCodecMakeNoEncoder)
{
    for (int code : {0, 1, 2, 4, 128, 3, 24, -8, 256}) {
        errno = 0;
        EXPECT_EQ(ztmime_encoder_init(code, 0), nullptr) << code;
        EXPECT_EQ(errno, 0);
    }
}

TEST(Encoder, NullEncoder)
{
    View out(ztview_init());
    EXPECT_STREQ(ztmime_encoder_get_error(nullptr), "No encoder provided");
    EXPECT_EQ(ztmime_encoder_update(nullptr, out.get(), nullptr), -1);
    EXPECT_EQ(ztmime_encoder_finish(nullptr, out.get()), -1);
    ztmime_encoder_destroy(nullptr);
    Encoder made(ztmime_encoder_reset(nullptr, ZTMIME_ENC_UUENCODE, 1));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->code, uint32_t(ZTMIME_ENC_UUENCODE));
    EXPECT_EQ(made->state.uu.mode, 1u);
}

// ---------------------------------------------------------------------------
// Reset

TEST(EncoderReset, SameCodeKeepsObjectAndViewAndDropsPendingInput)
{
    for (int code : kCodes) {
        Encoder enc(ztmime_encoder_init(code, 0));
        ASSERT_TRUE(enc);
        ztview *pending = pending_of(enc.get());
        View out(ztview_init()), in = make_view("x");
        ASSERT_EQ(ztmime_encoder_update(enc.get(), out.get(), in.get()), 0);
        ztmime_encoder *again = ztmime_encoder_reset(enc.get(), code, 1);
        ASSERT_EQ(again, enc.get()) << code;
        EXPECT_EQ(pending_of(enc.get()), pending);
        EXPECT_EQ(ztview_get_len(pending), 0u);
        View out2(ztview_init());
        ASSERT_EQ(ztmime_encoder_finish(enc.get(), out2.get()), 0) << code;
        EXPECT_EQ(str(out2.get()), "") << code; // nothing of the old stream survives
    }
}

TEST(EncoderReset, AnotherCodeReplacesTheObject)
{
    ztmime_encoder *enc = ztmime_encoder_init(ZTMIME_ENC_DOT, 0);
    ASSERT_TRUE(enc);
    for (int code : {ZTMIME_ENC_UUENCODE, ZTMIME_ENC_BASE64, ZTMIME_ENC_QP, ZTMIME_ENC_DOT}) {
        enc = ztmime_encoder_reset(enc, code, 0);
        ASSERT_TRUE(enc);
        EXPECT_EQ(enc->code, uint32_t(code));
    }
    Encoder keep(enc);
    EXPECT_EQ(run(keep.get(), ".x").out, "..x");
    // A code that names no codec releases the old object and gives null.
    EXPECT_EQ(ztmime_encoder_reset(keep.release(), ZTMIME_ENC_7BIT, 0), nullptr);
}

// ---------------------------------------------------------------------------
// Failures and error texts

TEST(EncoderErrors, Base64TextsAndRecoveryByReset)
{
    Encoder enc(ztmime_encoder_init(ZTMIME_ENC_BASE64, 1));
    ASSERT_TRUE(enc);
    EXPECT_EQ(run(enc.get(), "QU*D").update_rc, -1);
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "invalid b64 characters in input");
    ASSERT_EQ(ztmime_encoder_reset(enc.get(), ZTMIME_ENC_BASE64, 1), enc.get());
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "");

    // Extra pad characters block the encoder until a reset.
    View out(ztview_init()), bad = make_view("QQ==="), good = make_view("QUJD");
    EXPECT_EQ(ztmime_encoder_update(enc.get(), out.get(), bad.get()), -2);
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "extra pad characters in b64 input");
    EXPECT_EQ(ztmime_encoder_update(enc.get(), out.get(), good.get()), -2);
    ASSERT_EQ(ztmime_encoder_reset(enc.get(), ZTMIME_ENC_BASE64, 1), enc.get());
    Outcome r = run(enc.get(), "QUJD");
    EXPECT_EQ(r.update_rc, 0);
    EXPECT_EQ(r.out, "ABC");
}

TEST(EncoderErrors, OtherCodecsReportEmptyTextAlsoAfterAFailure)
{
    Encoder qp(ztmime_encoder_init(ZTMIME_ENC_QP, ZTMIME_QP_DECODE | ZTMIME_QP_STRICT));
    ASSERT_TRUE(qp);
    EXPECT_EQ(run(qp.get(), "=G1").update_rc, -1);
    EXPECT_STREQ(ztmime_encoder_get_error(qp.get()), "");

    Encoder uu(ztmime_encoder_init(ZTMIME_ENC_UUENCODE, 1));
    ASSERT_TRUE(uu);
    EXPECT_EQ(run(uu.get(), "N0V%T\r\n").update_rc, -1);
    EXPECT_STREQ(ztmime_encoder_get_error(uu.get()), "");
    ASSERT_EQ(ztmime_encoder_reset(uu.get(), ZTMIME_ENC_UUENCODE, 1), uu.get());
    EXPECT_EQ(run(uu.get(), "#0V%T\r\n").out, "Cat");

    Encoder dot(ztmime_encoder_init(ZTMIME_ENC_DOT, 0));
    ASSERT_TRUE(dot);
    EXPECT_EQ(ztmime_encoder_update(dot.get(), nullptr, nullptr), -1);
    EXPECT_STREQ(ztmime_encoder_get_error(dot.get()), "");
}

TEST(EncoderErrors, InitAllocationFailuresLeaveNothingBehind)
{
    for (int code : kCodes) {
        for (long nth = 1;; ++nth) {
            zt_alloc_fail_at(nth);
            ztmime_encoder *enc = ztmime_encoder_init(code, 0);
            bool failed = zt_alloc_fail_at(0) >= nth;
            if (!failed) {
                EXPECT_TRUE(enc);
                ztmime_encoder_destroy(enc);
                break;
            }
            EXPECT_EQ(enc, nullptr) << code << " allocation " << nth;
            EXPECT_EQ(errno, ENOMEM);
        }
    }
}
