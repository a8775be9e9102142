// The frame of the commands that read messages (tree, headers, extract,
// json): options, inputs, one reader per worker thread, ordered output,
// progress and the exit status.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "inputs.h"
#include "pool.h"
#include "ztmime.h"

struct Options {
    bool mbox = false;
    bool all = false;    // extract: every leaf
    bool json = false;   // tree: JSON output
    bool quiet = false;  // no progress line
    int jobs = 1;
    std::string dir = ".";  // extract: where files go
    std::vector<std::string> inputs;
};

// Option letters a command accepts, for parse_options.
enum : unsigned { kOptMbox = 1, kOptAll = 2, kOptJson = 4, kOptJobs = 8, kOptDir = 16 };

// Parses argv (argv[0] is the command name).  Returns -1 when the options
// are fine, else the exit status (usage errors: 2, --help: 0) after printing
// the message or the help.
int parse_options(int argc, char **argv, unsigned accepted, const char *help, Options &opt);

// Called for every message, with the worker's own reader, already reset.
using MessageFn = std::function<void(int worker, ztmime_reader *r, const Item &item, const Message &msg, JobResult &res)>;

// Runs `each` over every message of the inputs on opt.jobs threads, writes
// the results in input order and returns the exit status.
int run_messages(const char *command, const Options &opt, uint32_t reader_flags, const MessageFn &each);

// Feeds one message to `r` (after a reset) and calls on(item, data, len) for
// every item it hands out.  False with the reader's error text in `error`
// when the reader cannot go on.
template <class F>
bool read_message(ztmime_reader *r, const Message &msg, std::string &error, F &&on)
{
    constexpr size_t slice = 64 * 1024;
    ztmime_reader_reset(r);
    size_t at = 0;
    for (;;) {
        bool last = at >= msg.size;
        if (!last) {
            size_t n = msg.size - at < slice ? msg.size - at : slice;
            if (ztmime_reader_feed(r, msg.data + at, n) != 0) {
                error = ztmime_reader_error(r);
                return false;
            }
            at += n;
        } else {
            ztmime_reader_finish(r);
        }
        for (;;) {
            const void *data = nullptr;
            size_t len = 0;
            ztmime_item it = ztmime_reader_next(r, &data, &len);
            if (it == ZTMIME_ITEM_NONE)
                break;
            if (it == ZTMIME_ITEM_ERROR) {
                error = ztmime_reader_error(r);
                return false;
            }
            on(it, static_cast<const char *>(data), len);
        }
        if (last)
            return true;
    }
}

// "decode,truncated" for a set of ZTMIME_PROBLEM_ bits, "" for none.
std::string problem_names(uint32_t problems);

// Where a message came from, for messages: "FILE" or "FILE@OFFSET" in an mbox.
std::string message_label(const Item &item, const Message &msg);

// True when the inputs may hold more than one message (an mbox, several
// inputs, a directory): text output then names each message.
bool several_messages(const Options &opt);
