// The encoder object: one record that embeds the state of the selected
// codec (base64, quoted-printable, uuencode or dot-stuffing), so that a host
// decodes or encodes a part body through one set of calls and keeps the
// object, and the codec's pending view, from one part to the next as long
// as the transfer-encoding code stays the same.
#define ZT_MODULE "encode"

#include <cerrno>
#include <cstring>

#include "common/alloc.h"
#include "common/codec.h"
#include "common/module.h"
#include "ztmime.h"

namespace {

// Prepares the embedded state of `code` with the codec's own reset, which
// creates the pending view when the state has none yet.  0, or -1 when the
// code names no codec or the codec's reset failed.
int reset_codec(ztmime_encoder *enc, uint32_t code, unsigned int flags)
{
    switch (code) {
    case ZTMIME_ENC_BASE64:
        return ztmime_b64_reset(&enc->state.b64, static_cast<int>(flags)) ? 0 : -1;
    case ZTMIME_ENC_QP:
        return ztmime_qp_reset(&enc->state.qp, flags) ? 0 : -1;
    case ZTMIME_ENC_UUENCODE:
        return ztmime_uu_reset(&enc->state.uu, flags) ? 0 : -1;
    case ZTMIME_ENC_DOT:
        return ztmime_dot_reset(&enc->state.dot, flags) ? 0 : -1;
    default:
        return -1;
    }
}

// Releases the embedded state's pending view under the module that made it,
// so that per-module accounting balances.
void release_codec(ztmime_encoder *enc)
{
    switch (enc->code) {
    case ZTMIME_ENC_BASE64:
        _ztview_destroy(enc->state.b64.pending, "base64", __LINE__);
        break;
    case ZTMIME_ENC_QP:
        _ztview_destroy(enc->state.qp.pending, "qp", __LINE__);
        break;
    case ZTMIME_ENC_UUENCODE:
        _ztview_destroy(enc->state.uu.pending, "uucode", __LINE__);
        break;
    case ZTMIME_ENC_DOT:
        zt_view_free(enc->state.dot.pending);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" {

ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_init(int code, unsigned int flags) noexcept
{
    // A code that names no codec fails the codec's reset: the object is
    // released and null returned, errno untouched.
    return zt_codec_new<ztmime_encoder>([code, flags](ztmime_encoder *enc) {
        enc->code = static_cast<uint32_t>(code);
        return reset_codec(enc, enc->code, flags) == 0;
    });
}

ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_reset(ztmime_encoder *enc, int code,
                                                   unsigned int flags) noexcept
{
    if (!enc)
        return ztmime_encoder_init(code, flags);
    if (enc->code == static_cast<uint32_t>(code)) {
        if (reset_codec(enc, enc->code, flags) != 0) {
            ztmime_encoder_destroy(enc);
            return nullptr;
        }
        return enc;
    }
    ztmime_encoder_destroy(enc);
    return ztmime_encoder_init(code, flags);
}

ZTMIME_EXPORT int ztmime_encoder_update(ztmime_encoder *enc, ztview *out, const ztview *in) noexcept
{
    if (!enc)
        return -1;
    switch (enc->code) {
    case ZTMIME_ENC_BASE64:
        return ztmime_b64_update(&enc->state.b64, out, in);
    case ZTMIME_ENC_QP:
        return ztmime_qp_update(&enc->state.qp, out, in);
    case ZTMIME_ENC_UUENCODE:
        return ztmime_uu_update(&enc->state.uu, out, in);
    case ZTMIME_ENC_DOT:
        return ztmime_dot_update(&enc->state.dot, out, in);
    default:
        // No codec: the output becomes a copy of the input.  A null output
        // would make a view nobody owns, so it is refused.
        if (!out)
            return -1;
        return zt_view_dup_front(in, out, ztview_get_len(in)) ? 0 : -1;
    }
}

ZTMIME_EXPORT int ztmime_encoder_finish(ztmime_encoder *enc, ztview *out) noexcept
{
    if (!enc)
        return -1;
    switch (enc->code) {
    case ZTMIME_ENC_BASE64:
        return ztmime_b64_finish(&enc->state.b64, out);
    case ZTMIME_ENC_QP:
        return ztmime_qp_finish(&enc->state.qp, out);
    case ZTMIME_ENC_UUENCODE:
        return ztmime_uu_finish(&enc->state.uu, out);
    case ZTMIME_ENC_DOT:
        return ztmime_dot_finish(&enc->state.dot, out);
    default:
        return 0;
    }
}

ZTMIME_EXPORT void ztmime_encoder_destroy(ztmime_encoder *enc) noexcept
{
    if (!enc)
        return;
    release_codec(enc);
    std::memset(enc, 0, sizeof *enc);
    zt_free(enc);
}

ZTMIME_EXPORT const char *ztmime_encoder_get_error(const ztmime_encoder *enc) noexcept
{
    if (!enc)
        return "No encoder provided";
    const char *text = nullptr;
    switch (enc->code) {
    case ZTMIME_ENC_BASE64:
        text = enc->state.b64.error;
        break;
    case ZTMIME_ENC_QP:
        text = enc->state.qp.error;
        break;
    case ZTMIME_ENC_UUENCODE:
        text = enc->state.uu.error;
        break;
    case ZTMIME_ENC_DOT:
        text = enc->state.dot.error;
        break;
    default:
        break;
    }
    return text ? text : "";
}

} // extern "C"
