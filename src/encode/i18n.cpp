// RFC 2047 encoded words: "=?" charset "?" encoding "?" text "?=".
//
// The word is read from flat bytes (a short prefix of the caller's view is
// copied out; the whole view only when a word is longer than that), the
// text is decoded with the one-shot quoted-printable or base64 decoder and
// converted to UTF-8 (encode/charset.h).  Runs of "?" separate fields as
// one.  A charset the converter does not know leaves the decoded bytes
// unconverted; bytes that do not convert become "?".
#define ZT_MODULE "encode"

#include <cstring>

#include "base64/b64_internal.h"
#include "common/alloc.h"
#include "common/handles.h"
#include "encode/charset.h"
#include "encode/i18n_internal.h"
#include "ztmime.h"

// Room for hosts to add aliases: write into the first null entry and keep
// a null name after the last one.
ztmime_alias aliases[16] = {
    {"KS_C_5601-1987", "CP949"},
    {"ksc5601", "CP949"},
    {nullptr, nullptr},
};

namespace zt_i18n {
namespace {

// A buffer on the stack when small, from zt_malloc / zt_calloc otherwise.
template <size_t N> class Scratch {
  public:
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch()
    {
        if (p_ != local_)
            zt_free(p_);
    }
    // n bytes, zero-filled when zero is set; null when out of memory.
    unsigned char *get(size_t n, bool zero) noexcept
    {
        if (n <= N) {
            p_ = local_;
            if (zero)
                std::memset(local_, 0, n);
        } else {
            p_ = static_cast<unsigned char *>(zero ? zt_calloc(n, 1) : zt_malloc(n));
        }
        return p_;
    }

  private:
    unsigned char local_[N];
    unsigned char *p_ = nullptr;
};

// One field: the bytes before the next "?", which must not be empty, then
// the run of "?" after it, which must leave something.
int field(const unsigned char *p, size_t n, bool complete, size_t from, size_t *end, size_t *next) noexcept
{
    const void *q = std::memchr(p + from, '?', n - from);
    if (!q)
        return complete ? kNotWord : kNeedMore;
    size_t e = static_cast<size_t>(static_cast<const unsigned char *>(q) - p);
    if (e == from)
        return kNotWord;
    *end = e;
    while (e < n && p[e] == '?')
        ++e;
    if (e == n)
        return complete ? kNotWord : kNeedMore;
    *next = e;
    return kDecoded;
}

// Runs a one-shot decoder over text bytes; null when it refuses them.
ztview *decode_text(const unsigned char *text, size_t n, bool q) noexcept
{
    Scratch<256> under;
    const unsigned char *bytes = text;
    if (q) {
        // "_" stands for a space; an escaped =5F stays an underscore.
        unsigned char *b = under.get(n, false);
        if (!b)
            return nullptr;
        for (size_t i = 0; i < n; ++i)
            b[i] = text[i] == '_' ? ' ' : text[i];
        bytes = b;
    }
    ViewHandle in(_ztview_from_buf(bytes, n, 0, ZT_MODULE, __LINE__), ZT_MODULE);
    if (!in)
        return nullptr;
    return q ? ztmime_qp_decode(in.get()) : ztmime_b64_decode(in.get());
}

// Direct decoding of the canonical forms, where every decoder gives the
// same bytes: base64 of whole groups with correct padding and zero spare
// bits (through the base64 codec's kernels), and Q text of printable ASCII
// with valid "=XX" escapes that does not end in a blank.  Anything else goes
// to the one-shot decoders, which have the final word on malformed text.
// Returns the decoded length, or -1.
long fast_q(const unsigned char *t, size_t n, unsigned char *out) noexcept
{
    if (n == 0 || t[n - 1] == '_')
        return -1;
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = t[i];
        if (c == '=') {
            if (i + 2 >= n)
                return -1;
            long h = zt_charset::hex_digit(t[i + 1]), l = zt_charset::hex_digit(t[i + 2]);
            if (h < 0 || l < 0)
                return -1;
            out[o++] = static_cast<unsigned char>(h << 4 | l);
            i += 2;
        } else if (c == '_') {
            out[o++] = ' ';
        } else if (c > 0x20 && c < 0x7f) {
            out[o++] = c;
        } else {
            return -1;
        }
    }
    return static_cast<long>(o);
}

} // namespace

