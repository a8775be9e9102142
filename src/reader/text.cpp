// Text to UTF-8 for the reader, on the converter cache that the encoded
// words use (one converter is held for the length of a part).
#include "reader/text.h"

#include <cerrno>
#include <new>
#include <strings.h>

#include "charset/charset.h"

namespace zt_reader {
namespace {

using zt_charset::Converter;
static_assert(sizeof(Converter) <= 32 && alignof(Converter) <= 8);

const unsigned char kReplacement[3] = {0xEF, 0xBF, 0xBD};

bool is_utf8_name(const char *cs) noexcept
{
    return !*cs || !strcasecmp(cs, "utf-8") || !strcasecmp(cs, "utf8") || !strcasecmp(cs, "us-ascii") ||
           !strcasecmp(cs, "ascii");
}

bool is_latin1_name(const char *cs) noexcept
{
    return !strcasecmp(cs, "iso-8859-1") || !strcasecmp(cs, "iso8859-1") || !strcasecmp(cs, "iso_8859-1") ||
           !strcasecmp(cs, "latin1");
}

// One UTF-8 sequence at p: its length when complete and valid, 0 when it is
// a valid start cut by the end of the data, -k when the first k bytes form
// no character (k >= 1, the maximal bad prefix).
int utf8_step(const unsigned char *p, size_t n) noexcept
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (static_cast<size_t>(k) >= n)
            return 0;
        unsigned char b = p[k];
        bool ok = k == 1 ? (b >= lo && b <= hi) : (b & 0xC0) == 0x80;
        if (!ok)
            return -k;
    }
    return need + 1;
}

} // namespace

bool valid_utf8(const unsigned char *p, size_t n) noexcept
{
    for (size_t i = 0; i < n;) {
        // Eight ASCII bytes at a time: most text has nothing else.
        uint64_t w;
        while (i + 8 <= n && (std::memcpy(&w, p + i, 8), (w & 0x8080808080808080ull) == 0))
            i += 8;
        if (i >= n)
            break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        int r = utf8_step(p + i, n - i);
        if (r <= 0)
            return false;
        i += static_cast<size_t>(r);
    }
    return true;
}

