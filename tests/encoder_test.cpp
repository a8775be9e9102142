// The encoder object: every codec behind one set of calls, reset with the
// same and with another code, error texts, blocking and recovery.
#include <gtest/gtest.h>

#include <cerrno>

#include "zt_test.h"

using namespace zt_test;

using Encoder = std::unique_ptr<ztmime_encoder, decltype(&ztmime_encoder_destroy)>;

// Update with `in` (in 3-byte segments) and finish: "rc rc|output".
static std::string run(ztmime_encoder *enc, const std::string &in)
{
    View out(ztview_init()), v = make_fragmented(in, 3);
    std::string rc = std::to_string(ztmime_encoder_update(enc, out.get(), v.get()));
    rc += " " + std::to_string(ztmime_encoder_finish(enc, out.get()));
    return rc + "|" + str(out.get());
}

static ztview *pending_of(const ztmime_encoder *enc)
{
    return enc->code == ZTMIME_ENC_BASE64 ? enc->state.b64.pending
           : enc->code == ZTMIME_ENC_QP   ? enc->state.qp.pending
           : enc->code == ZTMIME_ENC_UUENCODE ? enc->state.uu.pending
                                          : enc->state.dot.pending;
}

// Each code gives what its codec gives; a reset with another code and
// direction replaces the codec; a reset with the same code keeps the object
// and its pending view and drops the pending input.
TEST(Encoder, ForwardsToTheCodecAcrossResets)
{
    const struct { int code; std::string enc_in, enc_out, dec_in, dec_out; } cases[] = {
        {ZTMIME_ENC_BASE64, "ABC", "QUJD\r\n", "QU\r\nJD\r\n", "ABC"},
        {ZTMIME_ENC_QP, "a=b", "a=3Db\r\n", "=41=62", "Ab"},
        {ZTMIME_ENC_UUENCODE, "Cat", "#0V%T\r\n`\r\n", "#0V%T\r\n`\r\n", "Cat"},
        {ZTMIME_ENC_DOT, ".a\nb\n", "..a\nb\n", "..a\n.b\n", ".a\nb\n"},
    };
    Encoder enc(ztmime_encoder_init(ZTMIME_ENC_DOT, 1), ztmime_encoder_destroy);
    for (const auto &c : cases) {
        enc.reset(ztmime_encoder_reset(enc.release(), c.code, 0));
        EXPECT_EQ(escaped(run(enc.get(), c.enc_in)), escaped("0 0|" + c.enc_out));
        ztview *pending = pending_of(enc.get());
        View out(ztview_init()), in = make_view("x");
        ASSERT_EQ(ztmime_encoder_update(enc.get(), out.get(), in.get()), 0);
        ASSERT_EQ(ztmime_encoder_reset(enc.get(), c.code, 1), enc.get());
        EXPECT_EQ(pending_of(enc.get()), pending);
        EXPECT_EQ(escaped(run(enc.get(), c.dec_in)), escaped("0 0|" + c.dec_out));
        EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "");
    }
    // A code that names no codec releases the old object and gives null.
    EXPECT_EQ(ztmime_encoder_reset(enc.release(), ZTMIME_ENC_7BIT, 0), nullptr);
}

TEST(Encoder, NullEncoderAndCodesThatNameNoCodec)
{
    for (int code : {0, 1, 2, 4, 128, 3, 24, -8, 256}) {
        errno = 0;
        EXPECT_TRUE(!ztmime_encoder_init(code, 0) && errno == 0) << code;
    }
    EXPECT_STREQ(ztmime_encoder_get_error(nullptr), "No encoder provided");
    View out(ztview_init());
    EXPECT_EQ(ztmime_encoder_update(nullptr, out.get(), nullptr) + ztmime_encoder_finish(nullptr, out.get()), -2);
    Encoder made(ztmime_encoder_reset(nullptr, ZTMIME_ENC_UUENCODE, 1), ztmime_encoder_destroy);
    EXPECT_TRUE(made && made->code == uint32_t(ZTMIME_ENC_UUENCODE) && made->state.uu.mode == 1u);
}

TEST(Encoder, Base64TextsBlockingAndRecoveryByReset)
{
    Encoder enc(ztmime_encoder_init(ZTMIME_ENC_BASE64, 1), ztmime_encoder_destroy);
    EXPECT_EQ(run(enc.get(), "QU*D").substr(0, 2), "-1");
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "invalid b64 characters in input");
    ASSERT_EQ(ztmime_encoder_reset(enc.get(), ZTMIME_ENC_BASE64, 1), enc.get());
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "");
    // Extra pad characters block the encoder until a reset.
    View out(ztview_init()), bad = make_view("QQ==="), good = make_view("QUJD");
    EXPECT_EQ(ztmime_encoder_update(enc.get(), out.get(), bad.get()), -2);
    EXPECT_STREQ(ztmime_encoder_get_error(enc.get()), "extra pad characters in b64 input");
    EXPECT_EQ(ztmime_encoder_update(enc.get(), out.get(), good.get()), -2);
    ASSERT_EQ(ztmime_encoder_reset(enc.get(), ZTMIME_ENC_BASE64, 1), enc.get());
    EXPECT_EQ(run(enc.get(), "QUJD"), "0 0|ABC");
}

TEST(Encoder, OtherCodecsReportAnEmptyTextAfterAFailure)
{
    Encoder qp(ztmime_encoder_init(ZTMIME_ENC_QP, ZTMIME_QP_DECODE | ZTMIME_QP_STRICT), ztmime_encoder_destroy);
    Encoder uu(ztmime_encoder_init(ZTMIME_ENC_UUENCODE, 1), ztmime_encoder_destroy);
    EXPECT_EQ(run(qp.get(), "=G1").substr(0, 2) + run(uu.get(), "N0V%T\r\n").substr(0, 2), "-1-1");
    EXPECT_EQ(std::string(ztmime_encoder_get_error(qp.get())) + ztmime_encoder_get_error(uu.get()), "");
    ASSERT_EQ(ztmime_encoder_reset(uu.get(), ZTMIME_ENC_UUENCODE, 1), uu.get());
    EXPECT_EQ(run(uu.get(), "#0V%T\r\n"), "0 0|Cat");
}
