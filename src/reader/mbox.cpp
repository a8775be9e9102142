// mbox input for the reader.  Every line that begins with "From " ends the
// message before it and is itself left out (the envelope line); a line
// ">From ", ">>From ", ... loses one ">" (mboxrd quoting); the blank line
// right before an envelope line is the separator, not data.  Bytes go to
// the reader's `in` view; the offsets where messages end queue in `cuts`.
#define ZT_MODULE "reader"

#include "common/module.h"
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>

#include "common/cpu.h"
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif
#include "reader/reader.h"

namespace zt_reader {
namespace {

enum LineStart { kNeedMore, kFrom, kQuoted, kPlain };

// What the line starting at p is, as far as the mbox cares.
LineStart classify(const unsigned char *p, size_t n, bool final) noexcept
{
    static const char from[] = "From ";
    const LineStart short_line = final ? kPlain : kNeedMore;
    if (n == 0)
        return short_line;
    if (p[0] != 'F' && p[0] != '>')
        return kPlain;
    size_t i = 0;
    while (i < n && p[i] == '>')
        ++i;
    if (i == n)
        return short_line;
    size_t k = std::min<size_t>(n - i, 5);
    if (std::memcmp(p + i, from, k) != 0)
        return kPlain;
    if (k < 5)
        return short_line;
    return i ? kQuoted : kFrom;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The line ends among the 32 bytes at s that ">" follows, or "F" and a
// space four bytes on ("From ", not the "From:" of a header field); reads
// 37 bytes.
__attribute__((target("avx2"), always_inline)) inline __m256i hits(const unsigned char *s) noexcept
{
    const __m256i nl = _mm256_set1_epi8('\n'), f = _mm256_set1_epi8('F'), gt = _mm256_set1_epi8('>'),
                  sp = _mm256_set1_epi8(' ');
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 1));
    __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 5));
    __m256i from = _mm256_and_si256(_mm256_cmpeq_epi8(b, f), _mm256_cmpeq_epi8(e, sp));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, nl), _mm256_or_si256(from, _mm256_cmpeq_epi8(b, gt)));
}

// next_candidate's search in blocks of 128 and then 64 bytes while the
// 5 bytes after the block are in the buffer; returns where it stopped, or
// the candidate.  A line start it passes over is one classify() would call
// plain with all the bytes it reads at hand.
__attribute__((target("avx2"))) size_t candidate_blocks_avx2(const unsigned char *p, size_t k, size_t n,
                                                             bool &found) noexcept
{
    // Most blocks hold no candidate: 128 bytes a round with one test for
    // all four quarters, the masks made only for the round that has one.
    for (; k + 133 <= n; k += 128) {
        const unsigned char *s = p + k;
        __m256i h0 = hits(s), h1 = hits(s + 32), h2 = hits(s + 64), h3 = hits(s + 96);
        __m256i any = _mm256_or_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h2, h3));
        if (_mm256_testz_si256(any, any))
            continue;
        uint64_t lo = static_cast<uint32_t>(_mm256_movemask_epi8(h0)) |
                      static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h1))) << 32;
        if (lo) {
            found = true;
            return k + static_cast<size_t>(__builtin_ctzll(lo)) + 1;
        }
        uint64_t hi = static_cast<uint32_t>(_mm256_movemask_epi8(h2)) |
                      static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(h3))) << 32;
        found = true;
        return k + 64 + static_cast<size_t>(__builtin_ctzll(hi)) + 1;
    }
    for (; k + 69 <= n; k += 64) {
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(hits(p + k))) |
                        static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hits(p + k + 32)))) << 32;
        if (mask) {
            found = true;
            return k + static_cast<size_t>(__builtin_ctzll(mask)) + 1;
        }
    }
    found = false;
    return k;
}
#endif

