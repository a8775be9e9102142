// Charset conversion to UTF-8 shared by the encoded-word decoder and the
// header code: a small cache of open iconv converters, hand-written paths
// for the charsets that need no table, and the two conversion recipes the
// library uses (per encoded word, and one-shot for extended file names).
#pragma once

#include <cstddef>
#include <cstdint>

#include <iconv.h>

namespace zt_charset {

// A converter from `from` to "UTF-8", taken from the cache (or opened for
// this use when the name is too long to be cached or its slot is in use),
// reset to its initial shift state.  Released, not closed, by the
// destructor; converters are closed when evicted and when their thread
// ends.
class Converter {
  public:
    explicit Converter(const char *from) noexcept;
    ~Converter();
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const noexcept { return cd_; }

  private:
    iconv_t cd_;
    int slot_;  // cache slot held, or -1
    bool own_;  // opened for this use only: closed by the destructor
};

// Appends ISO-8859-1 text as UTF-8 to out (room for 2 * n bytes), stopping
// at the first NUL byte; returns the bytes written.
size_t latin1_to_utf8(const unsigned char *in, size_t n, unsigned char *out) noexcept;

// Converts the n decoded bytes of one encoded word from `charset` into
// out, which holds cap = 5 * n zero bytes: one iconv pass, the single
// alias retry, and a "?" for every byte that still fails.  Returns 1 with
// the text (up to its first NUL) in out[0, *len), or 0 when the charset
// cannot be opened (out untouched).
int convert_word(const char *charset, const unsigned char *in, size_t n, unsigned char *out,
                 size_t cap, size_t *len) noexcept;

// One iconv call from `charset` over n bytes into out, which holds cap =
// 5 * n zero bytes; the result is not examined.  Returns 1 with the text up
// to its first NUL in out[0, *len), or 0 when the charset cannot be opened.
int convert_once(const char *charset, const unsigned char *in, size_t n, unsigned char *out,
                 size_t cap, size_t *len) noexcept;

// Value of a hexadecimal digit (either case) in the escapes that come
// before a conversion (Q text, RFC 2231 percent escapes); -1 for any other
// byte.
inline int hex_digit(int c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The name the C library's iconv knows for a charset name it rejects but
// GNU libiconv or common mail programs use (ks_c_5601-1987, x-sjis, ...);
// null when there is none.  Case is ignored.
const char *known_name(const char *name) noexcept;

// The table behind known_name, for the tests: entry i's name, with its
// target in *target; null past the end.
size_t known_name_count() noexcept;
const char *known_name_at(size_t i, const char **target) noexcept;

// Test hook: closes every cached converter of the calling thread.
void cache_clear() noexcept;

} // namespace zt_charset
