// Header blocks of the reader: the raw fields of a block, their values
// decoded to UTF-8 when the host asks for them, and the facts of a part
// (content type, charset, disposition, file name) read from its block.
#define ZT_MODULE "reader"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <strings.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/handles.h"
#include "common/module.h"
#include "destroy_each.h"
#include "front_segment.h"
#include "mime/params_flat.h"
#include "reader/reader.h"
#include "view_peek.h"

namespace zt_reader {

bool HeaderBlock::add(ztview *field) noexcept
{
    Front f;
    f.len = _ztview_front_segment(field, &f.p, &f.n, &f.segments);
    return add(field, f);
}

bool HeaderBlock::add_general(ztview *field, const Front &front) noexcept
{
    // The field's length, last byte and first bytes: straight from its one
    // segment as a rule, else gathered from its segments.
    unsigned char head[24];
    const unsigned char *p = front.p;
    size_t n, segments = front.segments, len = front.len;
    unsigned char last = 0;
    Field kept{field, nullptr, 0};
    if (segments == 1 && len) {
        last = p[len - 1];
        kept.p = p, kept.n = len;
        n = std::min(len, sizeof head);
    } else {
        if (len)
            ztview_getnchar(field, len - 1, &last);
        n = 0;
        const unsigned char *seg;
        size_t sl;
        for (size_t s = 0; n < sizeof head && ztview_segment(field, s, &seg, &sl) == 0; ++s) {
            size_t k = std::min(sl, sizeof head - n);
            std::memcpy(head + n, seg, k);
            n += k;
        }
        p = head;
    }
    last_ended = last == '\n';
    ++seen;
    if (count >= kMaxFields || len > kMaxBlockBytes - bytes) {
        problems |= ZTMIME_PROBLEM_HEADER;
        zt_view_free(field);
        return true;
    }
    // Written member by member: a whole-record copy from the stack would
    // wait for the separate stores that made it.
    if (!fields.reserve(sizeof kept))
        return false;
    unsigned char *slot = fields.p + fields.n;
    std::memcpy(slot + offsetof(Field, view), &kept.view, sizeof kept.view);
    std::memcpy(slot + offsetof(Field, p), &kept.p, sizeof kept.p);
    std::memcpy(slot + offsetof(Field, n), &kept.n, sizeof kept.n);
    fields.n += sizeof kept;
    ++count;
    ++views;
    bytes += len;
    if (n > 12 && lower(p[0]) == 'c')
        note_content(p, n);
    return true;
}

bool HeaderBlock::make_hold() noexcept
{
    return hold || (hold = zt_view_new());
}

void HeaderBlock::note_content(const unsigned char *p, size_t n) noexcept
{
    // The first Content-Type and Content-Disposition fields are the ones
    // that count; the name and what may follow it lie in the first 24 bytes.
    n = std::min<size_t>(n, 24);
    if (n < 8)
        return;
    // "content-" in one word: a byte ORed with 0x20 is one of its letters
    // only when it is that letter in either case; the '-' is compared as it is.
    uint64_t w, want;
    std::memcpy(&w, p, 8);
    std::memcpy(&want, "content-", 8);
    if ((w | 0x2020202020202020u) != want || p[7] != '-')
        return;
    size_t k = iprefix(p + 8, n - 8, "type") ? 12 : iprefix(p + 8, n - 8, "disposition") ? 19 : 0;
    while (k && k < n && (p[k] == ' ' || p[k] == '\t'))
        ++k;
    if (k && k < n && p[k] == ':') {
        size_t &slot = lower(p[8]) == 't' ? ct_index : cd_index;
        if (!slot)
            slot = count;
    }
}

void HeaderBlock::clear() noexcept
{
    // One call for the block: the views are the first member of each record.
    static_assert(offsetof(Field, view) == 0);
    if (views)
        _ztview_destroy_each(fields.p, count, sizeof(Field));
    if (hold)
        _ztview_release_all(hold);
    fields.clear();
    count = seen = views = bytes = 0;
    problems = 0;
    last_ended = true;
    ct_index = cd_index = 0;
}

void HeaderBlock::release() noexcept
{
    clear();
    fields.release();
    zt_view_free(hold);
    hold = nullptr;
}

namespace {

void lower_in_place(unsigned char *p, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i)
        p[i] = lower(p[i]);
}

// Room copy_lower needs at d beyond the n bytes it copies.
constexpr size_t kLowerSlack = 16;

// Copies p[0, n) to d in lower case (ASCII letters only).  Returns 1 + the
// place of the first `mark` byte, 0 when there is none; *nul tells whether
// a NUL byte was among them.  d must have room for n + kLowerSlack bytes:
// the bytes past n are written over.
size_t copy_lower(unsigned char *d, const unsigned char *p, size_t n, unsigned char mark, bool *nul) noexcept
{
#if defined(__SSE2__)
    // The last round reads bytes past n: zeros, so that nothing reads
    // bytes never written.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + (n & ~size_t(15))), _mm_setzero_si128());
    if (n >= 8 && n <= 16) {
        // The usual short texts: two moves that may overlap, no call.
        uint64_t head, tail;
        std::memcpy(&head, p, 8);
        std::memcpy(&tail, p + n - 8, 8);
        std::memcpy(d, &head, 8);
        std::memcpy(d + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        std::memcpy(d, &head, 4);
        std::memcpy(d + n - 4, &tail, 4);
    } else if (n) {
        std::memcpy(d, p, n);
    }
    const __m128i a = _mm_set1_epi8(static_cast<char>('A' + 128)), span = _mm_set1_epi8(static_cast<char>(-128 + 26));
    const __m128i bit = _mm_set1_epi8(0x20), m = _mm_set1_epi8(static_cast<char>(mark)), zero = _mm_setzero_si128();
    size_t first = 0;
    unsigned zeros = 0;
    for (size_t i = 0; i < n; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
        // Letters A to Z are the bytes below -128 + 26 once 'A' + 128 is
        // taken off (signed).
        __m128i upper = _mm_cmplt_epi8(_mm_sub_epi8(x, a), span);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i), _mm_or_si128(x, _mm_and_si128(upper, bit)));
        const unsigned keep = n - i >= 16 ? 0xffffu : (1u << (n - i)) - 1;
        const unsigned marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, m))) & keep;
        zeros |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, zero))) & keep;
        if (marks && !first)
            first = i + static_cast<size_t>(__builtin_ctz(marks)) + 1;
    }
    *nul = zeros != 0;
    return first;
