// Runs input through the message reader and writes what it hands out as
// text: one line per item, the data of each part escaped at its end.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "zt_test.h"

namespace zt_test {

struct ReaderRun {
    std::string log;       // items and part facts
    std::string data;      // the data of the last part that ended
    bool error = false;
};

inline void log_part(std::string &log, const char *what, const ztmime_part_info *p)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, " depth=%d enc=%d container=%d size=%llu problems=%u", p->depth, p->encoding,
                  p->container, static_cast<unsigned long long>(p->size), p->problems);
    log += std::string(what) + " [" + p->path + "] " + p->content_type + " charset=" + p->charset +
           " disp=" + p->disposition + " file=" + escaped(p->filename) + buf + "\n";
}

// Feeds `input` to a new reader with `flags` in pieces of `chunk` bytes
// (0: whole) and calls on_item(r, item, data, len) for every item it hands
// out, up to the end of the input.
template <class OnItem>
void each_item(std::string_view input, size_t chunk, uint32_t flags, OnItem on_item)
{
    ztmime_reader *r = ztmime_reader_new(flags);
    auto drain = [&] {
        const void *p;
        size_t n;
        for (ztmime_item it; (it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE;)
            on_item(r, it, p, n);
    };
    for (auto &piece : pieces(input, chunk)) {
        ztmime_reader_feed(r, piece.data(), piece.size());
        drain();
    }
    ztmime_reader_finish(r);
    drain();
    ztmime_reader_destroy(r);
}

// Feeds `input` in pieces of `chunk` bytes (0: whole), draining after each.
inline ReaderRun read_all(std::string_view input, size_t chunk, uint32_t flags = 0, bool with_data = true)
{
    ReaderRun run;
    ztmime_reader *r = ztmime_reader_new(flags);
    if (!r) {
        run.error = true;
        return run;
    }
    std::string data;
    auto drain = [&] {
        for (;;) {
            const void *p;
            size_t n;
            ztmime_item it = ztmime_reader_next(r, &p, &n);
            switch (it) {
            case ZTMIME_ITEM_NONE: return true;
            case ZTMIME_ITEM_ERROR: run.error = true; return false;
            case ZTMIME_ITEM_MESSAGE: run.log += "MESSAGE\n"; break;
            case ZTMIME_ITEM_MESSAGE_END: run.log += "MESSAGE_END\n"; break;
            case ZTMIME_ITEM_PART: log_part(run.log, "PART", ztmime_reader_part(r)); data.clear(); break;
            case ZTMIME_ITEM_DATA: data.append(static_cast<const char *>(p), n); break;
            case ZTMIME_ITEM_PART_END: {
                const ztmime_part_info *pi = ztmime_reader_part(r);
                log_part(run.log, "END", pi);
                if (!pi->container && with_data)
                    run.log += "  data: " + escaped(data) + "\n";
                run.data = data;
                data.clear();
                break;
            }
            }
        }
    };
    for (auto &piece : pieces(input, chunk)) {
        if (ztmime_reader_feed(r, piece.data(), piece.size()) != 0 || !drain()) {
            run.error = true;
            break;
        }
    }
    if (!run.error) {
        ztmime_reader_finish(r);
        drain();
    }
    ztmime_reader_destroy(r);
    return run;
}

} // namespace zt_test
