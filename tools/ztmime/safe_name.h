// File names for extracted parts: a name from a mail message is whatever its
// sender wrote, so it is reduced to a plain base name before use, and files
// are only ever created inside one directory, never over an existing file
// or through a link.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

// The part of `raw` after its last "/" or "\", with control bytes, invalid
// UTF-8 and a leading "-" replaced by "_", cut to at most `max_len` bytes at a
// character boundary (the extension is kept).  "", "." and ".." (and names
// made only of dots) become `fallback`.
std::string safe_file_name(std::string_view raw, std::string_view fallback, size_t max_len = 200);

// A directory that files are created in, by name relative to its descriptor.
class OutputDir {
public:
    OutputDir() = default;
    OutputDir(const OutputDir &) = delete;
    OutputDir &operator=(const OutputDir &) = delete;
    ~OutputDir();

    // Opens `path`, creating it (one level) when missing.  -1 with errno.
    int open(const char *path);

    // Creates a new file for `name` (already safe): "name", else
    // "stem-1.ext", "stem-2.ext", ... for the first name not taken.  A link
    // or anything else already in the directory counts as taken.  Returns
    // the open descriptor and sets `used`, or -1 with errno.
    int create(const std::string &name, std::string &used);

private:
    int fd_ = -1;
    std::unordered_map<std::string, unsigned> next_;  // counter to try next per name
};
