// ztmime headers [--mbox] [FILE|-]: the header fields of each message,
// unfolded and decoded to UTF-8, one "Name: value" line each.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "help.h"
#include "messages.h"

namespace {

// Control bytes other than tab as \xHH.
void put_text(std::string &out, const char *s)
{
    for (; *s; ++s) {
        auto c = static_cast<unsigned char>(*s);
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

} // namespace

int cmd_headers(int argc, char **argv)
{
    Options opt;
    int st = parse_options(argc, argv, kOptMbox, kHelpHeaders, opt);
    if (st >= 0)
        return st;
    bool labels = several_messages(opt);
    bool first_message = true;
    return run_messages("headers", opt, 0, [&](int, ztmime_reader *r, const Item &item, const Message &msg,
                                               JobResult &res) {
        if (!first_message)
            res.out += '\n';
        first_message = false;
        if (labels)
            res.out += "== " + message_label(item, msg) + "\n";
        bool done = false;
        uint32_t problems = 0;
        std::string error;
        bool ok = read_message(r, msg, error, [&](ztmime_item it, const char *, size_t) {
            if (it == ZTMIME_ITEM_PART && !done) {
                done = true;
                const char *name, *value;
                for (size_t i = 0; ztmime_reader_header_at(r, i, &name, &value) == 0; ++i) {
                    put_text(res.out, name);
                    res.out += ": ";
                    put_text(res.out, value);
                    res.out += '\n';
                }
            } else if (it == ZTMIME_ITEM_PART_END) {
                problems |= ztmime_reader_part(r)->problems;
            }
        });
        if (!ok) {
            res.err += message_label(item, msg) + ": " + error + "\n";
            res.status = std::max(res.status, static_cast<int>(kFileError));
        } else if (problems & ZTMIME_PROBLEM_HEADER) {
            res.err += message_label(item, msg) + ": malformed header fields\n";
            res.status = std::max(res.status, static_cast<int>(kProblems));
        }
    });
}
