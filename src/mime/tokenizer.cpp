// Header tokenizer: reads the main value, parameter names and values, and
// general tokens out of a structured header field body.  Every call removes
// what it read from the front of its source, so a caller walks a field body
// by calling these functions in turn on the same view.
#include <cerrno>
#include <cstddef>

#define ZT_MODULE "mime"

#include "common/error.h"
#include "common/handles.h"
#include "common/module.h"
#include "ztmime.h"
#include "ztview.h"

namespace {

constexpr int kSeekFront = 1;

// ---------------------------------------------------------------------------
// Byte classes
// ---------------------------------------------------------------------------

bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }

// ";" and the line breaks end a parameter value.
bool ends_value(unsigned char c) noexcept { return c == ';' || c == '\r' || c == '\n'; }

// A general token also ends at a blank.
bool ends_token(unsigned char c) noexcept { return ends_value(c) || is_blank(c); }

bool is_control(unsigned char c) noexcept { return c < 0x20 || c == 0x7f; }

// The tspecials of MIME parameter syntax.
bool is_special(unsigned char c) noexcept
{
    switch (c) {
    case '(': case ')': case '<': case '>': case '@': case ',': case ';': case ':':
    case '\\': case '"': case '/': case '[': case ']': case '?': case '=':
        return true;
    default:
        return false;
    }
}

void set_no_memory() noexcept
{
    zt_set_error("Unable allocate memory");
    errno = ENOMEM;
}

// ---------------------------------------------------------------------------
// Output handles
// ---------------------------------------------------------------------------

// Scanners append to the view behind the handle: the caller's view is
// emptied, a null handle receives a new view.
bool open_output(ztview **out) noexcept
{
    if (*out) {
        ztview_rewind(*out);
        return true;
    }
    *out = zt_view_new();
    if (*out)
        return true;
    set_no_memory();
    return false;
}

// A scan that could not run leaves no output behind, whoever made the view.
void drop_output(ztview **out) noexcept
{
    zt_view_free(*out);
    *out = nullptr;
}

// The value and name readers cut the leading run of `src` that holds none of
// the `stop` bytes into the handle's view (a new one when the handle is
// null).  On failure the handle is left as it was and nothing is consumed.
bool cut_run(ztview *src, ztview **out, const char *stop, size_t stoplen) noexcept
{
    if (*out)
        ztview_rewind(*out);
    size_t n = ztview_strcspn(src, stop, stoplen);
    ztview *v = zt_view_cut(src, *out, n);
    if (!v) {
        set_no_memory();
        return false;
    }
    *out = v;
    return true;
}

bool contains(const ztview *v, unsigned char c) noexcept { return ztview_find_byte(v, c) >= 0; }

// ---------------------------------------------------------------------------
// Scanner core shared by parameter values and general tokens
// ---------------------------------------------------------------------------

// Walks the source once with a byte iterator and hands its pieces over in
// whole runs.  What has been read and not yet applied lies at the source's
// front in three runs:
//
//     [ drop_ ][ keep_ ][ open_ ]  <- iterator position
//
// drop_ bytes are to be removed (blanks, closed comments, delimiters), keep_
// bytes are decided to be output, open_ bytes belong to a quoted string or
// comment whose fate is known only at its end.  Runs are applied with one
// seek or move each, and only when everything read so far is accounted for,
// so that the iterator restarts exactly at the first unread byte and no byte
// is read twice.
class Scanner {
  public:
    Scanner(ztview *src, ztview *out, ztiterator *it) noexcept : src_(src), out_(out), it_(it) {}

    bool next(unsigned char &c) noexcept { return ztiterator_inc(it_, &c) == 0; }

    // The byte just read is dropped; only while nothing is kept or open.
    void skip() noexcept { ++drop_; }
    // The byte just read belongs to the current atom.
    void take() noexcept { ++keep_; }
    // Number of atom bytes kept and not yet handed over.
    size_t kept() const noexcept { return keep_; }

    // Reads the rest of an open quoted string.  A backslash escapes exactly
    // the byte after it.  True when an unescaped double quote closed it.
    bool read_quoted() noexcept
    {
        unsigned char c;
        while (next(c)) {
            ++open_;
            if (c == '\\') {
                if (!next(c))
                    return false;
                ++open_;
            } else if (c == '"') {
                return true;
            }
        }
        return false;
    }

    // Reads the rest of an open comment; comments neither nest nor escape.
    // True when a ")" closed it.
    bool read_comment() noexcept
    {
        unsigned char c;
        while (next(c)) {
            ++open_;
            if (c == ')')
                return true;
        }
        return false;
    }

    // Reads a quoted string or a comment whose opening byte was just read
    // and applies it: a closed quoted string is handed over without its
    // quotes, a closed comment is dropped.
    enum Piece { kClosed, kUnclosed, kNoMemory };
    Piece piece(unsigned char opener) noexcept
    {
        open_ = 1;
        bool quoted = opener == '"';
        if (!(quoted ? read_quoted() : read_comment()))
            return kUnclosed;
        return (quoted ? deliver_quoted() : drop_comment()) ? kClosed : kNoMemory;
    }

