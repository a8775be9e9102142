// Events-only throughput of the parse driver: the host appends 64 KiB
// chunks and drains every event, releasing each view at once.
//
//   parse/base64_64MiB    one message whose body is a 64 MiB base64
//                         attachment in 76-column CRLF lines
//   parse/mbox_headers    generated mbox of many small, header-heavy messages
//   parse/mbox_bodies     generated mbox of messages carrying attachments
//   parse/corpus/NAME     each mbox of the shared corpus, repeated to 32 MiB
//   rss/1GiB              a 1 GiB message fed in 64 KiB chunks; reports the
//                         process's peak RSS (run it alone:
//                         --benchmark_filter=rss)
//
// mbox input is split at "From " lines; each message gets one ztmime_reset.
// Data is made on first use, so a filtered run only builds what it needs;
// every data set is followed by a memcpy run over the same bytes.
#include <dirent.h>
#include <sys/resource.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

constexpr size_t chunk_size = 64 * 1024;

const char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// `bytes` bytes of base64 text of random data in 76-column CRLF lines.
void append_base64_lines(std::string &out, size_t bytes, std::mt19937 &rng)
{
    size_t end = out.size() + bytes;
    while (out.size() + 78 <= end) {
        for (int i = 0; i < 76; ++i)
            out += b64_alphabet[rng() & 63];
        out += "\r\n";
    }
}

std::string base64_message(size_t body_bytes)
{
    std::mt19937 rng(1);
    std::string m = "From: a@example.org\r\nTo: b@example.org\r\nSubject: attachment\r\n"
                    "MIME-Version: 1.0\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Transfer-Encoding: base64\r\n\r\n";
    append_base64_lines(m, body_bytes, rng);
    return m;
}

void append_headers(std::string &m, int n, std::mt19937 &rng)
{
    m += "From sender" + std::to_string(n) + "@example.org Mon Jan  1 00:00:00 2024\n";
    for (int r = 0; r < 4; ++r)
        m += "Received: from relay" + std::to_string(r) + ".example.net (relay" +
             std::to_string(r) + ".example.net [192.0.2." + std::to_string(rng() % 250) +
             "])\n\tby mx.example.org with ESMTPS id " + std::to_string(rng()) +
             "\n\tfor <user@example.org>; Mon, 1 Jan 2024 00:00:00 +0000\n";
    m += "Message-ID: <" + std::to_string(rng()) + "@example.org>\n"
         "Date: Mon, 1 Jan 2024 00:00:00 +0000\nFrom: Sender <sender@example.org>\n"
         "To: User <user@example.org>\nSubject: message number " + std::to_string(n) + "\n"
         "MIME-Version: 1.0\nX-Mailer: bench\nX-Spam-Score: 0.1\n";
}

// Many small messages: mostly header fields, a few short body lines.
std::string header_mbox(size_t bytes)
{
    std::mt19937 rng(2);
    std::string m;
    for (int n = 0; m.size() < bytes; ++n) {
        append_headers(m, n, rng);
        m += "Content-Type: text/plain; charset=utf-8\n\nHello,\n\nthis is a short note.\n"
             "See you soon.\n\n";
    }
    return m;
}

// Messages that carry attachments: mostly body bytes.
std::string body_mbox(size_t bytes)
{
    std::mt19937 rng(3);
    std::string m;
    for (int n = 0; m.size() < bytes; ++n) {
        append_headers(m, n, rng);
        m += "Content-Type: multipart/mixed; boundary=\"=_b\"\n\n--=_b\nContent-Type: text/plain\n\n"
             "Attached.\n\n--=_b\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n";
        size_t before = m.size();
        append_base64_lines(m, 200 * 1024 + rng() % (400 * 1024), rng);
        // mbox files use LF line ends
        std::string body = m.substr(before);
        m.resize(before);
        for (char c : body)
            if (c != '\r')
                m += c;
        m += "--=_b--\n\n";
    }
    return m;
}

std::string repeat_to(const std::string &s, size_t bytes)
{
    std::string out;
    if (s.empty())
        return out;
    while (out.size() < bytes)
        out += s;
    return out;
}

// Offsets of the messages of an mbox (each starts at a "From " line).
std::vector<size_t> mbox_starts(const std::string &mbox)
{
    std::vector<size_t> starts{0};
    for (size_t at = mbox.find("\nFrom "); at != std::string::npos; at = mbox.find("\nFrom ", at + 1))
        starts.push_back(at + 1);
    starts.push_back(mbox.size());
    return starts;
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

void run_messages(benchmark::State &state, const std::string &data, const std::vector<size_t> &starts)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    size_t events = 0;
    for (auto _ : state) {
        for (size_t i = 0; i + 1 < starts.size(); ++i) {
            ztmime_reset(ctx);
            ctx->flags &= ~ZTMIME_FLAG_FINISH;
            events += parse_span(ctx, data.data() + starts[i], starts[i + 1] - starts[i]);
        }
    }
    ztmime_destroy(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
    state.counters["events/iter"] =
        static_cast<double>(events) / static_cast<double>(state.iterations() ? state.iterations() : 1);
}

struct DataSet {
    std::string name;
    std::string (*make)(const std::string &arg);
    std::string arg;
    bool mbox;
    std::string bytes;
    std::vector<size_t> starts;
    bool ready = false;

    void prepare()
    {
        if (ready)
            return;
        bytes = make(arg);
        starts = mbox ? mbox_starts(bytes) : std::vector<size_t>{0, bytes.size()};
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
        run_messages(state, set->bytes, set->starts);
    })->Unit(benchmark::kMillisecond);
    zt_bench::register_memcpy(set->name, &set->bytes);
}

// A 1 GiB message made chunk by chunk (never held whole), to show that the
// parser's memory stays bounded by a line plus a chunk.
void rss_1gib(benchmark::State &state)
{
    std::mt19937 rng(4);
    std::string chunk;
    append_base64_lines(chunk, chunk_size, rng);
    std::string head = base64_message(0);
    const size_t total = size_t{1} << 30;
    for (auto _ : state) {
        ztmime_ctx *ctx = ztmime_init(0, 0);
        ztview *out = nullptr;
        ztview *h = ztview_from_buf(head.data(), head.size());
        ztmime_update(ctx, h);
        ztview_destroy(h);
        for (size_t fed = head.size(); fed < total; fed += chunk.size()) {
            ztview *v = _ztview_from_buf(chunk.data(), chunk.size(), 0, "host", __LINE__);
            ztmime_update(ctx, v);
            ztview_destroy(v);
            while (ztmime_do(ctx, &out) > ZTMIME_NO_DATA)
                ztview_destroy(out);
        }
        ztmime_finish(ctx);
        int ev;
        while ((ev = ztmime_do(ctx, &out)) > ZTMIME_NO_DATA) {
            ztview_destroy(out);
            if (ev == ZTMIME_MSG_DONE)
                break;
        }
        ztmime_destroy(ctx);
    }
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    state.counters["peak_rss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(total));
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
    benchmark::RegisterBenchmark("rss/1GiB", rss_1gib)->Iterations(1)->Unit(benchmark::kMillisecond);
    return 0;
}

const int registered = register_all();

} // namespace