#else
    size_t first = 0;
    bool z = false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        d[i] = lower(c);
        if (c == mark && !first)
            first = i + 1;
        z |= c == 0;
    }
    *nul = z;
    return first;
#endif
}

bool blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }

int hex(unsigned char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The body of a field: what follows its first colon.
const unsigned char *field_body(const unsigned char *p, size_t n, size_t *len) noexcept
{
    const void *colon = std::memchr(p, ':', n);
    size_t skip = colon ? static_cast<size_t>(static_cast<const unsigned char *>(colon) - p) + 1 : n;
    *len = n - skip;
    return p + skip;
}

} // namespace

bool Params::add(const unsigned char *name, size_t nl, const unsigned char *value, size_t vl) noexcept
{
    if (!list.reserve(2 * sizeof(size_t) + nl + vl))
        return false;
    // Through a local pointer: stores of bytes could alias the buffer's
    // own members and make the compiler reload them for every byte.
    unsigned char *d = list.p + list.n;
    std::memcpy(d, &nl, sizeof nl);
    d += sizeof nl;
    for (size_t i = 0; i < nl; ++i)
        d[i] = lower(name[i]);
    d += nl;
    std::memcpy(d, &vl, sizeof vl);
    d += sizeof vl;
    if (vl)
        std::memcpy(d, value, vl);
    list.n = static_cast<size_t>(d + vl - list.p);
    return true;
}

bool Params::add(const ztview *name, const ztview *value) noexcept
{
    size_t nl = ztview_get_len(name), vl = ztview_get_len(value);
    if (!list.reserve(2 * sizeof(size_t) + nl + vl))
        return false;
    list.append(&nl, sizeof nl);
    size_t at = list.n;
    list.append_view(name);
    for (size_t i = at; i < list.n; ++i)
        list.p[i] = lower(list.p[i]);
    list.append(&vl, sizeof vl);
    list.append_view(value);
    return true;
}

bool Params::any(const char *base) const noexcept
{
    size_t k = std::strlen(base);
    for (size_t at = 0; at < list.n;) {
        size_t nl, vl;
        std::memcpy(&nl, list.p + at, sizeof nl);
        const unsigned char *np = list.p + at + sizeof nl;
        if (nl >= k && std::memcmp(np, base, k) == 0)
            return true;
        std::memcpy(&vl, np + nl, sizeof vl);
        at += 2 * sizeof(size_t) + nl + vl;
    }
    return false;
}

