// Throughput with 1 and 2 threads, each thread parsing the whole data set
// through handles of its own (the rate shown is the sum over threads):
//
//   events/<set>/threads:N        parser events only; header fields go to
//                                 ztmime_parse_header so multiparts are followed
//   parse_decode/<set>/threads:N  the same, and every base64, quoted-printable
//                                 and uuencode body decoded through an encoder
//
// Sets: mbox_headers (32 MiB of small header-heavy messages) and
// mbox_bodies (64 MiB of messages with base64 attachments), fed in 64 KiB
// pieces, one ztmime_reset per message.  memcpy over the same bytes runs in
// the same program, so that each figure reads as a ratio; the scaling is the
// threads:2 rate over the threads:1 rate of the same run.
#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

using namespace zt_bench::gen;

constexpr size_t kChunk = 64u << 10;

struct DataSet {
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> spans;  // each message, without its "From " line

    explicit DataSet(std::string b) : bytes(std::move(b)), spans(message_ranges(bytes)) {}
};

// One thread's handles.
struct Handles {
    ztmime_ctx *ctx = ztmime_init(0, 0);
    ztmime_encoder *enc = nullptr;
    ztview *out = ztview_init();
    size_t decoded = 0;
    ~Handles()
    {
        ztmime_destroy(ctx);
        ztmime_encoder_destroy(enc);
        ztview_destroy(out);
    }
};

// Handles one event; `decoding` is whether body events go to the encoder.
void on_event(Handles &h, int ev, ztview *view, bool decode, bool &decoding)
{
    auto end_part = [&] {
        if (decoding) {
            ztmime_encoder_finish(h.enc, h.out);
            h.decoded += ztview_get_len(h.out);
            ztview_rewind(h.out);
            decoding = false;
        }
    };
    switch (ev) {
    case ZTMIME_HEADER:
    case ZTMIME_PART_HEADER:
        ztmime_parse_header(h.ctx, view, nullptr);
        break;
    case ZTMIME_HEADERS_DONE:
    case ZTMIME_PART_HEADERS_DONE: {
        end_part();
        int code = h.ctx->part.encoding;
        if (decode && (code == ZTMIME_ENC_BASE64 || code == ZTMIME_ENC_QP || code == ZTMIME_ENC_UUENCODE)) {
            h.enc = ztmime_encoder_reset(h.enc, code, 1);
            decoding = h.enc != nullptr;
        }
        break;
    }
    case ZTMIME_PART_BODY:
        if (decoding) {
            decoding = ztmime_encoder_update(h.enc, h.out, view) == 0;
            h.decoded += ztview_get_len(h.out);
            ztview_rewind(h.out);
        }
        break;
    case ZTMIME_PART_DONE:
    case ZTMIME_MSG_DONE:
        end_part();
        break;
    default:
        break;
    }
}

void parse_message(Handles &h, const char *p, size_t n, bool decode)
{
    bool decoding = false;
    ztmime_reset(h.ctx);
    h.ctx->flags &= ~ZTMIME_FLAG_FINISH;
    for (size_t off = 0;; off += kChunk) {
        if (off < n) {
            ztview *chunk = _ztview_from_buf(p + off, std::min(kChunk, n - off), 0, "host", __LINE__);
            ztmime_update(h.ctx, chunk);
            ztview_destroy(chunk);
        } else {
            ztmime_finish(h.ctx);
        }
        for (;;) {
            ztview *view = nullptr;
            int ev = ztmime_do(h.ctx, &view);
            on_event(h, ev, view, decode, decoding);
            ztview_destroy(view);
            if (ev == ZTMIME_MSG_DONE || ev == ZTMIME_ERROR)
                return;
            if (ev == ZTMIME_NO_DATA)
                break;
        }
    }
}

void run(benchmark::State &state, const DataSet *set, bool decode)
{
    Handles h;
    for (auto _ : state)
        for (auto [b, e] : set->spans)
            parse_message(h, set->bytes.data() + b, e - b, decode);
    benchmark::DoNotOptimize(h.decoded);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(set->bytes.size()));
}

int register_all()
{
    static const DataSet headers(header_mbox(32u << 20));
    static const DataSet bodies(body_mbox(64u << 20));
    for (auto [name, set] : {std::pair{"mbox_headers", &headers}, std::pair{"mbox_bodies", &bodies}}) {
        for (bool decode : {false, true}) {
            std::string label = std::string(decode ? "parse_decode/" : "events/") + name;
            // Wall-clock rates are the figure that counts on a quiet
            // machine; the CPU-time rates (the sum over threads of bytes per
            // CPU second) show the cost of sharing when other work
            // competes for the cores.
            benchmark::RegisterBenchmark(label.c_str(), run, set, decode)
                ->Threads(1)
                ->Threads(2)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark((label + "/cpu").c_str(), run, set, decode)
                ->Threads(1)
                ->Threads(2)
                ->Unit(benchmark::kMillisecond);
        }
        zt_bench::register_memcpy(name, &set->bytes);
    }
    return 0;
}

const int registered = register_all();

} // namespace
