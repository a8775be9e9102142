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

// Byte classes, one table lookup per byte in the scanning loops.
enum : unsigned char {
    kBlank = 1,       // SP, HT
    kBreak = 2,       // CR, LF
    kSemicolon = 4,
    kEquals = 8,
    kQuoteEnd = 16,   // a double quote or a backslash ends a quoted run
    kPlain = 32,      // taken by an unquoted value without a remark
    kRefused = 64,    // a double quote or "(": the tokenizer remarks on it
                      // in a main value, a double quote in a name
};
constexpr unsigned char kWhite = kBlank | kBreak;

// A plain byte is none of: terminator, blank, control byte, tspecial.
constexpr unsigned char class_of(unsigned char c) noexcept
{
    if (c == ' ' || c == '\t')
        return kBlank;
    if (c == '\r' || c == '\n')
        return kBreak;
    if (c == ';')
        return kSemicolon;
    if (c == '=')
        return kEquals;
    if (c == '"')
        return kQuoteEnd | kRefused;
    if (c == '\\')
        return kQuoteEnd;
    if (c == '(')
        return kRefused;
    if (c < 0x20 || c == 0x7f)
        return 0;
    for (const char *t = "()<>@,:/[]?"; *t; ++t)
        if (c == static_cast<unsigned char>(*t))
            return 0;
    return kPlain;
}

struct ClassTable {
    unsigned char at[256];
    constexpr ClassTable() noexcept : at()
    {
        for (int c = 0; c < 256; ++c)
            at[c] = class_of(static_cast<unsigned char>(c));
    }
};
inline constexpr ClassTable kClasses{};

inline bool is_white(unsigned char c) noexcept { return kClasses.at[c] & kWhite; }

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

    void skip_white() noexcept { skip(kWhite); }
    void skip_white_and_semicolons() noexcept { skip(kWhite | kSemicolon); }

    // The main value: the run up to a blank, a line break or ";", after
    // leading white space.  Irregular when it holds a double quote or a
    // comment opener (the tokenizer refuses those).
    bool main_value(Span *out) noexcept
    {
        skip_white();
        const unsigned char *s = p_;
        unsigned char seen = 0;
        for (unsigned char k; p_ < end_ && !((k = kClasses.at[*p_]) & (kWhite | kSemicolon)); ++p_)
            seen |= k;
        *out = {s, static_cast<size_t>(p_ - s)};
        return !(seen & kRefused);
    }

    // The next parameter; `semicolon_after` tells whether ";" belongs to
    // the separators dropped after a value.
    Read param(Span *name, Span *value, bool semicolon_after) noexcept
    {
        if (at_end())
            return Read::kDone;
        skip_white_and_semicolons();
        const unsigned char *s = p_;
        unsigned char seen = 0;
        for (unsigned char k; p_ < end_ && !((k = kClasses.at[*p_]) & (kWhite | kSemicolon | kEquals)); ++p_)
            seen |= k;
        *name = {s, static_cast<size_t>(p_ - s)};
        // A "(" is an ordinary byte in a name; only a double quote is not.
        if (name->n == 0 || ((seen & kRefused) && std::memchr(s, '"', name->n)))
            return Read::kIrregular;
        skip_white();
        if (at_end() || *p_ != '=')
            return Read::kIrregular;
        ++p_;
        skip(kBlank);
        if (!read_value(value))
            return Read::kIrregular;
        skip(semicolon_after ? kWhite | kSemicolon : kWhite);
        return Read::kParam;
    }

  private:
    void skip(unsigned char classes) noexcept
    {
        while (p_ < end_ && (kClasses.at[*p_] & classes))
            ++p_;
    }

    // One atom of plain bytes, or one quoted string without a backslash,
    // right before ";", a line break or the end; the terminator is taken.
    bool read_value(Span *value) noexcept
    {
        if (at_end())
            return false;
        const unsigned char *s = p_, *e;
        if (*s == '"') {
            const unsigned char *q = s + 1;
            while (q < end_ && !(kClasses.at[*q] & kQuoteEnd))
                ++q;
            if (q == end_ || *q != '"')
                return false;
            *value = {s + 1, static_cast<size_t>(q - s - 1)};
            e = q + 1;
        } else {
            e = s;
            while (e < end_ && (kClasses.at[*e] & kPlain))
                ++e;
            if (e == s)
                return false;
            *value = {s, static_cast<size_t>(e - s)};
        }
        if (e < end_) {
            if (!(kClasses.at[*e] & (kSemicolon | kBreak)))
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
