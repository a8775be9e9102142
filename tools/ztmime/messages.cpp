#include "messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "progress.h"

namespace {

constexpr size_t kMboxChunk = 4u << 20;  // bytes of an mbox per unit of work

struct ReaderFree {
    void operator()(ztmime_reader *r) const { ztmime_reader_destroy(r); }
};

// Writes text with "ztmime COMMAND: " before every line.
void put_errors(const char *command, const std::string &text)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos)
            nl = text.size();
        std::fprintf(stderr, "ztmime %s: %.*s\n", command, static_cast<int>(nl - at), text.data() + at);
        at = nl + 1;
    }
}

} // namespace

int parse_options(int argc, char **argv, unsigned accepted, const char *help, Options &opt)
{
    const char *command = argv[0];
    auto bad = [&](const char *what, const char *arg) {
        std::fprintf(stderr, "ztmime %s: %s '%s'\n(see: ztmime %s --help)\n", command, what, arg, command);
        return 2;
    };
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (only_files || a[0] != '-' || !a[1]) {
            opt.inputs.emplace_back(a);
        } else if (!std::strcmp(a, "--")) {
            only_files = true;
        } else if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(help, stdout);
            return 0;
        } else if (!std::strcmp(a, "-q") || !std::strcmp(a, "--quiet")) {
            opt.quiet = true;
        } else if ((accepted & kOptMbox) && !std::strcmp(a, "--mbox")) {
            opt.mbox = true;
        } else if ((accepted & kOptAll) && !std::strcmp(a, "--all")) {
            opt.all = true;
        } else if ((accepted & kOptJson) && !std::strcmp(a, "--json")) {
            opt.json = true;
        } else if ((accepted & kOptJobs) && (!std::strcmp(a, "--jobs") || !std::strcmp(a, "-j"))) {
            if (i + 1 == argc)
                return bad("missing number after", a);
            char *end = nullptr;
            long n = std::strtol(argv[++i], &end, 10);
            if (*end || end == argv[i] || n < 1 || n > 256)
                return bad("--jobs wants a number from 1 to 256, not", argv[i]);
            opt.jobs = static_cast<int>(n);
        } else if ((accepted & kOptDir) && (!std::strcmp(a, "-d") || !std::strcmp(a, "--dir"))) {
            if (i + 1 == argc || !argv[i + 1][0])
                return bad("missing directory after", a);
            opt.dir = argv[++i];
        } else {
            return bad("unknown option", a);
        }
    }
    if (opt.inputs.empty()) {
        if (!(accepted & kOptJobs)) {
            opt.inputs.emplace_back("-");
        } else {
            std::fprintf(stderr, "ztmime %s: no FILE or DIR given\n(see: ztmime %s --help)\n", command, command);
            return 2;
        }
    }
    if (!(accepted & kOptJobs) && opt.inputs.size() > 1)
        return bad("one input only; extra argument", opt.inputs[1].c_str());
    if (std::count(opt.inputs.begin(), opt.inputs.end(), "-") > 1)
        return bad("standard input given twice:", "-");
    return -1;
}

std::string problem_names(uint32_t problems)
{
    static const struct {
        uint32_t bit;
        const char *name;
    } names[] = {{ZTMIME_PROBLEM_DECODE, "decode"},
                 {ZTMIME_PROBLEM_CHARSET, "charset"},
                 {ZTMIME_PROBLEM_TRUNCATED, "truncated"},
                 {ZTMIME_PROBLEM_HEADER, "header"}};
    std::string s;
    for (const auto &n : names) {
        if (problems & n.bit) {
            if (!s.empty())
                s += ',';
            s += n.name;
        }
    }
    return s;
}

std::string message_label(const Item &item, const Message &msg)
{
    return item.mbox ? item.path + "@" + std::to_string(msg.offset) : item.path;
}

int run_messages(const char *command, const Options &opt, uint32_t reader_flags, const MessageFn &each)
{
    std::vector<Item> items;
    int status = collect_items(command, opt.inputs, opt.mbox, kMboxChunk, items);
    if (items.empty())
        return std::max(status, static_cast<int>(kProblems));

    std::vector<std::unique_ptr<ztmime_reader, ReaderFree>> readers;
    for (int i = 0; i < opt.jobs; ++i) {
        readers.emplace_back(ztmime_reader_new(reader_flags | (opt.mbox ? ZTMIME_READER_MBOX : 0u)));
        if (!readers.back()) {
            std::fprintf(stderr, "ztmime %s: out of memory\n", command);
            return kFileError;
        }
    }
    uint64_t total = 0;
    for (const Item &it : items)
        total += it.bytes;
    Progress progress(!opt.quiet, total);

    auto work = [&](int worker, size_t i, JobResult &res) {
        const Item &item = items[i];
        std::shared_ptr<Source> src = item.source;
        if (!src) {
            src = std::make_shared<Source>();
            std::string error;
            if (!src->load(item.path, error)) {
                res.err += error + "\n";
                res.status = kFileError;
                return;
            }
        }
        ztmime_reader *r = readers[static_cast<size_t>(worker)].get();
        if (!for_each_message(item, *src, res.err, [&](const Message &m) {
                ++res.messages;
                each(worker, r, item, m, res);
            }))
            res.status = std::max(res.status, static_cast<int>(kProblems));
    };
    bool write_failed = false;
    auto emit = [&](size_t i, JobResult &res) {
        if (!res.out.empty() && std::fwrite(res.out.data(), 1, res.out.size(), stdout) != res.out.size()) {
            write_failed = true;
            return false;
        }
        put_errors(command, res.err);
        status = std::max(status, res.status);
        progress.add(items[i].bytes, res.messages);
        return true;
    };
    run_ordered(items.size(), opt.jobs, work, emit);
    if (std::fflush(stdout) != 0 || write_failed) {
        std::fprintf(stderr, "ztmime %s: writing standard output failed\n", command);
        status = kFileError;
    }
    return status;
}

bool several_messages(const Options &opt)
{
    if (opt.mbox || opt.inputs.size() > 1)
        return true;
    struct stat st {};
    return opt.inputs[0] != "-" && ::stat(opt.inputs[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
