#include "inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

Source::~Source()
{
    if (mapped_)
        ::munmap(const_cast<char *>(data_), size_);
}

bool Source::load(const std::string &path, std::string &error)
{
    bool is_stdin = path == "-";
    int fd = is_stdin ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        error = (is_stdin ? std::string("standard input") : path) + ": " + std::strerror(errno);
        if (fd > 0)
            ::close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = (is_stdin ? std::string("standard input") : path) + ": is a directory";
        ::close(fd);
        return false;
    }
    bool ok = true;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void *m = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m != MAP_FAILED) {
            ::madvise(m, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
            data_ = static_cast<const char *>(m);
            size_ = static_cast<size_t>(st.st_size);
            mapped_ = true;
        }
    }
    if (!mapped_) {
        // Pipes, terminals and files that cannot be mapped are read whole.
        char buf[1 << 16];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = (is_stdin ? std::string("standard input") : path) + ": " + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0)
                break;
            buffer_.append(buf, static_cast<size_t>(n));
        }
        data_ = buffer_.data();
        size_ = buffer_.size();
    }
    if (!is_stdin)
        ::close(fd);
    return ok;
}

size_t skip_bom(const char *p, size_t n)
{
    return n >= 3 && !std::memcmp(p, "\xef\xbb\xbf", 3) ? 3 : 0;
}

namespace {

// Offset of the first '\n' at or after `from` that is followed by "From ",
// or `size`.  Sixteen bytes at a time: a '\n' whose next byte is 'F'.
size_t find_from_break(const char *p, size_t size, size_t from)
{
    size_t i = from;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n'), f = _mm_set1_epi8('F');
    for (; i + 17 <= size; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 1));
        auto m = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, nl), _mm_cmpeq_epi8(b, f))));
        for (; m; m &= m - 1) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(m));
            if (size - at >= 6 && !std::memcmp(p + at + 1, "From ", 5))
                return at;
        }
    }
#endif
    for (; i < size; ++i)
        if (p[i] == '\n' && size - i >= 6 && !std::memcmp(p + i + 1, "From ", 5))
            return i;
    return size;
}

} // namespace

size_t next_from_line(const char *p, size_t size, size_t origin, size_t from, size_t end)
{
    if (from >= end)
        return end;
    if ((from == origin || p[from - 1] == '\n') && size - from >= 5 && !std::memcmp(p + from, "From ", 5))
        return from;
    // A line start after `from` is a '\n' at or after `from`.
    size_t at = find_from_break(p, size, from);
    return at + 1 < end ? at + 1 : end;
}

bool looks_like_message(const char *p, size_t n)
{
    if (n >= 5 && !std::memcmp(p, "From ", 5))
        return true;
    size_t i = 0;
    while (i < n && i < 200) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c == ':')
            return i > 0;
        if (c <= 0x20 || c >= 0x7f)
            break;
        ++i;
    }
    // Trailing blanks before the colon are an old but harmless form.
    while (i < n && (p[i] == ' ' || p[i] == '\t'))
        ++i;
    return i > 0 && i < n && p[i] == ':' && !std::isspace(static_cast<unsigned char>(p[0]));
}

namespace {

bool is_dir(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Entry names of a directory, sorted; dot files left out.
bool list_dir(const std::string &path, std::vector<std::string> &names, std::string &error)
{
    DIR *d = ::opendir(path.c_str());
    if (!d) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    while (dirent *e = ::readdir(d))
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

struct Collector {
    const char *command;
    bool mbox;
    size_t chunk;
    std::vector<Item> &items;
    int status = kDone;

    void note(const std::string &text, int st)
    {
        std::fprintf(stderr, "ztmime %s: %s\n", command, text.c_str());
        status = std::max(status, st);
    }

    void add_file(const std::string &path, bool as_mbox, uint64_t bytes)
    {
        if (!as_mbox) {
            Item it;
            it.path = path;
            it.bytes = bytes;
            items.push_back(std::move(it));
            return;
        }
        auto src = std::make_shared<Source>();
        std::string error;
        if (!src->load(path, error)) {
            note(error, kFileError);
            return;
        }
        size_t size = src->size();
        size_t step = chunk ? chunk : size;
        for (size_t at = 0; at < size || at == 0; at += step) {
            Item it;
            it.path = path;
            it.mbox = true;
            it.source = src;
            it.begin = at;
            it.end = std::min(size, at + step);
            it.bytes = it.end - at;
            items.push_back(std::move(it));
            if (size == 0)
                break;
        }
    }

    void add_dir(const std::string &dir)
    {
        std::string error;
        bool maildir = is_dir(dir + "/cur") && is_dir(dir + "/new");
        std::vector<std::string> names;
        size_t before = items.size();
        if (maildir) {
            // tmp/ holds messages still being delivered: not read.
            for (const char *sub : {"/cur", "/new"}) {
                std::vector<std::string> here;
                if (!list_dir(dir + sub, here, error)) {
                    note(error, kFileError);
                    continue;
                }
                for (const std::string &n : here)
                    walk(dir + sub + "/" + n, false, false);
            }
        } else {
            if (!list_dir(dir, names, error)) {
                note(error, kFileError);
                return;
            }
            for (const std::string &n : names)
                walk(dir + (dir.back() == '/' ? "" : "/") + n, mbox, true);
        }
        if (items.size() == before)
            note(dir + ": no messages in this directory", kProblems);
    }

    // `nested`: found inside a directory, where other kinds of entries
    // (sockets, links to nowhere) are passed over quietly.
    void walk(const std::string &path, bool as_mbox, bool nested)
    {
        struct stat st {};
        if (path != "-" && ::stat(path.c_str(), &st) != 0) {
            if (!nested)
                note(path + ": " + std::strerror(errno), kFileError);
            return;
        }
        if (path != "-" && S_ISDIR(st.st_mode)) {
            add_dir(path);
            return;
        }
        if (path != "-" && !S_ISREG(st.st_mode) && nested)
            return;
        add_file(path, as_mbox, static_cast<uint64_t>(st.st_size));
    }
};

} // namespace

int collect_items(const char *command, const std::vector<std::string> &args, bool mbox, size_t chunk,
                  std::vector<Item> &items)
{
    Collector c{command, mbox, chunk, items};
    for (const std::string &a : args)
        c.walk(a, mbox, false);
    return c.status;
}