const unsigned char *Params::get(const char *name, size_t *len) const noexcept
{
    size_t k = std::strlen(name);
    for (size_t at = 0; at < list.n;) {
        size_t nl, vl;
        std::memcpy(&nl, list.p + at, sizeof nl);
        const unsigned char *np = list.p + at + sizeof nl;
        std::memcpy(&vl, np + nl, sizeof vl);
        const unsigned char *vp = np + nl + sizeof vl;
        if (nl == k && std::memcmp(np, name, k) == 0) {
            *len = vl;
            return vp;
        }
        at = static_cast<size_t>(vp + vl - list.p);
    }
    return nullptr;
}

bool read_params(const unsigned char *p, size_t n, Params &ps, uint32_t *problems) noexcept
{
    ps.clear();
    ViewHandle body(_ztview_from_buf(p, n, 0, ZT_MODULE, __LINE__), ZT_MODULE);
    if (!body && n)
        return false;
    ztview *value = nullptr, *name = nullptr, *attr = nullptr;
    bool ok = true;
    errno = 0;
    int rc = ztmime_header_get_value(body.get(), &value);
    if (rc == -1 && errno == ENOMEM) {
        ok = false;
    } else {
        if (rc != 0)
            *problems |= ZTMIME_PROBLEM_HEADER;
        if (!ps.main.append_view(value))
            ok = false;
        for (size_t i = 0; i < ps.main.n; ++i)
            ps.main.p[i] = lower(ps.main.p[i]);
        ztview_skip_while(body.get(), " \t\r\n;");
    }
    while (ok && ztview_get_len(body.get()) > 0) {
        errno = 0;
        rc = ztmime_header_get_attribute_name(body.get(), &name);
        if (rc == -1) {
            ok = errno != ENOMEM;
            *problems |= ZTMIME_PROBLEM_HEADER;
            break;
        }
        if (rc == -2)
            *problems |= ZTMIME_PROBLEM_HEADER;
        ztview_skip_while(body.get(), " \t");
        errno = 0;
        rc = ztmime_header_get_attribute_value(body.get(), &attr);
        if (rc == -1) {
            ok = errno != ENOMEM;
            *problems |= ZTMIME_PROBLEM_HEADER;
            break;
        }
        if (rc == -2)
            *problems |= ZTMIME_PROBLEM_HEADER;
        if (ztview_get_len(name) > 0 && !(rc == -2 && ztview_get_len(attr) == 0) && !ps.add(name, attr))
            ok = false;
        ztview_skip_while(body.get(), " \t\r\n;");
    }
    zt_view_free(value);
    zt_view_free(name);
    zt_view_free(attr);
    return ok;
}

int read_params_flat(const unsigned char *p, size_t n, Params &ps) noexcept
{
    using ztmime_params::Read;
    ps.clear();
    ztmime_params::Cursor c(p, p + n);
    ztmime_params::Span main, name, value;
    if (!c.main_value(&main) || main.n == 0)
        return 0;
    if (!ps.main.append(main.p, main.n))
        return -1;
    lower_in_place(ps.main.p, ps.main.n);
    c.skip_white_and_semicolons();
    for (;;) {
        Read got = c.param(&name, &value, true);
        if (got == Read::kDone)
            return 1;
        if (got == Read::kIrregular) {
            ps.clear();
            return 0;
        }
        if (!ps.add(name.p, name.n, value.p, value.n))
            return -1;
    }
}

int content_type_charset_flat(const unsigned char *p, size_t n, const unsigned char **charset, size_t *len) noexcept
{
    using ztmime_params::Read;
    *charset = nullptr;
    *len = 0;
    ztmime_params::Cursor c(p, p + n);
    ztmime_params::Span main, name, value;
    if (!c.main_value(&main) || main.n == 0)
        return 0;
    c.skip_white_and_semicolons();
    for (;;) {
        Read got = c.param(&name, &value, true);
        if (got == Read::kDone)
            return 1;
        if (got == Read::kIrregular || (name.n >= 4 && ztmime_params::equal_lower(name.p, "name", 4)))
            return 0;
        if (!*charset && ztmime_params::is_name(name, "charset", 7))
            *charset = value.p, *len = value.n;
    }
}

int CharsetMemo::read(const unsigned char *p, size_t pn, const unsigned char **charset, size_t *clen) noexcept
{
    if (!(valid && n == pn && std::memcmp(body, p, pn) == 0)) {
        int got = content_type_charset_flat(p, pn, charset, clen);
        if (pn > kMax)
            return got;
        std::memcpy(body, p, pn);
        n = pn;
        valid = true;
        result = got;
        found = *charset != nullptr;
        at = found ? static_cast<size_t>(*charset - p) : 0;
        len = *clen;
        return got;
    }
    *charset = found ? p + at : nullptr;
    *clen = len;
    return result;
}

