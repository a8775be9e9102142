// The parser over arbitrary input: options and a chunking come from the
// first bytes, the rest is the message.  Each header field also goes
// through ztmime_parse_header (which pushes boundaries and follows embedded
// messages).  The message is parsed whole and in chunks; both runs must end
// cleanly, hand out the bytes they were given, and agree event by event
// wherever chunking cannot matter.
#include <algorithm>

#include "fuzz_util.h"

using namespace zt_fuzz;

namespace {

struct Event {
    int type;
    std::string bytes, extra;  // extra: what the interpretation made of it
};

std::vector<Event> parse(const std::string &msg, uint32_t max_line, uint32_t flags, const std::vector<size_t> &sizes)
{
    std::vector<Event> log;
    ztmime_ctx *ctx = ztmime_init(max_line, flags);
    check(ctx != nullptr, "ztmime_init");
    View normalized(ztview_init());
    bool done = false;
    // Each call hands out at least a byte or changes state, so a message
    // cannot need more events than this.
    const size_t limit = 4 * msg.size() + 64;
    auto drain = [&] {
        while (!done) {
            ztview *raw = nullptr;
            int ev = ztmime_do(ctx, &raw);
            View v(raw);
            if (ev == ZTMIME_NO_DATA)
                return;
            check(ev != ZTMIME_ERROR, "ZTMIME_ERROR", ztmime_strerror());
            Event e{ev, str(v.get()), ""};
            if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER) {
                int rc = ztmime_parse_header(ctx, v.get(), normalized.get());
                // The interpretation belongs to the record: it depends only
                // on the field and on what came before.
                e.extra = std::to_string(rc) + "|" + str(normalized.get());
            } else if (ev == ZTMIME_UUENCODE_HEADER) {
                View name(ztview_init());
                e.extra = std::to_string(ztmime_parse_uu_header(v.get(), name.get())) + "|" + str(name.get());
            }
            log.push_back(std::move(e));
            done = ev == ZTMIME_MSG_DONE;
            check(log.size() <= limit, "too many events");
        }
    };
    for (const std::string &piece : cut(msg, sizes)) {
        View v = make_view(piece);
        check(ztmime_update(ctx, v.get()) == 0, "ztmime_update");
        drain();
        if (done)
            break;
    }
    ztmime_finish(ctx);
    drain();
    check(done, "no ZTMIME_MSG_DONE");
    ztmime_destroy(ctx);
    return log;
}

// A line of exactly `max_line` characters and CR LF is over-long when a
// call starts with it (the CR counts) but joins a body batch (only the
// text counts): it reads as body here.
bool limit_line(const Event &e, uint32_t max_line)
{
    return e.type == ZTMIME_LONG_LINE && max_line && e.bytes.size() == max_line + 2 && e.bytes.ends_with("\r\n") &&
           e.bytes.find_first_of("\r\n") == max_line;
}

// Consecutive body events joined: batches depend on chunking.
std::vector<Event> merged(const std::vector<Event> &log, uint32_t max_line)
{
    std::vector<Event> out;
    for (Event e : log) {
        if (limit_line(e, max_line))
            e.type = ZTMIME_PART_BODY;
        if (e.type == ZTMIME_PART_BODY && !out.empty() && out.back().type == ZTMIME_PART_BODY)
            out.back().bytes += e.bytes;
        else
            out.push_back(e);
    }
    return out;
}

// The events that hand out the first `end` bytes (cutting the last one
// short), and the events without bytes among them.
std::vector<Event> upto(const std::vector<Event> &log, size_t end)
{
    std::vector<Event> out;
    size_t off = 0;
    for (const Event &e : log) {
        if (off >= end && !e.bytes.empty())
            break;
        out.push_back(e);
        if (e.bytes.size() > end - off) {
            out.back().bytes.resize(end - off);
            break;
        }
        off += e.bytes.size();
    }
    return out;
}

std::string joined(const std::vector<Event> &log)
{
    std::string s;
    for (const Event &e : log)
        s += e.bytes;
    return s;
}

