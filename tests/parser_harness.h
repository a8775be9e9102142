// Drives a parser context over a message fed in chunks and records the
// events, for the parser suites.
#pragma once

#include <dirent.h>
#include <strings.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zt_test.h"
#include "ztmime.h"

namespace parser_test {

const std::string golden_dir = std::string(ZT_TEST_DATA_DIR) + "/parser/";

// The names of the golden messages (golden_dir + NAME.eml), sorted.
inline std::vector<std::string> golden_names()
{
    std::vector<std::string> names;
    if (DIR *d = opendir(golden_dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.substr(n.size() - 4) == ".eml")
                names.push_back(n.substr(0, n.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Event {
    int type;
    bool has_view;
    std::string bytes;
    int state = 0;  // the context's state after the event
};

struct Options {
    uint32_t max_line = 0;
    uint32_t flags = 0;
};

// Stands in for header interpretation: "Content-Type: multipart/" pushes a
// boundary (its boundary="X" value, or none), "Content-Type: message/rfc822"
// records that content type.
inline void follow_header(ztmime_ctx *ctx, const std::string &field)
{
    if (!strncasecmp(field.c_str(), "Content-Type: multipart/", 24)) {
        size_t b = field.find("boundary=\"");
        size_t e = b == std::string::npos ? b : field.find('"', b + 10);
        zt_test::View v = zt_test::make_view(e == std::string::npos ? "" : field.substr(b + 10, e - b - 10));
        ztmime_boundary_add(&ctx->part, b == std::string::npos ? nullptr : v.get());
    } else if (!strncasecmp(field.c_str(), "Content-Type: message/rfc822", 28)) {
        ztview_rewind(ctx->part.content_type);
        ztview_appends(ctx->part.content_type, "message/rfc822");
    }
}

struct RunLog {
    std::vector<Event> events;
    bool reached_done = false;  // ZTMIME_MSG_DONE came
    bool error = false;         // ZTMIME_ERROR came (the run stops there)
    size_t held = 0;            // most input left waiting outside a header block
};

// Drains events until the parser waits; false once the run is over.
inline bool drain(ztmime_ctx *ctx, RunLog &run)
{
    for (;;) {
        ztview *out = nullptr;
        int ev = ztmime_do(ctx, &out);
        if (ev == ZTMIME_NO_DATA) {
            if (ctx->state != ZTMIME_HEADER && ctx->state != ZTMIME_PART_HEADER)
                run.held = std::max(run.held, ztview_get_len(ctx->input));
            return true;
        }
        run.events.push_back({ev, out != nullptr, zt_test::str(out), ctx->state});
        ztview_destroy(out);
        if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
            follow_header(ctx, run.events.back().bytes);
        run.error |= ev == ZTMIME_ERROR;
        run.reached_done |= ev == ZTMIME_MSG_DONE;
        if (run.error || run.reached_done)
            return false;
    }
}

// Feeds `msg` in chunks of `chunk` bytes (0: whole), draining after each,
// then finishes and drains to the end.  `chunks`, when given, lists the
// chunk sizes to use in turn instead.
inline RunLog run_parser(const std::string &msg, size_t chunk, const Options &opt = {},
                         const std::vector<size_t> *chunks = nullptr)
{
    RunLog run;
    ztmime_ctx *ctx = ztmime_init(opt.max_line, opt.flags);
    bool going = ctx != nullptr;
    for (size_t off = 0, k = 0; going && off < msg.size();) {
        size_t n = chunks ? (*chunks)[k++ % chunks->size()] : (chunk ? chunk : msg.size());
        zt_test::View v = zt_test::make_view(msg.substr(off, n));
        off += n;
        ztmime_update(ctx, v.get());
        going = drain(ctx, run);
    }
    ztmime_finish(ctx);
    if (going)
        drain(ctx, run);
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

// The log for comparing runs with a line limit, which cuts unterminated
// body lines where chunks end: an over-long line outside a header block
// joins the body data around it.
inline std::vector<Event> body_joined(std::vector<Event> events)
{
    for (Event &e : events) {
        if (e.type == ZTMIME_LONG_LINE && e.state != ZTMIME_HEADER && e.state != ZTMIME_PART_HEADER)
            e.type = ZTMIME_PART_BODY;
    }
    return merged(events);
}

// One event per line: its name, then, when it carries a view, its bytes
// quoted with C escapes.
inline std::string format_log(const std::vector<Event> &events)
{
    std::string out;
    for (const Event &e : events) {
        out += ztmime_type_to_str(e.type);
        if (e.has_view) {
            out += " \"";
            for (unsigned char c : e.bytes) {
                static const char from[] = "\r\n\t\\\"", to[] = "rnt\\\"";
                const char *k = c ? std::strchr(from, c) : nullptr;
                char buf[8] = {static_cast<char>(c)};
                if (k)
                    std::snprintf(buf, sizeof buf, "\\%c", to[k - from]);
                else if (c < 0x20 || c >= 0x7f)
                    std::snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            }
            out += "\"";
        }
        out += "\n";
    }
    return out;
}

} // namespace parser_test
