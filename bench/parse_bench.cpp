// Events-only throughput of the parse driver: the host appends 64 KiB
// chunks and drains every event, releasing each view at once.
//
//   parse/base64_64MiB    one message whose body is a 64 MiB base64
//                         attachment in 76-column CRLF lines
//   parse/mbox_headers    generated mbox of many small, header-heavy messages
//   parse/mbox_bodies     generated mbox of messages carrying attachments
//   parse/corpus/NAME     each mbox of the shared corpus, repeated to 32 MiB
//
// mbox input is split at "From " lines; each message gets one ztmime_reset
// and is fed from the line after its "From " envelope line, which is not
// part of the message (fed to the parser, it would end the header block at
// once and turn every field into body).  Throughput counts the bytes fed.
// Data is made on first use, so a filtered run only builds what it needs;
// every data set is followed by a memcpy run over the same bytes.
#include <dirent.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

using namespace zt_bench::gen;

constexpr size_t chunk_size = 64 * 1024;

std::string base64_message(size_t body_bytes)
{
    std::mt19937 rng(1);
    std::string m = "From: a@example.org\r\nTo: b@example.org\r\nSubject: attachment\r\n"
                    "MIME-Version: 1.0\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Transfer-Encoding: base64\r\n\r\n";
    append_base64_lines(m, body_bytes, rng);
    return m;
}

// Appends one span in 64 KiB chunks and drains every event; finishes and
// drains to the end of the message.  Returns the number of events.
size_t parse_span(ztmime_ctx *ctx, const char *p, size_t n)
{
    size_t events = 0;
    ztview *out = nullptr;
    for (size_t off = 0; off < n; off += chunk_size) {
        size_t k = n - off < chunk_size ? n - off : chunk_size;
        ztview *chunk = _ztview_from_buf(p + off, k, 0, "host", __LINE__);
        ztmime_update(ctx, chunk);
        ztview_destroy(chunk);
        int ev;
        while ((ev = ztmime_do(ctx, &out)) > ZTMIME_NO_DATA) {
            ztview_destroy(out);
            ++events;
        }
    }
    ztmime_finish(ctx);
    int ev;
    while ((ev = ztmime_do(ctx, &out)) > ZTMIME_NO_DATA) {
        ztview_destroy(out);
        ++events;
        if (ev == ZTMIME_MSG_DONE)
            break;
    }
    return events;
}

using Span = std::pair<size_t, size_t>;  // offset and length of one message

// The messages of an mbox, each without its "From " envelope line.
std::vector<Span> mbox_spans(const std::string &mbox)
{
    std::vector<Span> spans;
    for (auto [begin, end] : message_ranges(mbox))
        spans.push_back({begin, end - begin});
    return spans;
}

void run_messages(benchmark::State &state, const std::string &data, const std::vector<Span> &spans)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    size_t events = 0, fed = 0;
    for (const Span &s : spans)
        fed += s.second;
    for (auto _ : state) {
        for (const Span &s : spans) {
            ztmime_reset(ctx);
            ctx->flags &= ~ZTMIME_FLAG_FINISH;
            events += parse_span(ctx, data.data() + s.first, s.second);
        }
    }
    ztmime_destroy(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fed));
    state.counters["events/iter"] =
        static_cast<double>(events) / static_cast<double>(state.iterations() ? state.iterations() : 1);
}

struct DataSet {
    std::string name;
    std::string (*make)(const std::string &arg);
    std::string arg;
    bool mbox;
    std::string bytes;
    std::vector<Span> spans;
    bool ready = false;

    void prepare()
    {
        if (ready)
            return;
        bytes = make(arg);
        spans = mbox ? mbox_spans(bytes) : std::vector<Span>{{0, bytes.size()}};
        ready = true;
    }
};

void register_set(DataSet *set)
{
    benchmark::RegisterBenchmark(("parse/" + set->name).c_str(), [set](benchmark::State &state) {
        set->prepare();
        if (set->bytes.empty()) {
            state.SkipWithError("no data");
            return;
        }
        run_messages(state, set->bytes, set->spans);
    })->Unit(benchmark::kMillisecond);
    zt_bench::register_memcpy(set->name, &set->bytes);
}

std::string make_base64(const std::string &) { return base64_message(64u << 20); }
std::string make_header_mbox(const std::string &) { return header_mbox(32u << 20); }
std::string make_body_mbox(const std::string &) { return body_mbox(64u << 20); }
std::string make_corpus(const std::string &path) { return repeat_to(zt_bench::read_file(path), 32u << 20); }

int register_all()
{
    static std::vector<DataSet *> sets;
    sets.push_back(new DataSet{"base64_64MiB", make_base64, "", false, {}, {}});
    sets.push_back(new DataSet{"mbox_headers", make_header_mbox, "", true, {}, {}});
    sets.push_back(new DataSet{"mbox_bodies", make_body_mbox, "", true, {}, {}});
    std::string dir = std::string(ZT_CORPUS_DIR) + "/mbox/";
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.substr(n.size() - 5) == ".mbox")
                sets.push_back(new DataSet{"corpus/" + n, make_corpus, dir + n, true, {}, {}});
        }
        closedir(d);
    }
    for (DataSet *s : sets)
        register_set(s);
    return 0;
}

const int registered = register_all();

} // namespace