// The next line start in (i, n) whose first byte is "F" or ">", or n;
// one that begins with "F" but not "From " may be passed over.
size_t next_candidate(const unsigned char *p, size_t i, size_t n) noexcept
{
    size_t k = i;
#if defined(__x86_64__) && defined(__GNUC__)
    if (zt_cpu::features() & zt_cpu::kAvx2) {
        bool found;
        k = candidate_blocks_avx2(p, k, n, found);
        if (found)
            return k;
    }
#endif
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n'), f = _mm_set1_epi8('F'), gt = _mm_set1_epi8('>');
    auto hits = [&](size_t at) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at + 1));
        return _mm_and_si128(_mm_cmpeq_epi8(a, nl), _mm_or_si128(_mm_cmpeq_epi8(b, f), _mm_cmpeq_epi8(b, gt)));
    };
    // Thirty-two bytes a round, one branch for both halves.
    for (; k + 33 <= n; k += 32) {
        __m128i lo = hits(k), hi = hits(k + 16);
        if (_mm_movemask_epi8(_mm_or_si128(lo, hi))) {
            uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(lo)) |
                            static_cast<uint32_t>(_mm_movemask_epi8(hi)) << 16;
            return k + static_cast<size_t>(__builtin_ctz(mask)) + 1;
        }
    }
#endif
    for (; k + 1 < n; ++k)
        if (p[k] == '\n' && (p[k + 1] == 'F' || p[k + 1] == '>'))
            return k + 1;
    return n;
}

// Where a blank line that ends [lo, n) begins, or n when the last line is
// not blank.  at_start: lo is the start of a line.
size_t blank_tail(const unsigned char *p, size_t lo, size_t n, bool at_start) noexcept
{
    size_t len = n - lo;
    if (!len || p[n - 1] != '\n')
        return n;
    if (len >= 2 && p[n - 2] == '\n')
        return n - 1;
    if (len >= 3 && p[n - 2] == '\r' && p[n - 3] == '\n')
        return n - 2;
    if (at_start && (len == 1 || (len == 2 && p[lo] == '\r')))
        return lo;
    return n;
}

// Puts bytes of the current message at the end of `in`: into the open
// reservation when a feed opened one, else appended.
bool put(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (r->resv) {
        std::memcpy(r->resv + r->resv_n, p, n);
        r->resv_n += n;
    } else if (ztview_append(r->in, p, n) != 0) {
        return false;
    }
    r->in_total += n;
    return true;
}

// A blank line held back turns out to be data.
bool release(ztmime_reader *r) noexcept
{
    if (!r->nblank)
        return true;
    if (!put(r, r->blank, r->nblank))
        return false;
    r->nblank = 0;
    return true;
}

// Appends bytes of the current message, after a blank line held back.
bool emit(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (!n)
        return true;
    return release(r) && put(r, p, n);
}

// Emits [run, end) but holds back a blank line at its end: it separates
// when an envelope line follows.
bool emit_holding_blank(ztmime_reader *r, const unsigned char *p, size_t run, size_t end, bool at_start) noexcept
{
    size_t t = blank_tail(p, run, end, at_start);
    // A CR that starts a line may begin a blank line the next chunk ends.
    if (t == end && end > run && p[end - 1] == '\r' && (end - 1 > run ? p[end - 2] == '\n' : at_start))
        t = end - 1;
    if (!emit(r, p + run, t - run))
        return false;
    if (t < end) {
        if (!release(r))
            return false;
        std::memcpy(r->blank, p + t, end - t);
        r->nblank = static_cast<uint8_t>(end - t);
    }
    return true;
}

