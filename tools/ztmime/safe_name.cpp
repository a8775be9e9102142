#include "safe_name.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8_len(std::string_view s, size_t i)
{
    auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned min;
    if (c < 0x80)
        return 1;
    if ((c & 0xe0) == 0xc0) {
        n = 2;
        min = 0x80;
    } else if ((c & 0xf0) == 0xe0) {
        n = 3;
        min = 0x800;
    } else if ((c & 0xf8) == 0xf0) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    unsigned cp = c & (0x7fu >> n);
    for (size_t k = 1; k < n; ++k) {
        auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (d & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

// Cuts `s` to `max` bytes at a character boundary, keeping a short
// extension at the end.
std::string shorten(const std::string &s, size_t max)
{
    if (s.size() <= max)
        return s;
    std::string ext;
    size_t dot = s.rfind('.');
    if (dot != std::string::npos && dot > 0 && s.size() - dot <= 16)
        ext = s.substr(dot);
    size_t keep = max - ext.size();
    while (keep > 0 && (static_cast<unsigned char>(s[keep]) & 0xc0) == 0x80)
        --keep;
    return s.substr(0, keep) + ext;
}

} // namespace

std::string safe_file_name(std::string_view raw, std::string_view fallback, size_t max_len)
{
    size_t cut = raw.find_last_of("/\\");
    if (cut != std::string_view::npos)
        raw.remove_prefix(cut + 1);
    std::string name;
    name.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        size_t n = utf8_len(raw, i);
        auto c = static_cast<unsigned char>(raw[i]);
        if (n == 0 || c < 0x20 || c == 0x7f) {
            name += '_';
            i += n ? n : 1;
        } else {
            name.append(raw.substr(i, n));
            i += n;
        }
    }
    // Surrounding blanks are invisible in listings.
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    size_t lead = name.find_first_not_of(' ');
    name.erase(0, lead == std::string::npos ? name.size() : lead);
    if (name.find_first_not_of('.') == std::string::npos)
        return std::string(fallback);
    if (name[0] == '-')
        name[0] = '_';
    return shorten(name, max_len);
}

OutputDir::~OutputDir()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int OutputDir::open(const char *path)
{
    if (::mkdir(path, 0777) != 0 && errno != EEXIST)
        return -1;
    fd_ = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd_ < 0 ? -1 : 0;
}

int OutputDir::create(const std::string &name, std::string &used)
{
    std::string stem = name, ext;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        stem = name.substr(0, dot);
        ext = name.substr(dot);
    }
    unsigned &next = next_[name];
    for (;;) {
        used = next == 0 ? name : stem + "-" + std::to_string(next) + ext;
        // O_EXCL with O_CREAT refuses any existing entry, a link included
        // (even one pointing nowhere), and O_NOFOLLOW says so twice.
        int fd = ::openat(fd_, used.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        ++next;
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
}