namespace {

// Percent escapes of an extended parameter value.
void percent_decode(const unsigned char *p, size_t n, ByteBuf &out) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '%' && i + 2 < n && hex(p[i + 1]) >= 0 && hex(p[i + 2]) >= 0) {
            out.p[out.n++] = static_cast<unsigned char>(hex(p[i + 1]) * 16 + hex(p[i + 2]));
            i += 2;
        } else {
            out.p[out.n++] = p[i];
        }
    }
}

// An extended value: charset ' language ' escaped text, where only the first
// piece may carry the quoted prefix; without it the whole value is escaped
// text.  The charset goes to `charset` in lower case, cut to its size.
void ext_decode(const unsigned char *v, size_t vl, bool first, char (&charset)[48], ByteBuf &raw) noexcept
{
    const unsigned char *q1 = first ? static_cast<const unsigned char *>(std::memchr(v, '\'', vl)) : nullptr;
    const unsigned char *q2 = q1 ? static_cast<const unsigned char *>(std::memchr(q1 + 1, '\'', v + vl - q1 - 1)) : nullptr;
    if (!q2) {
        percent_decode(v, vl, raw);
        return;
    }
    size_t cl = std::min<size_t>(static_cast<size_t>(q1 - v), sizeof charset - 1);
    for (size_t i = 0; i < cl; ++i)
        charset[i] = static_cast<char>(lower(v[i]));
    charset[cl] = 0;
    percent_decode(q2 + 1, static_cast<size_t>(v + vl - q2 - 1), raw);
}

// A plain parameter value: backslash escapes undone, encoded words decoded.
bool plain_name(const unsigned char *p, size_t n, ByteBuf &out) noexcept
{
    ByteBuf raw;
    if (!raw.reserve(n + 1)) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '\\' && i + 1 < n)
            ++i;
        raw.p[raw.n++] = p[i];
    }
    bool ok = decode_value(raw.p, raw.n, out);
    raw.release();
    return ok;
}

// "base*", or the name of continuation i ("base*i", "base*i*").  key
// holds 32 bytes; base is a short literal.
const char *make_key(char *key, const char *base, int i, bool star) noexcept
{
    size_t n = std::strlen(base);
    std::memcpy(key, base, n);
    key[n++] = '*';
    if (i >= 0) {
        char digits[8];
        int k = 0;
        do
            digits[k++] = static_cast<char>('0' + i % 10);
        while ((i /= 10) > 0);
        while (k)
            key[n++] = digits[--k];
        if (star)
            key[n++] = '*';
    }
    key[n] = 0;
    return key;
}

// The name in parameter `base` (RFC 2231 extended form, continuations,
// then plain), appended to out as UTF-8.  *found tells whether any form was
// present.
bool find_name(const Params &ps, const char *base, ByteBuf &out, bool *found, uint32_t *problems) noexcept
{
    if (!ps.any(base))
        return true;
    char key[32];
    size_t vl;
    const unsigned char *v;
    char charset[48] = "";
    ByteBuf raw;
    bool ext = false;
    if ((v = ps.get(make_key(key, base, -1, true), &vl))) {
        ext = true;
        if (!raw.reserve(vl))
            return false;
        ext_decode(v, vl, true, charset, raw);
    } else {
        for (int i = 0; i < 1000; ++i) {
            bool piece_ext = true;
            if (!(v = ps.get(make_key(key, base, i, true), &vl))) {
                piece_ext = false;
                if (!(v = ps.get(make_key(key, base, i, false), &vl)))
                    break;
            }
            ext = true;
            if (!raw.reserve(vl)) {
                raw.release();
                return false;
            }
            if (!piece_ext) {
                raw.append(v, vl);
                continue;
            }
            ext_decode(v, vl, i == 0, charset, raw);
        }
    }
    if (ext) {
        *found = true;
        bool bad = false;
        bool ok = convert_name(charset, raw.p, raw.n, out, &bad);
        if (bad)
            *problems |= ZTMIME_PROBLEM_CHARSET;
        raw.release();
        return ok;
    }
    raw.release();
    if ((v = ps.get(base, &vl))) {
        *found = true;
        return plain_name(v, vl, out);
    }
    return true;
}

