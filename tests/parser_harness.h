// Drives a parser context over a message fed in chunks and records the
// events, for the parser suites.
#pragma once

#include <strings.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zt_test.h"
#include "ztmime.h"

namespace parser_test {

struct Event {
    int type;
    bool has_view;
    std::string bytes;
    bool operator==(const Event &o) const
    {
        return type == o.type && has_view == o.has_view && bytes == o.bytes;
    }
};

struct Options {
    uint32_t max_line = 0;
    uint32_t flags = 0;
    bool follow_headers = true;  // push boundaries / note embedded messages
};

// Stands in for header interpretation: a header event starting with
// "Content-Type: multipart/" pushes a boundary (its boundary="X" value, or
// none), one starting with "Content-Type: message/rfc822" records that
// content type.
inline void follow_header(ztmime_ctx *ctx, const std::string &field)
{
    static const char mp[] = "Content-Type: multipart/";
    static const char rfc[] = "Content-Type: message/rfc822";
    if (!strncasecmp(field.c_str(), mp, sizeof mp - 1)) {
        size_t b = field.find("boundary=\"");
        if (b == std::string::npos) {
            ztmime_boundary_add(&ctx->part, nullptr);
            return;
        }
        b += 10;
        size_t e = field.find('"', b);
        zt_test::View v = zt_test::make_view(field.substr(b, e == std::string::npos ? 0 : e - b));
        ztmime_boundary_add(&ctx->part, v.get());
    } else if (!strncasecmp(field.c_str(), rfc, sizeof rfc - 1)) {
        ztview_rewind(ctx->part.content_type);
        ztview_appends(ctx->part.content_type, "message/rfc822");
    }
}

struct RunLog {
    std::vector<Event> events;
    bool reached_done = false;  // ZTMIME_MSG_DONE came
    bool error = false;         // ZTMIME_ERROR came (the run stops there)
};

// Takes one event; false when the drain should stop.
inline bool take(ztmime_ctx *ctx, RunLog &run, const Options &opt, int &ev)
{
    ztview *out = nullptr;
    ev = ztmime_do(ctx, &out);
    if (ev == ZTMIME_NO_DATA)
        return false;
    Event e{ev, out != nullptr, zt_test::str(out)};
    ztview_destroy(out);
    if (opt.follow_headers && (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER))
        follow_header(ctx, e.bytes);
    run.events.push_back(std::move(e));
    if (ev == ZTMIME_ERROR)
        run.error = true;
    if (ev == ZTMIME_MSG_DONE)
        run.reached_done = true;
    return ev != ZTMIME_ERROR && ev != ZTMIME_MSG_DONE;
}

// Feeds `msg` in chunks of `chunk` bytes (0: whole), draining after each,
// then finishes and drains to the end.  `chunks`, when given, lists the
// chunk sizes to use in turn instead.
inline RunLog run_parser(const std::string &msg, size_t chunk, const Options &opt = {},
                      const std::vector<size_t> *chunks = nullptr)
{
    RunLog run;
    ztmime_ctx *ctx = ztmime_init(opt.max_line, opt.flags);
    if (!ctx)
        return run;
    int ev = 0;
    size_t off = 0, k = 0;
    while (off < msg.size() && !run.error && !run.reached_done) {
        size_t n = chunks ? (*chunks)[k++ % chunks->size()] : (chunk ? chunk : msg.size());
        n = std::min(n ? n : 1, msg.size() - off);
        zt_test::View v = zt_test::make_view(msg.substr(off, n));
        off += n;
        ztmime_update(ctx, v.get());
        for (int guard = 0; guard < 1000000 && take(ctx, run, opt, ev); ++guard) {
        }
    }
    ztmime_finish(ctx);
    for (int guard = 0; guard < 1000000 && !run.error && !run.reached_done; ++guard)
        if (!take(ctx, run, opt, ev) && ev == ZTMIME_NO_DATA)
            break;
    ztmime_destroy(ctx);
    return run;
}

// The log with consecutive body events joined: the same for every chunking.
inline std::vector<Event> merged(const std::vector<Event> &events)
{
    std::vector<Event> out;
    for (const Event &e : events) {
        if (e.type == ZTMIME_PART_BODY && !out.empty() && out.back().type == ZTMIME_PART_BODY)
            out.back().bytes += e.bytes;
        else
            out.push_back(e);
    }
    return out;
}

// One event per line: its name, then the bytes quoted with C escapes when
// it carries a view.
inline std::string quote(const std::string &s)
{
    std::string out = "\"";
    char hex[8];
    for (unsigned char c : s) {
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
    }
    return out + "\"";
}

inline std::string format_log(const std::vector<Event> &events)
{
    std::string out;
    for (const Event &e : events) {
        out += ztmime_type_to_str(e.type);
        if (e.has_view)
            out += " " + quote(e.bytes);
        out += "\n";
    }
    return out;
}

} // namespace parser_test
