// The encoder object: every codec behind one set of calls, reset with the
// same and with another code, error texts, blocking and recovery.
#include <gtest/gtest.h>

#include <cerrno>

#include "common/alloc.h"
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

TEST(Encoder, InitAllocationFailuresLeaveNothingBehind)
{
    for (int code : {ZTMIME_ENC_BASE64, ZTMIME_ENC_QP, ZTMIME_ENC_UUENCODE, ZTMIME_ENC_DOT}) {
        for (long nth = 1;; ++nth) {
            zt_alloc_fail_at(nth);
            Encoder enc(ztmime_encoder_init(code, 0), ztmime_encoder_destroy);
            if (zt_alloc_fail_at(0) < nth)
                break;
            EXPECT_EQ(enc, nullptr) << code << " allocation " << nth;
            EXPECT_EQ(errno, ENOMEM);
        }
    }
}

// With input already pending, every allocation of the next update fails in
// turn: the call returns -1 with ENOMEM and keeps nothing (pending and
// output as before), so repeating it gives what one call without the
// failure gives.
TEST(Encoder, AFailedUpdateAfterPendingInputKeepsNothing)
{
    const std::string big(5000, 'Q');
    const struct { int code, flags; std::string first, second; } rows[] = {
        {ZTMIME_ENC_BASE64, 1, "QU", "JDQUJD\r\n" + big},
        {ZTMIME_ENC_BASE64, 0, "AB", "C" + big},
        {ZTMIME_ENC_BASE64, 1, "QQ", "=="},
        {ZTMIME_ENC_QP, ZTMIME_QP_DECODE, "a=4", "1=\r\nb" + big},
        {ZTMIME_ENC_QP, 0, "a", "b\r\n" + big},
        {ZTMIME_ENC_UUENCODE, 1, "#0V", "%T\r\n" + big},
        {ZTMIME_ENC_UUENCODE, 0, "Cat", big},
    };
    for (const auto &r : rows) {
        auto start = [&](View &out) {
            Encoder enc(ztmime_encoder_init(r.code, r.flags), ztmime_encoder_destroy);
            View in = make_view(r.first);
            EXPECT_EQ(ztmime_encoder_update(enc.get(), out.get(), in.get()), 0);
            return enc;
        };
        View want_out(ztview_init()), second = make_fragmented(r.second, 1000);
        Encoder ref = start(want_out);
        const int want = ztmime_encoder_update(ref.get(), want_out.get(), second.get());
        const std::string want_pending = str(pending_of(ref.get()));
        for (long nth = 1;; ++nth) {
            View out(ztview_init());
            Encoder enc = start(out);
            const std::string out_before = str(out.get()), pending_before = str(pending_of(enc.get()));
            errno = 0;
            zt_alloc_fail_at(nth);
            int rc = ztmime_encoder_update(enc.get(), out.get(), second.get());
            bool failed = zt_alloc_fail_at(0) >= nth;
            if (failed) {
                ASSERT_EQ(rc, -1) << r.code << "/" << r.flags << " allocation " << nth;
                EXPECT_EQ(errno, ENOMEM);
                EXPECT_EQ(str(pending_of(enc.get())), pending_before);
                EXPECT_EQ(str(out.get()), out_before);
                rc = ztmime_encoder_update(enc.get(), out.get(), second.get());
            }
            EXPECT_EQ(rc, want) << r.code << "/" << r.flags << " allocation " << nth;
            EXPECT_EQ(str(out.get()), str(want_out.get())) << r.code << "/" << r.flags << " allocation " << nth;
            EXPECT_EQ(str(pending_of(enc.get())), want_pending);
            if (!failed)
                break;
        }
    }
}