    // Hands over the kept bytes, dropping the run before them and `trailing`
    // bytes after them; then restarts the iterator at the new front.
    bool commit(size_t trailing) noexcept
    {
        bool ok = apply(drop_, keep_, trailing);
        realign();
        return ok;
    }

    // The open comment is closed: it is removed with everything before it
    // that was to be dropped; kept bytes before it are handed over first.
    // While nothing is kept the comment simply joins the drop run.
    bool drop_comment() noexcept
    {
        if (keep_ == 0) {
            drop_ += open_;
            open_ = 0;
            return true;
        }
        return commit(open_);
    }

    // The open quoted string is closed: its content without the two quotes
    // is handed over, the quotes are dropped.
    bool deliver_quoted() noexcept
    {
        bool ok = apply(drop_, keep_, 1) && apply(0, open_ - 2, 1);
        realign();
        return ok;
    }

    // End of the data: whatever is kept or open is handed over as it stands,
    // which empties the source.
    bool finish() noexcept { return apply(drop_, keep_ + open_, 0); }

  private:
    bool seek(size_t n) noexcept { return n == 0 || ztview_seek(src_, n, kSeekFront) == 0; }

    bool move(size_t n) noexcept
    {
        return n == 0 || zt_view_move(out_, src_, n) != nullptr;
    }

    // Drop `lead` bytes, move `keep` bytes, drop `trail` bytes; two drops
    // with nothing between them are one seek.
    bool apply(size_t lead, size_t keep, size_t trail) noexcept
    {
        if (keep == 0)
            return seek(lead + trail);
        return seek(lead) && move(keep) && seek(trail);
    }

    void realign() noexcept
    {
        drop_ = keep_ = open_ = 0;
        ztiterator_reset(it_, 0);
    }

    ztview *src_;
    ztview *out_;
    ztiterator *it_;
    size_t drop_ = 0;
    size_t keep_ = 0;
    size_t open_ = 0;
};

// Records an invalid byte of a parameter value: the message names the last
// such byte, and the result stays -2 for the rest of the call.
void invalid(int &result, const char *fmt, unsigned char c) noexcept
{
    zt_set_error(fmt, static_cast<unsigned>(c));
    result = -2;
}

// Reads a parameter value after its "=": atoms and the contents of quoted
// strings joined, blanks between pieces and comments removed, up to ";", CR
// or LF.  False when a move ran out of memory.
bool scan_value(Scanner &sc, int &result) noexcept
{
    bool in_atom = false;
    unsigned char c;
    while (sc.next(c)) {
        if (ends_value(c)) {
            // An atom with bytes takes its terminator along; after a bare
            // comment the terminator stays for the caller.
            return sc.commit(!in_atom || sc.kept() ? 1 : 0);
        }
        if (c == '(' || (c == '"' && !in_atom)) {
            Scanner::Piece p = sc.piece(c);
            if (p == Scanner::kUnclosed)
                break;
            if (p == Scanner::kNoMemory)
                return false;
            // After a comment an atom goes on; a quoted string stands alone.
            in_atom = c == '(';
            continue;
        }
        if (is_blank(c)) {
            // Between pieces blanks are dropped; a blank ends an atom.
            if (!in_atom)
                sc.skip();
            else if (!sc.commit(1))
                return false;
            in_atom = false;
            continue;
        }
        if (is_control(c))
            invalid(result, in_atom ? "Invalid controll character '0x%x' inside MIME atom token"
                                    : "Invalid character '0x%x' inside MIME token", c);
        else if (in_atom && is_special(c))
            invalid(result, "Invalid special character '0x%x' inside MIME atom token", c);
        sc.take();
        in_atom = true;
    }
    return sc.finish();
}

// Reads one general token: a quoted string, or an atom from which comments
// are removed, ending before ";", CR, LF, SP or HT.  False when a move ran
// out of memory.
bool scan_token(Scanner &sc, int &kind) noexcept
{
    unsigned char c;
    kind = ZTMIME_TOKEN_NONE;
    if (!sc.next(c))
        return true;
    if (c == ';')
        return sc.commit(1);
    kind = c == '"' ? ZTMIME_TOKEN_QUOTED : ZTMIME_TOKEN_ATOM;
    for (;;) {
        if (c == '"' || c == '(') {
            Scanner::Piece p = sc.piece(c);
            if (p == Scanner::kUnclosed) {
                kind = c == '"' ? ZTMIME_TOKEN_QUOTED : ZTMIME_TOKEN_COMMENT;
                return sc.finish();
            }
            if (p == Scanner::kNoMemory || c == '"')
                return p == Scanner::kClosed;
        } else {
            sc.take();
        }
        // Inside an atom a double quote is an ordinary byte.
        do {
            if (!sc.next(c))
                return sc.finish();
            if (ends_token(c))
                return sc.commit(0);  // the terminator stays in the source
            if (c != '(')
                sc.take();
        } while (c != '(');
    }
}

