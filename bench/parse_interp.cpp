// Parser with header interpretation: every message of an mbox is driven
// through the parser in 64 KiB chunks and every header event goes to
// ztmime_parse_header (without and with the normalised copy).  Inputs: the
// corpus mbox repeated to at least 32 MiB, a generated header-heavy mbox and
// a generated body-heavy mbox.  memcpy over the same bytes runs alongside.
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

constexpr size_t kMin = 32u << 20;
constexpr size_t kChunk = 64u << 10;

// Messages of an mbox: split before every line that starts with "From ".
std::vector<std::string> split_mbox(const std::string &mbox)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t pos = 0; pos < mbox.size();) {
        size_t nl = mbox.find('\n', pos);
        size_t next = nl == std::string::npos ? mbox.size() : nl + 1;
        if (next < mbox.size() && !mbox.compare(next, 5, "From ")) {
            out.push_back(mbox.substr(start, next - start));
            start = next;
        }
        pos = next;
    }
    if (start < mbox.size())
        out.push_back(mbox.substr(start));
    // The envelope line is not part of the message.
    for (std::string &m : out)
        if (!m.compare(0, 5, "From "))
            m.erase(0, m.find('\n') + 1);
    return out;
}

std::vector<std::string> repeat_to(const std::vector<std::string> &msgs, size_t min, size_t *total)
{
    std::vector<std::string> out;
    *total = 0;
    while (*total < min && !msgs.empty()) {
        for (const std::string &m : msgs) {
            out.push_back(m);
            *total += m.size();
        }
    }
    return out;
}

std::string generated(bool header_heavy, size_t n)
{
    static const char *names[] = {"Received", "X-Spam-Status", "DKIM-Signature", "Message-ID", "References",
                                  "X-Mailer", "Subject", "List-Unsubscribe", "ARC-Seal", "X-Original-To"};
    std::mt19937 rng(3);
    std::string s;
    int msg = 0;
    while (s.size() < n) {
        s += "From sender@example.org Mon Jan  1 00:00:00 2024\n";
        s += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(msg) + "\"\r\n";
        s += "Subject: =?utf-8?q?R=C3=A9union?= " + std::to_string(msg) + "\r\n";
        int headers = header_heavy ? 40 : 4;
        for (int h = 0; h < headers; ++h) {
            s += names[rng() % 10];
            s += ": from mx" + std::to_string(rng() % 100) + ".example.org by relay.example.net with ESMTPS id " +
                 std::to_string(rng()) + ";\r\n\tMon, 1 Jan 2024 00:00:00 +0000\r\n";
        }
        s += "\r\n--b" + std::to_string(msg) + "\r\n";
        s += "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
        size_t body = header_heavy ? 200 : 60000;
        for (size_t k = 0; k < body; k += 72)
            s += "the body of a mail is often plain text with lines and words of data ok\r\n";
        s += "--b" + std::to_string(msg) + "\r\n";
        s += "Content-Type: application/pdf; name=\"a.pdf\"\r\nContent-Disposition: attachment; "
             "filename*=utf-8''r%C3%A9sum%C3%A9.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        for (size_t k = 0; k < body / 2; k += 78)
            s += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAxMjM0\r\n";
        s += "--b" + std::to_string(msg) + "--\r\n";
        ++msg;
    }
    return s;
}

struct Input {
    std::string name;
    std::vector<std::string> messages;
    std::string bytes;  // all of them, for memcpy
};

// 0: parser only; 1: ztmime_parse_header on every header event; 2: the
// same with the normalised copy.
void run(benchmark::State &state, const Input *in, int mode)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    ztview *norm = ztview_init();
    size_t headers = 0;
    for (auto _ : state) {
        for (const std::string &m : in->messages) {
            ztmime_reset(ctx);
            ctx->flags &= ~ZTMIME_FLAG_FINISH;
            bool done = false;
            for (size_t off = 0; off <= m.size() && !done; off += kChunk) {
                if (off < m.size()) {
                    ztview *c = ztview_from_buf(m.data() + off, std::min(kChunk, m.size() - off));
                    ztmime_update(ctx, c);
                    ztview_destroy(c);
                } else {
                    ztmime_finish(ctx);
                }
                for (;;) {
                    ztview *out = nullptr;
                    ztmime_type t = ztmime_do(ctx, &out);
                    if ((t == ZTMIME_HEADER || t == ZTMIME_PART_HEADER) && mode) {
                        ztmime_parse_header(ctx, out, mode == 2 ? norm : nullptr);
                        ++headers;
                    }
                    ztview_destroy(out);
                    if (t == ZTMIME_MSG_DONE || t == ZTMIME_ERROR)
                        done = true;
                    if (t == ZTMIME_NO_DATA || done)
                        break;
                }
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in->bytes.size()));
    if (mode)
        state.counters["headers/s"] = benchmark::Counter(static_cast<double>(headers), benchmark::Counter::kIsRate);
    ztview_destroy(norm);
    ztmime_destroy(ctx);
}

int register_all()
{
    static std::vector<Input> inputs;
    inputs.reserve(3);
    std::string mbox = zt_bench::read_file(std::string(ZT_CORPUS_DIR) + "/mbox/content-length.mbox");
    size_t total;
    if (!mbox.empty())
        inputs.push_back({"corpus_mbox", repeat_to(split_mbox(mbox), kMin, &total), ""});
    inputs.push_back({"header_heavy", split_mbox(generated(true, kMin)), ""});
    inputs.push_back({"body_heavy", split_mbox(generated(false, kMin)), ""});
    for (Input &in : inputs) {
        for (const std::string &m : in.messages)
            in.bytes += m;
        const Input *p = &in;
        for (int mode : {0, 1, 2}) {
            static const char *label[] = {"parse_only/", "parse_interp/", "parse_interp_normalized/"};
            benchmark::RegisterBenchmark((label[mode] + in.name).c_str(),
                                         [p, mode](benchmark::State &s) { run(s, p, mode); })
                ->Unit(benchmark::kMillisecond);
        }
        zt_bench::register_memcpy(in.name, &in.bytes);
    }
    return 0;
}

const int registered = register_all();

} // namespace
