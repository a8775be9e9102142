// The message reader against the low-level loop it replaces, in one run:
//
//   reader/NAME     the whole mbox fed to a reader (ZTMIME_READER_MBOX) in
//                   64 KiB chunks, every item pulled, all data decoded
//   lowlevel/NAME   the same messages through the parse-and-decode loop of
//                   decode_loop.h (split at "From " lines beforehand)
//   memcpy          the same bytes copied once
//
// Data sets: body-heavy (attachments) and header-heavy generated mboxes.
#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "decode_loop.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

using namespace zt_bench;

struct DataSet {
    std::string name;
    std::string (*make)(size_t);
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> spans;  // each message without its envelope line

    void prepare()
    {
        if (!bytes.empty())
            return;
        bytes = make(64u << 20);
        spans = gen::message_ranges(bytes);
    }
};

void run_reader(benchmark::State &state, DataSet *set, uint32_t flags)
{
    set->prepare();
    ztmime_reader *r = ztmime_reader_new(ZTMIME_READER_MBOX | flags);
    size_t decoded = 0, parts = 0, messages = 0;
    for (auto _ : state) {
        auto drain = [&] {
            const void *p;
            size_t n;
            for (ztmime_item it; (it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE;) {
                decoded += n;
                parts += it == ZTMIME_ITEM_PART;
                messages += it == ZTMIME_ITEM_MESSAGE;
            }
        };
        for_chunks(set->bytes, kChunk, [&](const char *p, size_t n) {
            ztmime_reader_feed(r, p, n);
            drain();
        });
        ztmime_reader_finish(r);
        drain();
        ztmime_reader_reset(r);
    }
    ztmime_reader_destroy(r);
    double iters = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(set->bytes.size()));
    state.counters["decoded_MiB/iter"] = static_cast<double>(decoded) / iters / (1 << 20);
    state.counters["parts/iter"] = static_cast<double>(parts) / iters;
    state.counters["messages/iter"] = static_cast<double>(messages) / iters;
}

void run_lowlevel(benchmark::State &state, DataSet *set)
{
    set->prepare();
    Totals t = parse_and_decode_all(state, set->bytes, set->spans);
    double iters = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["decoded_MiB/iter"] = static_cast<double>(t.decoded) / iters / (1 << 20);
}

int register_all()
{
    static DataSet sets[] = {{"mbox_bodies", gen::body_mbox, {}, {}}, {"mbox_headers", gen::header_mbox, {}, {}}};
    for (DataSet &s : sets) {
        DataSet *p = &s;
        benchmark::RegisterBenchmark(("reader/" + s.name).c_str(), [p](benchmark::State &st) { run_reader(st, p, 0); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("reader_utf8/" + s.name).c_str(),
                                     [p](benchmark::State &st) { run_reader(st, p, ZTMIME_READER_TEXT_UTF8); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("lowlevel/" + s.name).c_str(), [p](benchmark::State &st) { run_lowlevel(st, p); })
            ->Unit(benchmark::kMillisecond);
        register_memcpy("reader/" + s.name, &s.bytes);
    }
    return 0;
}

const int registered = register_all();

} // namespace