// Whether `out` is `in` (or, with `prefix`, the start of it) less some
// lines that begin with a space or a tab: a continuation line of a header
// field that already has an over-long line is dropped, not handed out.
bool less_continuation_lines(const std::string &out, const std::string &in, bool prefix)
{
    size_t o = 0;
    for (size_t i = 0; i < in.size() && !(prefix && o == out.size());) {
        size_t e = in.find('\n', i);
        e = e == std::string::npos ? in.size() : e + 1;
        const size_t n = e - i;
        if (out.compare(o, n, in, i, n) == 0)
            o += n;
        else if (in[i] != ' ' && in[i] != '\t')
            return false;
        i = e;
    }
    return o == out.size();
}

bool has_long_field(const std::vector<Event> &log)
{
    bool head = true;
    for (const Event &e : log) {
        if (e.type == ZTMIME_LONG_LINE && head)
            return true;
        if (e.type == ZTMIME_PART_BODY)
            head = false;
        else if (e.type == ZTMIME_PART_HEADER || e.type == ZTMIME_HEADER)
            head = true;
    }
    return false;
}

std::string describe(const std::vector<Event> &log)
{
    std::string s;
    for (const Event &e : log)
        s += std::string(ztmime_type_to_str(e.type)) + " [" + e.bytes + "] " + e.extra + "\n";
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    static const uint32_t limits[] = {0, 0, 8, 20, 76, 200};
    uint32_t flags = in.byte() & (ZTMIME_FLAG_DOT_END | ZTMIME_FLAG_BINARY | ZTMIME_FLAG_UUENCODE);
    uint32_t max_line = limits[in.byte() % 6];
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i)
        sizes.push_back(1 + in.byte() % 64);
    std::string msg = in.rest();

    std::vector<Event> whole = parse(msg, max_line, flags, {msg.size() + 1});
    std::vector<Event> chunked = parse(msg, max_line, flags, sizes);
    check_no_live_views();

    bool dot = flags & ZTMIME_FLAG_DOT_END, binary = flags & ZTMIME_FLAG_BINARY;
    // Every byte given comes out once, unless a bare CR was repaired, a
    // ".\r\n" line ended the input early or an over-long header field lost
    // a continuation line.  In binary mode a run of bytes can
    // come out before a pending header field: same bytes, another order.
    for (const auto *log : {&whole, &chunked}) {
        std::string out = joined(*log), want = msg;
        if (binary && !dot) {
            std::sort(out.begin(), out.end());
            std::sort(want.begin(), want.end());
            check(out == want, "binary mode lost or added bytes");
        } else if (!binary && msg.find('\r') == std::string::npos) {
            const bool same = dot ? want.starts_with(out) : out == want;
            check(same || (has_long_field(*log) && less_continuation_lines(out, want, dot)),
                  "bytes handed out differ from the input", describe(*log));
        }
    }

    // Binary runs and capitalised uuencode begin lines inside a body batch
    // depend on where chunks end; nothing else does, except that a line
    // limit cuts an unterminated line where a chunk ends (the runs are then
    // compared up to that cut), and a line at the limit with CR LF is
    // over-long only at the start of a call.
    if (binary || (flags & ZTMIME_FLAG_UUENCODE))
        return 0;
    size_t cut_at = SIZE_MAX;
    if (max_line) {
        size_t off = 0;
        for (const Event &e : chunked) {
            if (e.type == ZTMIME_LONG_LINE && !e.bytes.ends_with("\n")) {
                cut_at = off;
                break;
            }
            off += e.bytes.size();
        }
    }
    std::vector<Event> a = merged(upto(whole, cut_at), max_line), b = merged(upto(chunked, cut_at), max_line);
    if (dot && cut_at == SIZE_MAX)  // the rest of the input: more was fed to the whole run
        a.back().bytes = b.back().bytes = "";
    check(a.size() == b.size(), "chunking changed the events", describe(a) + "---\n" + describe(b));
    for (size_t i = 0; i < a.size(); ++i)
        check(a[i].type == b[i].type && a[i].bytes == b[i].bytes && a[i].extra == b[i].extra,
              "chunking changed the events", "event " + std::to_string(i) + "\n" + describe(a) + "---\n" + describe(b));
    return 0;
}
