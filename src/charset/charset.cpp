// Charset conversion to UTF-8.
//
// Opening an iconv converter is cheap while one charset is in use but costs
// tens of microseconds when several alternate (the C library tears down and
// reloads its conversion modules), so converters stay open in a small cache
// keyed by charset name and are reset to their initial state before each
// use.  ISO-8859-1 is a fixed mapping and is converted by hand; UTF-8 and
// ASCII text that is already valid is copied.  Every shortcut gives exactly
// the bytes the iconv call would have given.
#define ZT_MODULE "encode"

#include "charset/charset.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

#include "ztmime.h"

namespace zt_charset {
namespace {

const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
constexpr int kSlots = 8;
constexpr size_t kNameMax = 48;

struct Slot {
    char name[kNameMax];
    iconv_t cd;          // kNone: the name is known not to open
    unsigned long used;  // last use, for eviction
    bool live;
    bool busy;
};

// Each thread has a cache of its own (an iconv descriptor must not be used
// by two threads at once); its converters stay open for the life of the
// thread and are closed when it ends (or when a slot is reused).
struct Cache {
    Slot slots[kSlots] = {};
    unsigned long clock = 0;
    void clear() noexcept
    {
        for (Slot &s : slots) {
            if (s.live && !s.busy) {
                if (s.cd != kNone)
                    iconv_close(s.cd);
                s = Slot{};
            }
        }
    }
    ~Cache() { clear(); }
};

thread_local Cache cache;

bool is_latin1(const char *cs) noexcept
{
    return !strcasecmp(cs, "ISO-8859-1") || !strcasecmp(cs, "ISO8859-1") ||
           !strcasecmp(cs, "ISO_8859-1") || !strcasecmp(cs, "LATIN1");
}

bool is_utf8(const char *cs) noexcept { return !strcasecmp(cs, "UTF-8") || !strcasecmp(cs, "UTF8"); }

bool is_ascii(const char *cs) noexcept { return !strcasecmp(cs, "US-ASCII") || !strcasecmp(cs, "ASCII"); }

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF): exactly what the converter passes through unchanged.
bool valid_utf8(const unsigned char *p, size_t n) noexcept
{
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0)
                lo = 0xA0;
            else if (c == 0xED)
                hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0)
                lo = 0x90;
            else if (c == 0xF4)
                hi = 0x8F;
        } else {
            return false;
        }
        if (n - i - 1 < need)
            return false;
        if (p[i + 1] < lo || p[i + 1] > hi)
            return false;
        for (size_t k = 2; k <= need; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += need + 1;
    }
    return true;
}

bool all_ascii(const unsigned char *p, size_t n) noexcept
{
    unsigned char acc = 0;
    for (size_t i = 0; i < n; ++i)
        acc |= p[i];
    return acc < 0x80;
}

// Copies up to the first NUL; returns the bytes copied.
size_t copy_to_nul(const unsigned char *in, size_t n, unsigned char *out) noexcept
{
    const void *z = std::memchr(in, 0, n);
    size_t m = z ? static_cast<size_t>(static_cast<const unsigned char *>(z) - in) : n;
    std::memcpy(out, in, m);
    return m;
}

// The shortcuts: 1 with the text in out, 0 when iconv must do the work.
int convert_by_hand(const char *cs, const unsigned char *in, size_t n, unsigned char *out,
                    size_t *len) noexcept
{
    if (is_latin1(cs)) {
        *len = latin1_to_utf8(in, n, out);
        return 1;
    }
    if ((is_utf8(cs) && valid_utf8(in, n)) || (is_ascii(cs) && all_ascii(in, n))) {
        *len = copy_to_nul(in, n, out);
        return 1;
    }
    return 0;
}

// Where one conversion stands in its input and output buffers.
class Cursor {
  public:
    Cursor(const unsigned char *in, size_t n, unsigned char *out, size_t cap) noexcept
        : in_(in), n_(n), out_(out), cap_(cap)
    {
        rewind();
    }
    // Back to the start of both buffers; the output is not cleared.
    void rewind() noexcept
    {
        ip = const_cast<char *>(reinterpret_cast<const char *>(in_));
        il = n_;
        op = reinterpret_cast<char *>(out_);
        ol = cap_;
    }
    // One iconv call over what is left; true when all of it converted.
    bool run(iconv_t cd) noexcept { return iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1); }

    char *ip;
    size_t il;
    char *op;
    size_t ol;

  private:
    const unsigned char *in_;
    size_t n_;
    unsigned char *out_;
    size_t cap_;
};