bool put_text(Node &n, int slot, const unsigned char *p, size_t len) noexcept
{
    n.off[slot] = n.text.n;
    if (!n.text.reserve(len + 1))
        return false;
    unsigned char *d = n.text.p + n.text.n;
    for (size_t i = 0; i < len; ++i)
        if (p[i])
            *d++ = p[i];
    *d++ = 0;
    n.text.n = static_cast<size_t>(d - n.text.p);
    return true;
}

// put_text in lower case.
bool put_lower(Node &n, int slot, const unsigned char *p, size_t len) noexcept
{
    n.off[slot] = n.text.n;
    if (!n.text.reserve(len + kLowerSlack))
        return false;
    bool nul;
    copy_lower(n.text.p + n.text.n, p, len, 0, &nul);
    if (nul) {
        // Rare: the bytes without their NULs.
        if (!put_text(n, slot, p, len))
            return false;
        lower_in_place(n.text.p + n.off[slot], n.text.n - n.off[slot] - 1);
        return true;
    }
    n.text.p[n.text.n + len] = 0;
    n.text.n += len + 1;
    return true;
}

bool put_cstr(Node &n, int slot, const char *s) noexcept
{
    return put_text(n, slot, reinterpret_cast<const unsigned char *>(s), std::strlen(s));
}

} // namespace

bool type_text_general(const ztview *recorded, ByteBuf &text, bool *typed) noexcept
{
    size_t at = text.n;
    if (!text.append_view(recorded) || !text.push(0))
        return false;
    unsigned char *type = text.p + at;
    size_t tn = text.n - at - 1;
    lower_in_place(type, tn);
    const void *slash = tn ? std::memchr(type, '/', tn) : nullptr;
    *typed = slash && slash != type && static_cast<const unsigned char *>(slash) != type + tn - 1 &&
             !std::memchr(type, 0, tn);
    return true;
}

bool type_text(const ztview *recorded, ByteBuf &text, bool *typed) noexcept
{
    if (zt_view_peek_count(recorded) > 1)
        return type_text_general(recorded, text, typed);
    // The usual record, one piece: copied in lower case in the walk that
    // finds its first slash and any NUL byte.
    const unsigned char *p;
    size_t tn;
    zt_view_peek_front(recorded, &p, &tn);
    if (!text.reserve(tn + kLowerSlack))
        return false;
    bool nul;
    const size_t slash = copy_lower(text.p + text.n, p, tn, '/', &nul);  // 1 + its place, 0: none
    text.p[text.n + tn] = 0;
    text.n += tn + 1;
    *typed = slash > 1 && slash < tn && !nul;
    return true;
}

bool interpret(ztmime_reader *r, Node &n, bool in_digest) noexcept
{
    const HeaderBlock &b = r->collect;
    uint32_t problems = b.problems;
    Params &ct = r->ct_params, &cd = r->cd_params;
    ct.clear(), cd.clear();
    // Content-Disposition first: the Content-Type bytes may sit in scratch,
    // and its charset is taken from them where they lie.
    const unsigned char *charset = nullptr;
    size_t charset_len = 0;
    bool ct_listed = false;
    for (int k = 0; k < 2; ++k) {
        size_t at = k ? b.ct_index : b.cd_index, blen = 0;
        if (!at)
            continue;
        const unsigned char *fp;
        size_t fn;
        if (!b.contiguous(at - 1, r->scratch, &fp, &fn) || !fn)
            return false;
        const unsigned char *body = field_body(fp, fn, &blen);
        if (k && r->ct_memo.read(body, blen, &charset, &charset_len))
            continue;
        Params &ps = k ? ct : cd;
        ct_listed = k;
        int flat = read_params_flat(body, blen, ps);
        if (flat < 0 || (flat == 0 && !read_params(body, blen, ps, &problems)))
            return false;
    }
    if (ct_listed)
        charset = ct.get("charset", &charset_len);

    // Content type: the parser's record (the value it follows), lower case;
    // missing or without a subtype, the default of the enclosing multipart.
    size_t at = n.text.n;
    bool typed = false;
    if (!type_text(r->ctx->part.content_type, n.text, &typed))
        return false;
    size_t tn = n.text.n - at - 1;
    n.off[1] = at;
    if (!typed) {
        if (tn)
            problems |= ZTMIME_PROBLEM_HEADER;
        n.text.n = at;
        if (!put_cstr(n, 1, in_digest ? "message/rfc822" : "text/plain"))
            return false;
    }

    if (!put_lower(n, 2, charset, charset_len))
        return false;

    const char *disp = "";
    if (cd.main.n == 6 && std::memcmp(cd.main.p, "inline", 6) == 0)
        disp = "inline";
    else if (cd.main.n)
        disp = "attachment";  // attachment, and any type we do not know
    if (!put_cstr(n, 3, disp))
        return false;

    ByteBuf name;
    bool found = false;
    // An empty list has no name to look for (the usual part).
    bool ok = (!cd.list.n || find_name(cd, "filename", name, &found, &problems)) &&
              (found || !ct.list.n || find_name(ct, "name", name, &found, &problems)) && put_text(n, 4, name.p, name.n);
    if (name.p)
        name.release();
    if (!ok)
        return false;
    n.info.problems |= problems;
    return true;
}

