// ztmime tree [--json] [--mbox] [FILE|-]: the part structure of each
// message, one line per part indented by nesting, or one JSON object per
// message with the parts nested.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "help.h"
#include "json_writer.h"
#include "messages.h"
#include "parts.h"

namespace {

const char *encoding_name(int code)
{
    switch (code) {
    case 0: return "-";
    case ZTMIME_ENC_7BIT: return "7bit";
    case ZTMIME_ENC_8BIT: return "8bit";
    case ZTMIME_ENC_BINARY: return "binary";
    case ZTMIME_ENC_BASE64: return "base64";
    case ZTMIME_ENC_QP: return "quoted-printable";
    case ZTMIME_ENC_UUENCODE: return "x-uuencode";
    default: return "other";
    }
}

// Control bytes as \xHH; everything else (UTF-8) as it is.
void put_text(std::string &out, const std::string &s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

void put_lines(std::string &out, const std::vector<PartRecord> &parts)
{
    for (const PartRecord &p : parts) {
        out.append(2 * static_cast<size_t>(p.level), ' ');
        put_text(out, p.path.empty() ? std::string("message") : p.path);
        out += "  ";
        put_text(out, p.type);
        if (!p.charset.empty()) {
            out += " charset=";
            put_text(out, p.charset);
        }
        out += "  encoding=";
        out += encoding_name(p.encoding);
        out += " size=" + std::to_string(p.container ? p.total : p.size);
        if (p.container)
            out += " parts=" + std::to_string(p.children);
        if (!p.disposition.empty())
            out += " disposition=" + p.disposition;
        if (!p.filename.empty()) {
            out += " file=\"";
            put_text(out, p.filename);
            out += '"';
        }
        if (p.problems)
            out += " problems=" + problem_names(p.problems);
        out += '\n';
    }
}

void put_json(std::string &out, const Item &item, const Message &msg, const std::vector<PartRecord> &parts)
{
    JsonWriter w(out);
    w.begin_object();
    w.key("file");
    w.value(item.path);
    w.key("offset");
    w.value(static_cast<uint64_t>(msg.offset));
    w.key("parts");
    w.begin_array();
    std::vector<const PartRecord *> open;
    auto close = [&] {
        if (open.back()->container)
            w.end_array();
        w.end_object();
        open.pop_back();
    };
    for (const PartRecord &p : parts) {
        while (!open.empty() && open.back()->level >= p.level)
            close();
        w.begin_object();
        put_part_facts(w, p, encoding_name(p.encoding));
        w.key("problems");
        put_problems(w, p.problems);
        if (p.container) {
            w.key("parts");
            w.begin_array();
        }
        open.push_back(&p);
    }
    while (!open.empty())
        close();
    w.end_array();
    w.end_object();
    out += '\n';
}

} // namespace

int cmd_tree(int argc, char **argv)
{
    Options opt;
    int st = parse_options(argc, argv, kOptMbox | kOptJson, kHelpTree, opt);
    if (st >= 0)
        return st;
    bool labels = several_messages(opt);
    PartCollector collector;
    return run_messages("tree", opt, 0, [&](int, ztmime_reader *r, const Item &item, const Message &msg,
                                            JobResult &res) {
        collector.clear();
        std::string error;
        bool ok = read_message(r, msg, error, [&](ztmime_item it, const char *data, size_t len) {
            collector.item(r, it, data, len);
        });
        if (!ok) {
            res.err += message_label(item, msg) + ": " + error + "\n";
            res.status = std::max(res.status, static_cast<int>(kFileError));
            return;
        }
        if (opt.json) {
            put_json(res.out, item, msg, collector.parts);
        } else {
            if (labels)
                res.out += "== " + message_label(item, msg) + "\n";
            put_lines(res.out, collector.parts);
        }
        if (collector.problems)
            res.status = std::max(res.status, static_cast<int>(kProblems));
    });
}
