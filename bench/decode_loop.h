// The low-level parse-and-decode loop: one message driven through the
// parser in 64 KiB chunks, every header event given to ztmime_parse_header,
// every body decoded through one encoder object reset with the part's
// encoding code.  Shared by parse_decode, threads_bench and the reader
// benchmark, which compares the reader with it in the same run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "ztmime.h"

namespace zt_bench {

constexpr size_t kChunk = 64u << 10;

struct Totals {
    size_t decoded = 0, parts = 0, failures = 0;
};

// Parses one message and decodes its bodies through `*enc` (with `decode`
// false, only follows the parts: header fields still go to
// ztmime_parse_header).
inline void parse_and_decode(ztmime_ctx *ctx, ztmime_encoder **enc, ztview *decoded, const char *p, size_t n,
                             Totals &t, bool decode = true)
{
    bool decoding = false;
    auto end_part = [&] {
        if (decoding) {
            ztmime_encoder_finish(*enc, decoded);
            t.decoded += ztview_get_len(decoded);
            ztview_rewind(decoded);
            decoding = false;
        }
    };
    ztmime_reset(ctx);
    ctx->flags &= ~ZTMIME_FLAG_FINISH;
    for (size_t off = 0;; off += kChunk) {
        if (off < n) {
            ztview *chunk = _ztview_from_buf(p + off, std::min(kChunk, n - off), 0, "host", __LINE__);
            ztmime_update(ctx, chunk);
            ztview_destroy(chunk);
        } else {
            ztmime_finish(ctx);
        }
        for (;;) {
            ztview *out = nullptr;
            int ev = ztmime_do(ctx, &out);
            switch (ev) {
            case ZTMIME_HEADER:
            case ZTMIME_PART_HEADER:
                ztmime_parse_header(ctx, out, nullptr);
                break;
            case ZTMIME_HEADERS_DONE:
            case ZTMIME_PART_HEADERS_DONE: {
                end_part();
                int code = ctx->part.encoding;
                if (decode && (code == ZTMIME_ENC_BASE64 || code == ZTMIME_ENC_QP || code == ZTMIME_ENC_UUENCODE)) {
                    *enc = ztmime_encoder_reset(*enc, code, 1);
                    decoding = *enc != nullptr;
                    ++t.parts;
                }
                break;
            }
            case ZTMIME_PART_BODY:
                if (decoding) {
                    if (ztmime_encoder_update(*enc, decoded, out) != 0) {
                        ++t.failures;
                        decoding = false;
                    }
                    t.decoded += ztview_get_len(decoded);
                    ztview_rewind(decoded);
                }
                break;
            case ZTMIME_PART_DONE:
            case ZTMIME_MSG_DONE:
                end_part();
                break;
            default:
                break;
            }
            ztview_destroy(out);
            if (ev == ZTMIME_MSG_DONE || ev == ZTMIME_ERROR)
                return;
            if (ev == ZTMIME_NO_DATA)
                break;
        }
    }
}

// The loop over every message of `bytes` ([begin, end) ranges) once per
// benchmark iteration, with handles made once; sets the bytes processed and
// returns the totals.
inline Totals parse_and_decode_all(benchmark::State &state, const std::string &bytes,
                                   const std::vector<std::pair<size_t, size_t>> &ranges)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    ztmime_encoder *enc = nullptr;
    ztview *decoded = ztview_init();
    Totals t;
    for (auto _ : state)
        for (auto [begin, end] : ranges)
            parse_and_decode(ctx, &enc, decoded, bytes.data() + begin, end - begin, t);
    ztview_destroy(decoded);
    ztmime_encoder_destroy(enc);
    ztmime_destroy(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
    return t;
}

} // namespace zt_bench