// The first CR or LF in p[0, n), or n.
size_t find_break(const unsigned char *p, size_t n) noexcept
{
    const void *lf = std::memchr(p, '\n', n);
    size_t end = lf ? static_cast<size_t>(static_cast<const unsigned char *>(lf) - p) : n;
    const void *cr = std::memchr(p, '\r', end);
    return cr ? static_cast<size_t>(static_cast<const unsigned char *>(cr) - p) : end;
}

// Unfolds into u: a run of line-break bytes with the byte after it is one
// space.
bool unfold_value(const unsigned char *p, size_t n, ByteBuf &u) noexcept
{
    if (!u.reserve(n + 1))
        return false;
    for (size_t i = 0; i < n;) {
        size_t k = i + find_break(p + i, n - i);
        std::memcpy(u.p + u.n, p + i, k - i);
        u.n += k - i;
        i = k;
        while (i < n && (p[i] == '\r' || p[i] == '\n'))
            ++i;
        if (i < n)
            ++i, u.p[u.n++] = ' ';
    }
    return true;
}

// The length of a value that needs no unfolding: its line breaks, if any,
// all sit at its end, and unfolding would only drop them.  n + 1 when a
// break is followed by more text.
size_t unfolded_length(const unsigned char *p, size_t n) noexcept
{
    size_t k = find_break(p, n);
    for (size_t i = k; i < n; ++i)
        if (p[i] != '\r' && p[i] != '\n')
            return n + 1;
    return k;
}

// Values are C strings: drops the NUL bytes of out from `start` on.
void drop_nuls(ByteBuf &out, size_t start) noexcept
{
    const void *z = start < out.n ? std::memchr(out.p + start, 0, out.n - start) : nullptr;
    if (!z)
        return;
    size_t w = static_cast<size_t>(static_cast<const unsigned char *>(z) - out.p);
    for (size_t k = w; k < out.n; ++k)
        if (out.p[k])
            out.p[w++] = out.p[k];
    out.n = w;
}

#if defined(__SSE2__)
// Bit i set when byte i of the 16 at p is a NUL, CR, LF, '=' or not ASCII.
unsigned stops16(const unsigned char *p) noexcept
{
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i bad = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(w, _mm_setzero_si128()), _mm_cmpeq_epi8(w, _mm_set1_epi8('\n'))),
                                     _mm_or_si128(_mm_cmpeq_epi8(w, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(w, _mm_set1_epi8('='))));
    // A byte with its high bit set is not ASCII: movemask sees it too.
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(bad, w)));
}
#endif

// The first NUL, CR, LF, '=' or non-ASCII byte of p[0, n), or n.
size_t next_stop(const unsigned char *p, size_t n) noexcept
{
    size_t i = 0;
#if defined(__SSE2__)
    if (n >= 16) {
        for (; i + 16 <= n; i += 16)
            if (unsigned m = stops16(p + i))
                return i + static_cast<size_t>(__builtin_ctz(m));
        // The last bytes through one more load that ends at n.
        if (i < n)
            if (unsigned m = stops16(p + n - 16) >> (i - (n - 16)))
                return i + static_cast<size_t>(__builtin_ctz(m));
        return n;
    }
#endif
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto has_zero = [](uint64_t x) { return (x - ones) & ~x & highs; };
    for (uint64_t w; i + 8 <= n; i += 8) {
        std::memcpy(&w, p + i, 8);
        if ((w & highs) | has_zero(w) | has_zero(w ^ ('\n' * ones)) | has_zero(w ^ ('\r' * ones)) |
            has_zero(w ^ ('=' * ones)))
            break;
    }
    while (i < n && p[i] && p[i] < 0x80 && p[i] != '\n' && p[i] != '\r' && p[i] != '=')
        ++i;
    return i;
}

