// Helpers shared by the test suites.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "common/alloc.h"

#include "ztmime.h"
#include "views.h"
#include "ztview.h"

namespace zt_test {

using zt_views::make_fragmented;
using zt_views::make_view;
using zt_views::str;
using zt_views::View;

inline std::string read_file(const std::string &path, bool *ok = nullptr)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (ok)
        *ok = f != nullptr;
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

// Printable rendering for failure messages.
inline std::string escaped(std::string_view s)
{
    std::string out;
    char hex[8];
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// What a streaming codec made of a run of updates and a finish.
struct CodecRun {
    std::string out, pending;  // pending as the last update left it
    std::vector<int> results;  // every update, then finish
};

// `s` cut into pieces of `n` bytes (0: one piece; none when empty).
inline std::vector<std::string> pieces(std::string_view s, size_t n)
{
    std::vector<std::string> v;
    for (size_t off = 0, step = n ? n : s.size(); off < s.size(); off += step)
        v.emplace_back(s.substr(off, step));
    return v;
}

// Feeds `parts` to codec state `st` (each part a view of segments of `seg`
// bytes, 0: one segment), then finishes.
template <class S, class Update, class Finish>
CodecRun run_codec(S *st, Update update, Finish finish, const std::vector<std::string> &parts, size_t seg = 0)
{
    View out(ztview_init());
    CodecRun r;
    for (const auto &p : parts)
        r.results.push_back(update(st, out.get(), (seg ? make_fragmented(p, seg) : make_view(p)).get()));
    r.pending = str(st->pending);
    r.results.push_back(finish(st, out.get()));
    r.out = str(out.get());
    return r;
}

// Runs a message through a new parser in `chunk`-byte pieces, hands every
// header field to ztmime_parse_header (counting results other than 0 in
// *bad) and then every event with its view to on_event(ctx, event, view),
// up to the end of the message or a parse error.
template <class OnEvent> void drive(std::string_view msg, size_t chunk, OnEvent on_event, int *bad = nullptr)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    bool done = false;
    auto drain = [&] {
        while (!done) {
            ztview *raw = nullptr;
            int ev = ztmime_do(ctx, &raw);
            View v(raw);
            if (ev == ZTMIME_NO_DATA)
                return;
            bool header = ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER;
            if (header && ztmime_parse_header(ctx, v.get(), nullptr) != 0 && bad)
                ++*bad;
            on_event(ctx, ev, v.get());
            done = ev == ZTMIME_MSG_DONE || ev == ZTMIME_ERROR;
        }
    };
    for (size_t off = 0; off < msg.size() && !done; off += chunk) {
        View piece = make_view(msg.substr(off, chunk));
        ztmime_update(ctx, piece.get());
        drain();
    }
    ztmime_finish(ctx);
    drain();
    ztmime_destroy(ctx);
}

} // namespace zt_test