// Runs one scan over what is left of src into the handle's view.  On
// failure the output is destroyed and the handle nulled.
template <class Scan> bool run_scanner(ztview *src, ztview **out, Scan scan) noexcept
{
    if (ztview_get_len(src) == 0)
        return true;
    IteratorHandle it(ztiterator_create(src));
    if (it) {
        Scanner sc(src, *out, it.get());
        if (scan(sc))
            return true;
    }
    drop_output(out);
    set_no_memory();
    return false;
}

// A byte that an atom value takes without a remark.
bool is_plain(unsigned char c) noexcept
{
    return !ends_value(c) && !is_blank(c) && !is_control(c) && !is_special(c);
}

// The common values, read off the first segment without the byte iterator:
// one atom of plain bytes, or one quoted string without a backslash, right
// before ";", CR, LF or the end of the source.  The result is the one the
// scanner gives: the value's bytes in *out, the value and its terminator
// gone from src.  Returns 1 when done, 0 when the scanner must read the
// value, -1 when the move ran out of memory (output dropped).
int quick_value(ztview *src, ztview **out) noexcept
{
    const unsigned char *p = nullptr;
    size_t n = 0;
    if (ztview_segment(src, 0, &p, &n) != 0 || n == 0)
        return 0;
    const bool whole = n == ztview_get_len(src);
    const bool quoted = p[0] == '"';
    size_t i = quoted ? 1 : 0;
    while (i < n && (quoted ? p[i] != '"' && p[i] != '\\' : is_plain(p[i])))
        ++i;
    size_t lead = 0, len = i, after = i;  // bytes dropped before, kept, the end
    if (quoted) {
        if (i == n || p[i] != '"')
            return 0;
        lead = 1;
        len = i - 1;
        after = i + 1;
    }
    if (after < n ? !ends_value(p[after]) : !whole)
        return 0;
    if (len == 0 && !quoted)
        return 0;
    size_t trail = after < n ? 1 : 0;
    if (lead)
        ztview_seek(src, lead, kSeekFront);
    if (len && !zt_view_move(*out, src, len)) {
        drop_output(out);
        set_no_memory();
        return -1;
    }
    ztview_seek(src, (quoted ? 1 : 0) + trail, kSeekFront);
    return 1;
}

} // namespace

// ---------------------------------------------------------------------------
// Exported calls
// ---------------------------------------------------------------------------

extern "C" int ztmime_header_get_value(ztview *src, ztview **out) noexcept
{
    if (!out)
        return -1;
    ztview_skip_while(src, "\n\r \t");
    if (!cut_run(src, out, "\n\r \t;", 5))
        return -1;

    const char *fmt = nullptr;
    if (contains(*out, '"'))
        fmt = "Header value contains invalid double quote character '%s'";
    else if (contains(*out, '('))
        fmt = "Header value contains comments'%s'";
    if (!fmt)
        return 0;
    zt_set_error(fmt, ztview_copy_data_escaped(*out, 1, 0));
    ztview_rewind(*out);
    return -1;
}

extern "C" int ztmime_header_get_attribute_name(ztview *src, ztview **out) noexcept
{
    if (!out)
        return -1;
    ztview_skip_while(src, ";\n\r \t");
    if (!cut_run(src, out, "=; \t\n\r", 6))
        return -1;

    if (ztview_get_len(*out) == 0) {
        zt_set_error("Attribute name is empty");
        return -2;
    }
    if (contains(*out, '"')) {
        zt_set_error("Attribute contains invalid double quote character '%s'",
                     ztview_copy_data_escaped(*out, 1, 0));
        return -2;
    }
    return 0;
}

extern "C" int ztmime_header_get_attribute_value(ztview *src, ztview **out) noexcept
{
    if (!out || !open_output(out))
        return -1;
    ztview_skip_while(src, "\n\r \t");
    if (ztview_getchar(src) != '=') {
        zt_set_error("Invalid attribute. character '=' expected");
        return -2;
    }
    // Only blanks: a line break right after the "=" ends the value.
    ztview_skip_while(src, " \t");
    if (int q = quick_value(src, out))
        return q > 0 ? 0 : -1;
    int result = 0;
    if (!run_scanner(src, out, [&result](Scanner &sc) { return scan_value(sc, result); }))
        return -1;
    return result;
}

extern "C" int ztmime_header_get_token(ztview *src, ztview **out, int *kind) noexcept
{
    if (!out || !open_output(out))
        return -1;
    ztview_skip_while(src, "\n\r \t");
    int found = ZTMIME_TOKEN_NONE;
    if (!run_scanner(src, out, [&found](Scanner &sc) { return scan_token(sc, found); }))
        return -1;
    if (kind)
        *kind = found;
    return 0;
}