// The length of the start of p[0, n) that is plain text: ASCII without
// line breaks, NUL or "=?" (the start of an encoded word).
size_t plain_prefix(const unsigned char *p, size_t n) noexcept
{
    size_t i = next_stop(p, n);
    while (i < n && p[i] == '=' && !(i + 1 < n && p[i + 1] == '?'))
        ++i, i += next_stop(p + i, n - i);
    return i;
}

// Whether p[from, to) holds only blanks.
bool all_blank(const unsigned char *p, size_t from, size_t to) noexcept
{
    for (size_t k = from; k < to; ++k)
        if (!blank(p[k]))
            return false;
    return true;
}

// Unfolds a value of plain text (see plain_prefix) straight into out and
// drops the blanks at either end: the result the general reading gives,
// since such text has no encoded word, no NUL and nothing to convert.  The
// first `plain` bytes are known to be plain.  False, with out as it was,
// when some byte that is not a line break stops the plain text; out has
// room for n + 1 more bytes.
bool unfold_plain(const unsigned char *p, size_t n, size_t plain, ByteBuf &out) noexcept
{
    unsigned char *const base = out.p + out.n;
    unsigned char *o = base;
    // Blanks before the first plain text are dropped here rather than
    // moved out of the output at the end.
    size_t i = 0;
    while (i < plain && blank(p[i]))
        ++i;
    for (size_t k = plain - i;;) {
        std::memcpy(o, p + i, k);
        o += k;
        i += k;
        if (i >= n)
            break;
        if (p[i] != '\r' && p[i] != '\n')
            return false;
        while (i < n && (p[i] == '\r' || p[i] == '\n'))
            ++i;
        if (i < n)
            ++i, *o++ = ' ';  // the byte after the breaks, whatever it is
        k = plain_prefix(p + i, n - i);
    }
    while (o > base && blank(o[-1]))
        --o;
    size_t b = 0;
    while (base + b < o && blank(base[b]))
        ++b;
    if (b)
        std::memmove(base, base + b, static_cast<size_t>(o - base) - b);
    out.n += static_cast<size_t>(o - base) - b;
    return true;
}

bool decode_value(const unsigned char *p, size_t n, ByteBuf &out) noexcept
{
    // The usual value is plain text on one line: it only loses its blanks
    // at either end and its line end.
    size_t plain = plain_prefix(p, n), end = plain;
    while (end < n && (p[end] == '\r' || p[end] == '\n'))
        ++end;
    if (end == n) {
        size_t b = 0, e = plain;
        while (b < e && blank(p[b]))
            ++b;
        while (e > b && blank(p[e - 1]))
            --e;
        return out.append(p + b, e - b);
    }
    // Next, plain text folded over several lines.
    if (!out.reserve(n + 1))
        return false;
    return unfold_plain(p, n, plain, out) || decode_value_general(p, n, out);
}

bool decode_value_general(const unsigned char *p, size_t n, ByteBuf &out) noexcept
{
    // One-line values are read where they are, without an unfolded copy.
    ByteBuf u;
    const unsigned char *v = p;
    size_t e = unfolded_length(p, n);
    if (e > n) {
        if (!unfold_value(p, n, u))
            return false;
        v = u.p;
        e = u.n;
    }
    size_t b = 0;
    while (b < e && blank(v[b]))
        ++b;
    while (e > b && blank(v[e - 1]))
        --e;
    bool utf8 = valid_utf8(v + b, e - b);
    size_t start = out.n;
    bool ok = out.reserve(2 * (e - b) + 1);
    bool after_word = false;  // the last thing written was an encoded word
    size_t text = b;          // start of text not yet written
    size_t i = b;
    auto flush = [&](size_t upto) {
        if (upto <= text)
            return true;
        bool r = utf8 ? (out.append(v + text, upto - text)) : append_utf8_or_latin1(v + text, upto - text, out);
        text = upto;
        return r;
    };
    while (ok && i < e) {
        // Encoded words begin with "=?": skip to the next '=', noting
        // whether text other than blanks came since the last word.
        const void *eq = std::memchr(v + i, '=', e - i);
        size_t j = eq ? static_cast<size_t>(static_cast<const unsigned char *>(eq) - v) : e;
        if (after_word && !all_blank(v, i, j))
            after_word = false;
        i = j;
        if (i >= e)
            break;
        if (i + 1 >= e || v[i + 1] != '?') {
            after_word = false;
            ++i;
            continue;
        }
        ViewHandle src(_ztview_from_buf(v + i, e - i, 0, ZT_MODULE, __LINE__), ZT_MODULE);
        if (!src) {
            ok = false;
            break;
        }
        uint32_t used = 0;
        errno = 0;
        ViewHandle word(ztmime_i18n_chunk(src.get(), &used), "host");
        if (!word) {
            if (errno == ENOMEM) {
                ok = false;
                break;
            }
            after_word = false;
            ++i;
            continue;
        }
        // Blanks between two encoded words disappear.
        size_t k = text;
        while (k < i && blank(v[k]))
            ++k;
        if (after_word && k == i)
            text = i;
        ok = flush(i);
        ByteBuf w;
        if (ok && !(ok = w.append_view(word.get())))
            break;
        if (w.n) {
            const void *z = std::memchr(w.p, 0, w.n);
            size_t wl = z ? static_cast<size_t>(static_cast<unsigned char *>(const_cast<void *>(z)) - w.p) : w.n;
            ok = valid_utf8(w.p, wl) ? out.append(w.p, wl) : append_utf8_or_latin1(w.p, wl, out);
        }
        w.release();
        i += used ? used : 1;
        text = i;
        after_word = true;
    }
    if (ok)
        ok = flush(e);
    if (ok)
        drop_nuls(out, start);
    u.release();
    return ok;
}