bool append_utf8_or_latin1(const unsigned char *p, size_t n, ByteBuf &out) noexcept
{
    if (!out.reserve(2 * n))
        return false;
    bool utf8 = valid_utf8(p, n);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (!c)
            continue;
        if (c < 0x80 || utf8) {
            out.p[out.n++] = c;
        } else {
            out.p[out.n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            out.p[out.n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool TextConv::open(const char *charset) noexcept
{
    close();
    nc_ = 0;
    if (is_utf8_name(charset)) {
        kind_ = kUtf8;
        return true;
    }
    if (is_latin1_name(charset)) {
        kind_ = kLatin1;
        return true;
    }
    auto *c = new (store_) Converter(charset);
    live_ = true;
    if (c->ok()) {
        kind_ = kIconv;
        return true;
    }
    close();
    kind_ = kUtf8;
    return false;
}

void TextConv::close() noexcept
{
    if (live_)
        std::launder(reinterpret_cast<Converter *>(store_))->~Converter();
    live_ = false;
}

bool TextConv::run_utf8(const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept
{
    if (!out.reserve(n + nc_ * 3 + 8))
        return false;
    // A sequence cut at the end of the last call is completed first.
    while (nc_) {
        int r = utf8_step(carry_, nc_);
        if (r == 0) {
            if (!n)
                return true;
            carry_[nc_++] = *in++;
            --n;
            continue;
        }
        size_t k = static_cast<size_t>(r > 0 ? r : -r);
        if (r > 0)
            out.append(carry_, k);
        else
            out.append(kReplacement, 3), *bad = true;
        std::memmove(carry_, carry_ + k, nc_ - k);
        nc_ -= k;
    }
    size_t run = 0, i = 0;
    while (i < n) {
        if (in[i] < 0x80) {
            ++i;
            continue;
        }
        int r = utf8_step(in + i, n - i);
        if (r > 0) {
            i += static_cast<size_t>(r);
            continue;
        }
        out.append(in + run, i - run);
        if (r == 0) {
            nc_ = n - i;
            std::memcpy(carry_, in + i, nc_);
            return true;
        }
        if (!out.reserve(3 + (n - i)))
            return false;
        out.append(kReplacement, 3);
        *bad = true;
        i += static_cast<size_t>(-r);
        run = i;
    }
    out.append(in + run, n - run);
    return true;
}

// The converter's output from `start` on, made well-formed: some names the
// C library reads as UTF-8 copy their input through unchecked.  Each bad
// sequence becomes U+FFFD.  The converter writes whole characters, so a
// slice is checked on its own.
static bool repair_utf8(ByteBuf &out, size_t start, bool *bad) noexcept
{
    if (valid_utf8(out.p + start, out.n - start))
        return true;
    ByteBuf raw;
    if (!raw.append(out.p + start, out.n - start))
        return false;
    out.n = start;
    bool ok = out.reserve(3 * raw.n);
    for (size_t i = 0; ok && i < raw.n;) {
        int r = utf8_step(raw.p + i, raw.n - i);
        if (r > 0) {
            out.append(raw.p + i, static_cast<size_t>(r));
            i += static_cast<size_t>(r);
        } else {
            out.append(kReplacement, 3);
            *bad = true;
            i += r < 0 ? static_cast<size_t>(-r) : raw.n - i;
        }
    }
    raw.release();
    return ok;
}

bool TextConv::run_iconv(const unsigned char *in, size_t n, bool final, ByteBuf &out, bool *bad) noexcept
{
    size_t start = out.n;
    return iconv_pass(in, n, final, out, bad) && repair_utf8(out, start, bad);
}

bool TextConv::iconv_pass(const unsigned char *in, size_t n, bool final, ByteBuf &out, bool *bad) noexcept
{
    iconv_t cd = std::launder(reinterpret_cast<Converter *>(store_))->get();
    char *ip = const_cast<char *>(reinterpret_cast<const char *>(in));
    size_t il = n;
    while (il || final) {
        if (!out.reserve(il * 4 + 32))
            return false;
        char *op = reinterpret_cast<char *>(out.p + out.n);
        size_t ol = out.cap - out.n;
        size_t rc = il ? iconv(cd, &ip, &il, &op, &ol) : iconv(cd, nullptr, nullptr, &op, &ol);
        int err = errno;
        out.n = out.cap - ol;
        if (rc != static_cast<size_t>(-1)) {
            if (!il)
                break;
            continue;
        }
        if (err == E2BIG)
            continue;
        if (err == EINVAL && !final && il <= sizeof carry_) {
            std::memcpy(carry_, ip, il);
            nc_ = il;
            return true;
        }
        // A byte that does not convert (or a sequence cut at the very end).
        if (!out.reserve(3))
            return false;
        out.append(kReplacement, 3);
        *bad = true;
        if (err == EINVAL && final)
            break;
        ++ip;
        --il;
    }
    return true;
}

bool TextConv::convert(const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept
{
    switch (kind_) {
    case kUtf8:
        return run_utf8(in, n, out, bad);
    case kLatin1:
        if (!out.reserve(2 * n))
            return false;
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = in[i];
            if (c < 0x80) {
                out.p[out.n++] = c;
            } else {
                out.p[out.n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
                out.p[out.n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            }
        }
        return true;
    case kIconv:
        break;
    }
    if (!nc_)
        return run_iconv(in, n, false, out, bad);
    // A sequence cut at the end of the last call: convert it together with
    // the new bytes.
    ByteBuf joined;
    if (!joined.append(carry_, nc_) || !joined.append(in, n)) {
        joined.release();
        return false;
    }
    nc_ = 0;
    bool ok = run_iconv(joined.p, joined.n, false, out, bad);
    joined.release();
    return ok;
}

bool TextConv::flush(ByteBuf &out, bool *bad) noexcept
{
    if (kind_ == kIconv) {
        unsigned char tail[sizeof carry_];
        size_t k = nc_;
        std::memcpy(tail, carry_, k);
        nc_ = 0;
        return run_iconv(tail, k, true, out, bad);
    }
    if (nc_) {
        nc_ = 0;
        *bad = true;
        return out.append(kReplacement, 3);
    }
    return true;
}

bool convert_name(const char *charset, const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept
{
    if (is_utf8_name(charset))
        return append_utf8_or_latin1(in, n, out);
    TextConv conv;
    if (!conv.open(charset)) {
        *bad = true;
        return append_utf8_or_latin1(in, n, out);
    }
    return conv.convert(in, n, out, bad) && conv.flush(out, bad);
}

} // namespace zt_reader
