// ztmime extract [-d DIR] [--all] [--mbox] [FILE|-]: saves the attachments
// (with --all every part that has a body) of each message into DIR under
// safe names, and prints one line per file written.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "commands.h"
#include "help.h"
#include "messages.h"
#include "safe_name.h"

namespace {

const char *extension(const char *type)
{
    if (!std::strcmp(type, "text/plain"))
        return ".txt";
    if (!std::strcmp(type, "text/html"))
        return ".html";
    if (!std::strncmp(type, "message/", 8))
        return ".eml";
    return ".bin";
}

// An attachment is a part with a body that is marked as one or carries a
// file name.
bool wanted(const ztmime_part_info &p, bool all)
{
    if (p.container)
        return false;
    return all || !std::strcmp(p.disposition, "attachment") || p.filename[0];
}

bool write_all(int fd, const char *data, size_t len)
{
    while (len) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int cmd_extract(int argc, char **argv)
{
    Options opt;
    int st = parse_options(argc, argv, kOptMbox | kOptAll | kOptDir, kHelpExtract, opt);
    if (st >= 0)
        return st;
    OutputDir dir;
    if (dir.open(opt.dir.c_str()) != 0) {
        std::fprintf(stderr, "ztmime extract: %s: %s\n", opt.dir.c_str(), std::strerror(errno));
        return kFileError;
    }
    std::string prefix = opt.dir == "." ? "" : opt.dir + (opt.dir.back() == '/' ? "" : "/");
    return run_messages("extract", opt, 0, [&](int, ztmime_reader *r, const Item &item, const Message &msg,
                                               JobResult &res) {
        std::string label = message_label(item, msg);
        int fd = -1;          // file of the part being saved
        bool failed = false;  // writing it failed
        std::string name;
        uint32_t problems = 0;
        std::string error;
        auto fail = [&](const std::string &what) {
            res.err += prefix + name + ": " + what + "\n";
            res.status = kFileError;
            failed = true;
        };
        bool ok = read_message(r, msg, error, [&](ztmime_item it, const char *data, size_t len) {
            const ztmime_part_info *p = ztmime_reader_part(r);
            switch (it) {
            case ZTMIME_ITEM_PART: {
                if (!wanted(*p, opt.all))
                    break;
                std::string fallback = p->path[0] ? std::string("part-") + p->path : std::string("message");
                fallback += extension(p->content_type);
                name.clear();
                failed = false;
                fd = dir.create(safe_file_name(p->filename, fallback), name);
                if (fd < 0)
                    fail(std::strerror(errno));
                break;
            }
            case ZTMIME_ITEM_DATA:
                if (fd >= 0 && !failed && !write_all(fd, data, len))
                    fail(std::strerror(errno));
                break;
            case ZTMIME_ITEM_PART_END:
                problems |= p->problems;
                if (fd < 0)
                    break;
                if (::close(fd) != 0 && !failed)
                    fail(std::strerror(errno));
                fd = -1;
                if (!failed) {
                    res.out += prefix + name + "\t" + std::to_string(p->size) + "\t" + label + "\t" +
                               (p->path[0] ? p->path : "message") + "\n";
                    if (p->problems)
                        res.err += prefix + name + ": saved with problems: " + problem_names(p->problems) + "\n";
                }
                break;
            default:
                break;
            }
        });
        if (fd >= 0)
            ::close(fd);
        if (!ok) {
            res.err += label + ": " + error + "\n";
            res.status = std::max(res.status, static_cast<int>(kFileError));
        }
        if (problems)
            res.status = std::max(res.status, static_cast<int>(kProblems));
    });
}