bool process(ztmime_reader *r, const unsigned char *p, size_t n, bool final) noexcept
{
    size_t i = 0, run = 0;
    bool start = r->at_line_start;  // i is the start of a line
    if (r->nblank == 1 && r->blank[0] == '\r' && n) {
        // The CR held back at the end of the last chunk.
        if (p[0] == '\n') {
            r->blank[1] = '\n';
            r->nblank = 2;
            i = run = 1;
            start = true;
        } else if (!release(r)) {
            return false;
        }
    }
    bool run_start = start;  // run is the start of a line
    while (i < n) {
        if (r->skip_envelope) {
            const void *nl = std::memchr(p + i, '\n', n - i);
            if (!nl)
                return true;
            i = run = static_cast<size_t>(static_cast<const unsigned char *>(nl) - p) + 1;
            r->skip_envelope = false;
            start = run_start = true;
            continue;
        }
        if (start) {
            LineStart c = classify(p + i, n - i, final);
            if (c == kNeedMore) {
                r->at_line_start = true;
                if (!emit_holding_blank(r, p, run, i, run_start))
                    return false;
                // Of a run of ">" only one is kept back (it is the one a
                // quoted envelope line loses): the others come out as they
                // are either way, so a line of ">" alone cannot grow the
                // kept line start or make each feed copy it again.
                size_t g = 0;
                while (i + g < n && p[i + g] == '>')
                    ++g;
                if (g > 1 && !emit(r, p + i, g - 1))
                    return false;
                if (g > 1)
                    i += g - 1;
                return r->line_head.append(p + i, n - i);
            }
            if (c == kFrom) {
                // The message ends; a blank line right before is the separator.
                size_t t = blank_tail(p, run, i, run_start);
                if (t < i && (!release(r) || !emit(r, p + run, t - run)))
                    return false;
                if (t == i && !emit(r, p + run, i - run))
                    return false;
                r->nblank = 0;  // held back right before: the separator
                uint64_t at = r->in_total;
                if (!r->cuts.append(&at, sizeof at))
                    return false;
                r->skip_envelope = true;
                start = false;
                continue;
            }
            if (c == kQuoted) {
                if (!emit(r, p + run, i - run))
                    return false;
                run = i + 1;  // one ">" less
                run_start = false;
            }
            start = false;
        }
        i = next_candidate(p, i, n);
        start = i < n;
    }
    r->at_line_start = n ? p[n - 1] == '\n' : r->at_line_start;
    if (r->skip_envelope)
        return true;
    return emit_holding_blank(r, p, run, n, run_start);
}

// The splitting of one piece of input, after the line start the last
// piece left unclassified.
bool split(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (!r->line_head.n)
        return process(r, p, n, false);
    // A line start cut by the last chunk: read it together with this one.
    ByteBuf joined;
    std::swap(joined, r->line_head);
    bool ok = joined.append(p, n) && process(r, joined.p, joined.n, false);
    joined.release();
    return ok;
}

// A feed of at least kOneBlock bytes goes to `in` in slices of at most
// kSlice: each slice's messages are written into one reservation, which
// takes them back to back in one block (their header fields are then one
// piece each) with one call into the view library rather than one per
// message.  Smaller feeds are appended as they come.
constexpr size_t kOneBlock = 4096;
constexpr size_t kSlice = size_t(4) << 20;

} // namespace

bool mbox_feed(ztmime_reader *r, const unsigned char *p, size_t n) noexcept
{
    if (n < kOneBlock)
        return split(r, p, n);
    while (n) {
        const size_t k = std::min(n, kSlice);
        // What a slice writes: its bytes, the line start kept from before
        // and a blank line held back before that, at most.
        void *at = ztview_reserve(r->in, r->line_head.n + k + sizeof r->blank);
        if (!at)
            return false;
        r->resv = static_cast<unsigned char *>(at);
        r->resv_n = 0;
        bool ok = split(r, p, k);
        const size_t written = r->resv_n;
        r->resv = nullptr;
        if (ztview_commit(r->in, written) != 0 || !ok)
            return false;
        p += k;
        n -= k;
    }
    return true;
}

bool mbox_finish(ztmime_reader *r) noexcept
{
    ByteBuf head;
    std::swap(head, r->line_head);
    bool ok = process(r, head.p, head.n, true);
    head.release();
    if (r->nblank == 2 || (r->nblank == 1 && r->blank[0] == '\n'))
        r->nblank = 0;  // a blank line at the very end separates nothing
    ok = ok && release(r);
    return ok;
}

} // namespace zt_reader