size_t text_length(const unsigned char *out, size_t cap) noexcept { return cap ? strnlen(reinterpret_cast<const char *>(out), cap) : 0; }

} // namespace

Converter::Converter(const char *from) noexcept : cd_(kNone), slot_(-1), own_(false)
{
    size_t len = std::strlen(from);
    if (len < kNameMax) {
        for (int i = 0; i < kSlots; ++i) {
            Slot &s = cache.slots[i];
            if (!s.live || std::strcmp(s.name, from))
                continue;
            if (s.busy)
                break;  // held by the caller already: open a private one
            s.busy = true;
            s.used = ++cache.clock;
            slot_ = i;
            cd_ = s.cd;
            if (cd_ != kNone)
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            return;
        }
    }
    iconv_t cd = iconv_open("UTF-8", from);
    if (cd == kNone && errno == EINVAL) {
        if (const char *known = known_name(from))
            cd = iconv_open("UTF-8", known);
    }
    // Remember a name the converter refuses, but not a passing failure
    // (out of memory, too many open files).
    bool cacheable = len < kNameMax && (cd != kNone || errno == EINVAL);
    int victim = -1;
    if (cacheable) {
        for (int i = 0; i < kSlots; ++i) {
            const Slot &s = cache.slots[i];
            if (s.busy)
                continue;
            if (!s.live) {
                victim = i;
                break;
            }
            if (victim < 0 || s.used < cache.slots[victim].used)
                victim = i;
        }
    }
    if (victim < 0) {
        cd_ = cd;
        own_ = true;
        return;
    }
    Slot &s = cache.slots[victim];
    if (s.live && s.cd != kNone)
        iconv_close(s.cd);
    std::memcpy(s.name, from, len + 1);
    s.cd = cd;
    s.live = true;
    s.busy = true;
    s.used = ++cache.clock;
    slot_ = victim;
    cd_ = cd;
}

Converter::~Converter()
{
    if (own_ && cd_ != kNone)
        iconv_close(cd_);
    if (slot_ >= 0)
        cache.slots[slot_].busy = false;
}

void cache_clear() noexcept { cache.clear(); }

size_t latin1_to_utf8(const unsigned char *in, size_t n, unsigned char *out) noexcept
{
    unsigned char *o = out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = in[i];
        if (c < 0x80) {
            if (c == 0)
                break;
            *o++ = c;
        } else {
            *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return static_cast<size_t>(o - out);
}

int convert_word(const char *charset, const unsigned char *in, size_t n, unsigned char *out,
                 size_t cap, size_t *len) noexcept
{
    if (convert_by_hand(charset, in, n, out, len))
        return 1;
    Converter declared(charset);
    if (!declared.ok())
        return 0;
    Cursor c(in, n, out, cap);
    bool retry = true;
    while (c.il > 0) {
        if (c.run(declared.get()))
            break;
        if (retry) {
            // Once per word: convert again from the start under each alias
            // of the declared name.  The output is not cleared in between.
            retry = false;
            bool done = false;
            for (const ztmime_alias *a = aliases; a->name && !done; ++a) {
                if (strcasecmp(a->name, charset))
                    continue;
                c.rewind();
                if (!a->target)
                    continue;
                Converter alt(a->target);
                done = alt.ok() && c.run(alt.get());
            }
            if (done)
                break;
        }
        // The byte that failed stands as "?"; never write past the buffer.
        if (c.ol == 0)
            break;
        *c.op++ = '?';
        --c.ol;
        ++c.ip;
        --c.il;
    }
    *len = text_length(out, cap);
    return 1;
}

int convert_once(const char *charset, const unsigned char *in, size_t n, unsigned char *out,
                 size_t cap, size_t *len) noexcept
{
    if (is_latin1(charset)) {
        *len = latin1_to_utf8(in, n, out);
        return 1;
    }
    Converter conv(charset);
    if (!conv.ok())
        return 0;
    Cursor c(in, n, out, cap);
    if (n > 0)
        c.run(conv.get());
    *len = text_length(out, cap);
    return 1;
}

} // namespace zt_charset
