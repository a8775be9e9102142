// ztmime json [--jobs N] [--mbox] FILE|DIR...: one JSON object per message
// (JSON Lines) with its main header fields and, per part in tree order, its
// facts, the size and SHA-256 of its decoded bytes and its problems.
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "commands.h"
#include "help.h"
#include "json_writer.h"
#include "messages.h"
#include "parts.h"
#include "sha256.h"

namespace {

const struct {
    const char *key;
    const char *field;
} kHeaderKeys[] = {{"subject", "Subject"}, {"from", "From"}, {"to", "To"},
                   {"cc", "Cc"},           {"date", "Date"}, {"message_id", "Message-ID"}};

void put_part(JsonWriter &w, const PartRecord &p)
{
    w.begin_object();
    put_part_facts(w, p, nullptr);
    w.key("sha256");
    if (p.container)
        w.null();
    else
        w.value(p.sha256);
    w.key("problems");
    put_problems(w, p.problems);
    w.end_object();
}

struct Worker {
    Sha256 sha;
    PartCollector parts{&sha};
    std::string headers[std::size(kHeaderKeys)];
    bool present[std::size(kHeaderKeys)] = {};
};

} // namespace

int cmd_json(int argc, char **argv)
{
    Options opt;
    int st = parse_options(argc, argv, kOptMbox | kOptJobs, kHelpJson, opt);
    if (st >= 0)
        return st;
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < opt.jobs; ++i)
        workers.push_back(std::make_unique<Worker>());

    return run_messages("json", opt, 0, [&](int worker, ztmime_reader *r, const Item &item, const Message &msg,
                                            JobResult &res) {
        Worker &wk = *workers[static_cast<size_t>(worker)];
        wk.parts.clear();
        std::fill(std::begin(wk.present), std::end(wk.present), false);
        std::string error;
        bool ok = read_message(r, msg, error, [&](ztmime_item it, const char *data, size_t len) {
            if (it == ZTMIME_ITEM_PART && wk.parts.parts.empty()) {
                // The message's own header block.
                for (size_t k = 0; k < std::size(kHeaderKeys); ++k) {
                    const char *v = ztmime_reader_header(r, kHeaderKeys[k].field);
                    wk.present[k] = v != nullptr;
                    wk.headers[k] = v ? v : "";
                }
            }
            wk.parts.item(r, it, data, len);
        });
        if (!ok) {
            res.err += message_label(item, msg) + ": " + error + "\n";
            res.status = std::max(res.status, static_cast<int>(kFileError));
            return;
        }
        JsonWriter w(res.out);
        w.begin_object();
        w.key("file");
        w.value(item.path);
        w.key("offset");
        w.value(static_cast<uint64_t>(msg.offset));
        for (size_t k = 0; k < std::size(kHeaderKeys); ++k) {
            w.key(kHeaderKeys[k].key);
            if (wk.present[k])
                w.value(wk.headers[k]);
            else
                w.null();
        }
        w.key("parts");
        w.begin_array();
        for (const PartRecord &p : wk.parts.parts)
            put_part(w, p);
        w.end_array();
        w.end_object();
        res.out += '\n';
        if (wk.parts.problems)
            res.status = std::max(res.status, static_cast<int>(kProblems));
    });
}
