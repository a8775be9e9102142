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
#include "decode_loop.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

using namespace zt_bench;
using namespace zt_bench::gen;

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
    Totals totals;
    ~Handles()
    {
        ztmime_destroy(ctx);
        ztmime_encoder_destroy(enc);
        ztview_destroy(out);
    }
};

void run(benchmark::State &state, const DataSet *set, bool decode)
{
    Handles h;
    for (auto _ : state)
        for (auto [b, e] : set->spans)
            parse_and_decode(h.ctx, &h.enc, h.out, set->bytes.data() + b, e - b, h.totals, decode);
    benchmark::DoNotOptimize(h.totals.decoded);
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
