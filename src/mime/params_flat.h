// Structured field bodies read over contiguous bytes.
//
// The usual Content-* field arrives as one segment with plain values: a
// main value of token bytes, then "name=value" parameters whose values are
// atoms or quoted strings without escapes.  These readers take exactly the
// steps the view tokenizer takes on such a field and give the same pieces
// with plain pointer code.  Anything else (a comment, an escape, a value
// the tokenizer would remark on, an empty name) makes them answer
// "irregular", and the caller reads the field through the tokenizer, which
// owns the messages and results for those cases.
#pragma once

#include <cstddef>
#include <cstring>

namespace ztmime_params {

struct Span {
    const unsigned char *p;
    size_t n;
};

inline bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }
inline bool is_break(unsigned char c) noexcept { return c == '\r' || c == '\n'; }
inline bool is_white(unsigned char c) noexcept { return is_blank(c) || is_break(c); }
// ";" and the line breaks end a parameter value.
inline bool ends_value(unsigned char c) noexcept { return c == ';' || is_break(c); }

// A byte an unquoted value takes without a remark: no terminator, blank,
// control byte or tspecial.
inline bool is_plain(unsigned char c) noexcept
{
    if (c < 0x20 || c == 0x7f || c == ' ')
        return false;
    switch (c) {
    case '(': case ')': case '<': case '>': case '@': case ',': case ';': case ':':
    case '\\': case '"': case '/': case '[': case ']': case '?': case '=':
        return false;
    default:
        return true;
    }
}

// ASCII case-insensitive equality of n bytes against lower-case text.
inline bool equal_lower(const unsigned char *p, const char *lower, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c | 0x20);
        if (c != static_cast<unsigned char>(lower[i]))
            return false;
    }
    return true;
}

inline bool is_name(Span name, const char *lower, size_t n) noexcept
{
    return name.n == n && equal_lower(name.p, lower, n);
}

enum class Read { kDone, kParam, kIrregular };

// A cursor over a field body.
class Cursor {
  public:
    Cursor(const unsigned char *p, const unsigned char *end) noexcept : p_(p), end_(end) {}

    bool at_end() const noexcept { return p_ == end_; }

    void skip_white() noexcept
    {
        while (p_ < end_ && is_white(*p_))
            ++p_;
    }

    void skip_white_and_semicolons() noexcept
    {
        while (p_ < end_ && (is_white(*p_) || *p_ == ';'))
            ++p_;
    }

    // The main value: the run up to a blank, a line break or ";", after
    // leading white space.  Irregular when it holds a double quote or a
    // comment opener (the tokenizer refuses those).
    bool main_value(Span *out) noexcept
    {
        skip_white();
        const unsigned char *s = p_;
        while (p_ < end_ && !is_white(*p_) && *p_ != ';')
            ++p_;
        *out = {s, static_cast<size_t>(p_ - s)};
        return !std::memchr(s, '"', out->n) && !std::memchr(s, '(', out->n);
    }

    // The next parameter; `semicolon_after` tells whether ";" belongs to
    // the separators dropped after a value.
    Read param(Span *name, Span *value, bool semicolon_after) noexcept
    {
        if (at_end())
            return Read::kDone;
        skip_white_and_semicolons();
        const unsigned char *s = p_;
        while (p_ < end_ && !is_white(*p_) && *p_ != ';' && *p_ != '=')
            ++p_;
        *name = {s, static_cast<size_t>(p_ - s)};
        if (name->n == 0 || std::memchr(s, '"', name->n))
            return Read::kIrregular;
        skip_white();
        if (at_end() || *p_ != '=')
            return Read::kIrregular;
        ++p_;
        while (p_ < end_ && is_blank(*p_))
            ++p_;
        if (!read_value(value))
            return Read::kIrregular;
        while (p_ < end_ && (is_white(*p_) || (semicolon_after && *p_ == ';')))
            ++p_;
        return Read::kParam;
    }

  private:
    // One atom of plain bytes, or one quoted string without a backslash,
    // right before ";", a line break or the end; the terminator is taken.
    bool read_value(Span *value) noexcept
    {
        if (at_end())
            return false;
        const unsigned char *s = p_, *e;
        if (*s == '"') {
            const unsigned char *q = s + 1;
            while (q < end_ && *q != '"' && *q != '\\')
                ++q;
            if (q == end_ || *q != '"')
                return false;
            *value = {s + 1, static_cast<size_t>(q - s - 1)};
            e = q + 1;
        } else {
            e = s;
            while (e < end_ && is_plain(*e))
                ++e;
            if (e == s)
                return false;
            *value = {s, static_cast<size_t>(e - s)};
        }
        if (e < end_) {
            if (!ends_value(*e))
                return false;
            ++e;
        }
        p_ = e;
        return true;
    }

    const unsigned char *p_;
    const unsigned char *end_;
};

} // namespace ztmime_params
