// What the message commands read: files, standard input, folders of
// messages, maildirs and mboxes, cut into units of work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The bytes of one input, mapped (regular files) or read into memory.
class Source {
public:
    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    ~Source();

    // Loads `path` ("-" is standard input).  False with a message
    // ("PATH: reason") in `error`.
    bool load(const std::string &path, std::string &error);

    const char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char *data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::string buffer_;
};

// A unit of work.  Either a file to load and read as one message (or as an
// mbox), or a byte range of a loaded mbox: the messages whose "From " line
// starts in [begin, end).
struct Item {
    std::string path;
    bool mbox = false;
    std::shared_ptr<Source> source;  // null: load `path` when the item is run
    size_t begin = 0, end = 0;
    uint64_t bytes = 0;              // for progress
};

// Exit statuses of the program.
enum Status { kDone = 0, kProblems = 1, kUsage = 2, kFileError = 3 };

// Expands the command-line inputs into items: a file is one item (an mbox
// is cut into ranges of about `chunk` bytes), a directory that has cur/ and
// new/ is a maildir whose messages are read in name order, any other
// directory is walked for regular files (dot files skipped), in name
// order.  Problems go to stderr as "ztmime COMMAND: ..."; the return value is
// the worst status seen.
int collect_items(const char *command, const std::vector<std::string> &args, bool mbox, size_t chunk,
                  std::vector<Item> &items);

// One message found in an item.
struct Message {
    const char *data;
    size_t size;
    uint64_t offset;  // in its file
};

// Offers every message of `item` (loaded in `src`) to `each`: the whole file
// for a single message, after a byte-order mark if it starts with one; for
// an mbox every span that begins with a "From " line at a line start.
// Notes on what is not a message go to `notes`.  Returns false when there
// was something to note.
template <class F>
bool for_each_message(const Item &item, const Source &src, std::string &notes, F &&each);

// Implementation helpers used by the template.
size_t skip_bom(const char *p, size_t n);
// The first offset in [from, end) where a line starts with "From ", or end.
// Lines start at `origin` (after a byte-order mark) and after each '\n'.
size_t next_from_line(const char *p, size_t size, size_t origin, size_t from, size_t end);
// True when `p` starts like a message: a header field name and ':', or an
// envelope "From " line.
bool looks_like_message(const char *p, size_t n);

template <class F>
bool for_each_message(const Item &item, const Source &src, std::string &notes, F &&each)
{
    const char *p = src.data();
    size_t size = src.size();
    size_t bom = skip_bom(p, size);
    if (!item.mbox) {
        if (size - bom == 0) {
            notes += item.path + ": empty file, no message in it\n";
            return false;
        }
        bool ok = looks_like_message(p + bom, size - bom);
        if (!ok)
            notes += item.path + ": does not start with a header field; read as a message without headers\n";
        each(Message{p + bom, size - bom, bom});
        return ok;
    }
    bool ok = true;
    size_t begin = item.begin < bom ? bom : item.begin;
    size_t end = item.end < bom ? bom : item.end;
    if (item.begin == 0) {
        size_t first = next_from_line(p, size, bom, bom, size);
        if (first == size) {
            notes += item.path + (size == bom ? ": empty file, no message in it\n"
                                               : ": no line starts with \"From \": not an mbox\n");
            return false;
        }
        if (first > bom) {
            notes += item.path + ": " + std::to_string(first - bom) + " bytes before the first \"From \" line skipped\n";
            ok = false;
        }
    }
    size_t at = next_from_line(p, size, bom, begin, end);
    while (at < end) {
        size_t next = next_from_line(p, size, bom, at + 1, size);
        each(Message{p + at, next - at, at});
        at = next;
    }
    return ok;
}