bool decode_headers(const ztmime_reader *r) noexcept
{
    ByteBuf &dec = r->dec;
    ByteBuf &idx = r->dec_index;
    dec.clear();
    idx.clear();
    ByteBuf field;  // a field held in several segments, made contiguous
    bool ok = idx.reserve(2 * sizeof(size_t) * r->shown.count);
    for (size_t i = 0; ok && i < r->shown.count; ++i) {
        const unsigned char *p;
        size_t n;
        ok = r->shown.contiguous(i, field, &p, &n) && decode_field(p, n, dec, idx);
    }
    field.release();
    r->dec_ready = ok;
    return ok;
}

bool copy_raw_fields(const ztmime_reader *r) noexcept
{
    ByteBuf &raw = r->raw;
    ByteBuf &idx = r->raw_index;
    raw.clear();
    idx.clear();
    if (!raw.reserve(r->shown.bytes) || !idx.reserve((r->shown.count + 1) * sizeof(size_t)))
        return false;
    // Only the fields without bytes in one piece are copied; the entry of
    // every other field is empty and never read.
    for (size_t i = 0; i < r->shown.count; ++i) {
        idx.append(&raw.n, sizeof raw.n);
        HeaderBlock::Field f = r->shown.at(i);
        if (!f.p)
            raw.append_view(f.view);
    }
    idx.append(&raw.n, sizeof raw.n);
    r->raw_ready = true;
    return true;
}

// Appends a field's name and decoded value, each NUL-ended, and where they
// begin.
bool decode_field(const unsigned char *p, size_t n, ByteBuf &dec, ByteBuf &idx) noexcept
{
    // Room for the name, the value as the shortcuts write it, and two NULs.
    if (!idx.reserve(2 * sizeof(size_t)) || !dec.reserve(n + 2))
        return false;
    const size_t name_at = dec.n;
    const unsigned char *colon = nullptr;
#if defined(__SSE2__)
    // The usual name ends within the first sixteen bytes: one load finds
    // the colon and copies the name.
    if (n >= 16) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, _mm_set1_epi8(':'))))) {
            colon = p + __builtin_ctz(m);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dec.p + dec.n), w);
        }
    }
#endif
    if (!colon) {
        colon = n ? static_cast<const unsigned char *>(std::memchr(p, ':', n)) : nullptr;
        if (colon)
            std::memcpy(dec.p + dec.n, p, static_cast<size_t>(colon - p));
        else if (n)
            std::memcpy(dec.p + dec.n, p, n);
    }
    size_t nl = colon ? static_cast<size_t>(colon - p) : n;
    size_t name_end = nl;
    while (name_end > 0 && blank(p[name_end - 1]))
        --name_end;
    dec.n += name_end;
    dec.p[dec.n++] = 0;
    const size_t value_at = dec.n;
    size_t skip = colon ? nl + 1 : n;
    if (!decode_value(p + skip, n - skip, dec) || !dec.push(0))
        return false;
    std::memcpy(idx.p + idx.n, &name_at, sizeof name_at);
    std::memcpy(idx.p + idx.n + sizeof name_at, &value_at, sizeof value_at);
    idx.n += 2 * sizeof(size_t);
    return true;
}

} // namespace zt_reader
