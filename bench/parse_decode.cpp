// Parse and decode: every message of an mbox is driven through the parser
// in 64 KiB chunks, every header event goes to ztmime_parse_header (so that
// each part gets its recorded transfer encoding), and every body is decoded
// through one encoder object, reset with the part's encoding code at each
// end-of-headers event.  Bodies in 7bit, 8bit, binary, an unknown or no
// encoding are not decoded.
//
//   parse_decode/mbox_attachments  generated mbox, mostly base64 attachment
//                                  bodies with quoted-printable text parts
//   parse_decode/corpus            the corpus mboxes, repeated to 32 MiB
//
// mbox input is split at "From " lines (the envelope line is not fed);
// each message gets one ztmime_reset.
// Each data set is followed by a memcpy run over the same bytes.
#include <dirent.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "decode_loop.h"
#include "mbox_gen.h"
#include "ztmime.h"

namespace {

using namespace zt_bench;
using namespace zt_bench::gen;

// A quoted-printable text part of about `bytes` bytes: prose with encoded
// accents and soft line breaks, LF line ends as in an mbox.
void append_qp_text(std::string &m, size_t bytes, std::mt19937 &rng)
{
    static const char *words[] = {"the", "report", "r=C3=A9sum=C3=A9", "is", "attached,", "see", "caf=C3=A9",
                                  "figures", "for", "2024", "na=C3=AFve", "and", "regards", "=E2=80=94"};
    size_t end = m.size() + bytes, col = 0;
    while (m.size() < end) {
        const char *w = words[rng() % std::size(words)];
        m += w;
        m += ' ';
        col += std::char_traits<char>::length(w) + 1;
        if (col > 68) {
            m += rng() % 3 ? "=\n" : "\n";
            col = 0;
        }
    }
    m += "\n";
}

// Body-heavy mbox: per message a quoted-printable note and one or two
// base64 attachments of 100-400 KiB.
std::string attachment_mbox(size_t bytes)
{
    std::mt19937 rng(5);
    std::string m;
    for (int n = 0; m.size() < bytes; ++n) {
        append_headers(m, n, rng);
        m += "Content-Type: multipart/mixed; boundary=\"=_b\"\n\n--=_b\n"
             "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n";
        append_qp_text(m, 2048 + rng() % 8192, rng);
        for (int a = 1 + n % 2; a > 0; --a) {
            m += "--=_b\nContent-Type: application/pdf; name=\"r.pdf\"\nContent-Transfer-Encoding: base64\n\n";
            std::string body;
            append_base64_lines(body, 100 * 1024 + rng() % (300 * 1024), rng);
            body.erase(std::remove(body.begin(), body.end(), '\r'), body.end());
            m += body;
        }
        m += "--=_b--\n\n";
    }
    return m;
}

std::string corpus_mbox(size_t bytes)
{
    std::string dir = std::string(ZT_CORPUS_DIR) + "/mbox/";
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 5 && n.compare(n.size() - 5, 5, ".mbox") == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &n : names)
        all += zt_bench::read_file(dir + n);
    return repeat_to(all, bytes);
}

struct DataSet {
    std::string name;
    std::string (*make)(size_t);
    size_t size;
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> spans; // [begin, end) of each message

    void prepare()
    {
        if (!spans.empty())
            return;
        bytes = make(size);
        spans = message_ranges(bytes);
    }
};

void run(benchmark::State &state, DataSet *set)
{
    set->prepare();
    if (set->bytes.empty()) {
        state.SkipWithError("no data");
        return;
    }
    Totals t = parse_and_decode_all(state, set->bytes, set->spans);
    double iters = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["decoded_MiB/iter"] = static_cast<double>(t.decoded) / iters / (1 << 20);
    state.counters["parts/iter"] = static_cast<double>(t.parts) / iters;
    state.counters["failures/iter"] = static_cast<double>(t.failures) / iters;
}

int register_all()
{
    static DataSet sets[] = {{"mbox_attachments", attachment_mbox, 64u << 20, {}, {}},
                             {"corpus", corpus_mbox, 32u << 20, {}, {}}};
    for (DataSet &s : sets) {
        DataSet *p = &s;
        benchmark::RegisterBenchmark(("parse_decode/" + s.name).c_str(), [p](benchmark::State &st) { run(st, p); })
            ->Unit(benchmark::kMillisecond);
        zt_bench::register_memcpy("parse_decode/" + s.name, &s.bytes);
    }
    return 0;
}

const int registered = register_all();

} // namespace