int decode_word(const unsigned char *p, size_t n, bool complete, uint32_t *consumed, Emit emit,
                void *ctx) noexcept
{
    if (n < 2)
        return complete || (n == 1 && p[0] != '=') ? kNotWord : kNeedMore;
    if (p[0] != '=' || p[1] != '?')
        return kNotWord;
    size_t cs_end, enc_at, enc_end, text_at, text_end, close;
    int r = field(p, n, complete, 2, &cs_end, &enc_at);
    if (r == kDecoded)
        r = field(p, n, complete, enc_at, &enc_end, &text_at);
    if (r == kDecoded)
        r = field(p, n, complete, text_at, &text_end, &close);
    if (r != kDecoded)
        return r;
    if (p[close] != '=')
        return kNotWord;
    if (consumed)
        *consumed = static_cast<uint32_t>(close + 1);

    bool q;
    if (enc_end - enc_at == 1 && (p[enc_at] | 0x20) == 'q')
        q = true;
    else if (enc_end - enc_at == 1 && (p[enc_at] | 0x20) == 'b')
        q = false;
    else
        return kNotWord;

    // The charset name as a C string (an embedded NUL ends it, as it ends
    // the name the converter sees).
    Scratch<128> name;
    size_t cs_len = cs_end - 2;
    char *charset = reinterpret_cast<char *>(name.get(cs_len + 1, false));
    if (!charset)
        return kFailed;
    std::memcpy(charset, p + 2, cs_len);
    charset[cs_len] = '\0';

    const unsigned char *text = p + text_at;
    size_t tn = text_end - text_at;
    Scratch<1024> in;
    unsigned char *ib = in.get(tn, false);  // decoding never grows the text
    if (!ib)
        return kFailed;
    long fast = q ? fast_q(text, tn, ib) : zt_b64::decode_exact(text, tn, ib);
    size_t dn;
    if (fast >= 0) {
        dn = static_cast<size_t>(fast);
    } else {
        ViewHandle decoded(decode_text(text, tn, q), ZT_MODULE);
        if (!decoded)
            return kNotWord;
        dn = ztview_get_len(decoded.get());
        if (dn > tn)
            return kFailed;
        size_t got = dn;
        if (dn)
            ztview_copy_data_r(decoded.get(), ib, &got, 0);
    }
    Scratch<4096> out;
    unsigned char *ob = out.get(5 * dn, true);
    if (!ob)
        return kFailed;
    size_t len;
    if (!zt_charset::convert_word(charset, ib, dn, ob, 5 * dn, &len))
        return emit(ctx, ib, dn) ? kFailed : kDecoded;
    return emit(ctx, ob, len) ? kFailed : kDecoded;
}

} // namespace zt_i18n

namespace {

int emit_new_view(void *ctx, const unsigned char *bytes, size_t n)
{
    ztview *v = _ztview_init(ZT_MODULE, __LINE__);
    if (!v)
        return -1;
    if (n && ztview_append(v, bytes, n)) {
        _ztview_destroy(v, ZT_MODULE, __LINE__);
        return -1;
    }
    *static_cast<ztview **>(ctx) = v;
    return 0;
}

// ztmime_i18n: whitespace before a decoded word is written unless the
// previous piece was a decoded word too.
struct TextState {
    ztview *out;
    const unsigned char *ws;
    size_t ws_len;
    bool prev_word;
};

int emit_after_blanks(void *ctx, const unsigned char *bytes, size_t n)
{
    auto *t = static_cast<TextState *>(ctx);
    if (!t->prev_word && t->ws_len && ztview_append(t->out, t->ws, t->ws_len))
        return -1;
    t->ws_len = 0;
    return n ? ztview_append(t->out, bytes, n) : 0;
}

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

} // namespace

ztview *ztmime_i18n_chunk(const ztview *src, uint32_t *consumed) noexcept
{
    if (!src)
        return nullptr;
    // A word is short: try a prefix first, the whole view only when the
    // word runs past it.
    unsigned char prefix[512];
    size_t n = ztview_get_len(src);
    size_t got = sizeof prefix;
    if (n)
        ztview_copy_data_r(src, prefix, &got, 0);
    else
        got = 0;
    ztview *result = nullptr;
    int r = zt_i18n::decode_word(prefix, got, got == n, consumed, emit_new_view, &result);
    if (r == zt_i18n::kNeedMore) {
        size_t len = 0;
        Buffer<unsigned char> all(static_cast<unsigned char *>(ztview_copy_data_r(src, nullptr, &len, 0)));
        if (!all)
            return nullptr;
        r = zt_i18n::decode_word(all.get(), len, true, consumed, emit_new_view, &result);
    }
    if (r == zt_i18n::kDecoded)
        return result;
    _ztview_destroy(result, ZT_MODULE, __LINE__);
    return nullptr;
}

ztview *ztmime_i18n(const ztview *src) noexcept
{
    if (!src)
        return nullptr;
    ViewHandle out(_ztview_init(ZT_MODULE, __LINE__), ZT_MODULE);
    if (!out)
        return nullptr;
    size_t n = 0;
    Buffer<unsigned char> text(static_cast<unsigned char *>(ztview_copy_data_r(src, nullptr, &n, 0)));
    if (!text)
        return nullptr;
    const unsigned char *p = text.get();
    TextState st{out.get(), nullptr, 0, true};
    size_t i = 0;
    while (i < n) {
        size_t ws = i;
        while (i < n && is_space(p[i]))
            ++i;
        if (i > ws) {
            st.ws = p + ws;
            st.ws_len = i - ws;
        }
        size_t piece = i;
        while (i < n && !is_space(p[i]))
            ++i;
        int r = zt_i18n::decode_word(p + piece, i - piece, true, nullptr, emit_after_blanks, &st);
        if (r == zt_i18n::kFailed)
            return nullptr;
        if (r == zt_i18n::kDecoded) {
            st.prev_word = true;
            continue;
        }
        if (st.ws_len && ztview_append(st.out, st.ws, st.ws_len))
            return nullptr;
        st.ws_len = 0;
        if (i > piece && ztview_append(st.out, p + piece, i - piece))
            return nullptr;
        st.prev_word = false;
    }
    return out.release();
}
