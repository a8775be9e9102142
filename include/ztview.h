/*
 * ztview.h -- segmented byte views, a LIFO stack and byte iterators.
 *
 * A view (ztview) is a handle to a byte sequence that is read at its front
 * (reading removes) and written at its end.  The bytes live in reference-
 * counted blocks; a view is a short list of segments (block, start, length)
 * over them.  Moving, cutting and duplicating bytes between views hands
 * segments over and shares blocks: no byte is copied, whatever the length.
 * Writable access (ztview_get_iovec, ztview_reserve) never changes bytes that
 * another view can see: a shared segment is copied first.
 *
 * Calls whose names begin with an underscore take the caller's module name
 * and line number for per-module accounting of live views; hosts use the
 * macros without the underscore, which pass "host" and __LINE__.
 *
 * Conventions for every call:
 *   - A null view reads as empty: its length is 0, rewinding it or moving
 *     from it does nothing.
 *   - Calls that take a destination `dst` create it when given null; the
 *     caller then owns the returned view.
 *   - A call that fails for lack of memory returns null or -1, sets errno to
 *     ENOMEM and leaves every view it was given exactly as it was.
 *   - Nothing here writes to stdout or stderr, aborts, or throws.
 *   - Threads: a view belongs to one thread at a time and needs no lock
 *     there; a view may be handed to another thread (with the host's usual
 *     synchronisation) and used or released there.  Views that share
 *     blocks may be used, written and released in different threads at the
 *     same time: reference counts are atomic and a view never writes bytes
 *     another view can see.  The escape scratch slots are per thread, and
 *     ztview_live_count sums the counts of every thread.
 *   - Releasing a view whose block other views still share is counted in
 *     the releasing thread and handed to the block in one step when that
 *     thread next releases a view of another block, or ends: a thread may
 *     thus keep one such block alive a little longer than its last view.
 */
#ifndef ZTVIEW_H
#define ZTVIEW_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#if defined(__GNUC__)
#define ZTVIEW_EXPORT __attribute__((visibility("default")))
#else
#define ZTVIEW_EXPORT
#endif

#ifdef __cplusplus
#define ZT_NOEXCEPT noexcept
extern "C" {
#else
#define ZT_NOEXCEPT
#endif

typedef struct ztview ztview;         /* opaque */
typedef struct ztiterator ztiterator; /* opaque */

/* An item pushed on a ztds_lifo begins with this link. */
typedef struct ztds_lifo_link {
    struct ztds_lifo_link *next;
} ztds_lifo_link;

/* A stack; its first field is the top item (null when empty). */
typedef struct ztds_lifo {
    ztds_lifo_link *top;
} ztds_lifo;

/* ---------------------------------------------------------------------- */
/* Life cycle                                                             */
/* ---------------------------------------------------------------------- */

/* New empty view, owned by the caller.  Null with errno ENOMEM on failure. */
ZTVIEW_EXPORT ztview *_ztview_init(const char *module, int line) ZT_NOEXCEPT;

/* Releases a view and its references to blocks.  Null is ignored. */
ZTVIEW_EXPORT void _ztview_destroy(ztview *view, const char *module, int line) ZT_NOEXCEPT;

/* Number of bytes in the view; 0 for null. */
ZTVIEW_EXPORT size_t ztview_get_len(const ztview *view) ZT_NOEXCEPT;

/* Empties the view (keeps the handle).  Null is ignored. */
ZTVIEW_EXPORT void ztview_rewind(ztview *view) ZT_NOEXCEPT;

/* New view over `len` bytes at `bytes`.  copy 1: the view holds a copy.
 * copy 0: the view refers to the caller's bytes without copying; they must
 * stay unchanged and alive until every view made from this one is released
 * (the library never writes into them: writable access copies first).
 * A null `bytes` with len 0 gives an empty view.  Null on failure. */
ZTVIEW_EXPORT ztview *_ztview_from_buf(const void *bytes, size_t len, int copy, const char *module,
                                       int line) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Writing at the end                                                     */
/* ---------------------------------------------------------------------- */

/* Append a copy of `len` bytes (fills the spare room of the last block
 * before allocating).  0, or -1 (null view, null bytes with len > 0, or no
 * memory; the view is unchanged). */
ZTVIEW_EXPORT int ztview_append(ztview *view, const void *bytes, size_t len) ZT_NOEXCEPT;

/* Append a copy of a NUL-terminated text (without its NUL).  0 or -1. */
ZTVIEW_EXPORT int ztview_appends(ztview *view, const char *text) ZT_NOEXCEPT;

/* Append a copy of all bytes of `src` to `dst`; src is unchanged (dst may be
 * src).  A null src appends nothing.  0, or -1 (null dst, no memory). */
ZTVIEW_EXPORT int ztview_concat(ztview *dst, const ztview *src) ZT_NOEXCEPT;

/* Zero-copy writing: returns a pointer to at least `n` writable bytes at the
 * end of the view (n 0 is taken as 1).  Nothing is appended until
 * ztview_commit; the pointer stays valid until the next call that changes
 * the view.  Null (errno ENOMEM) on failure or for a null view. */
ZTVIEW_EXPORT void *ztview_reserve(ztview *view, size_t n) ZT_NOEXCEPT;

/* Appends the first `n` bytes written at the pointer of the last
 * ztview_reserve.  0, or -1 when no reservation is open or n exceeds it
 * (nothing appended).  Committing ends the reservation. */
ZTVIEW_EXPORT int ztview_commit(ztview *view, size_t n) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Moving bytes between views (no byte is copied)                          */
/* ---------------------------------------------------------------------- */

/* Removes min(n, len(src)) bytes from src's front and appends them to dst.
 * Returns dst (made when null), or null on failure (src and a given dst
 * unchanged; a dst made here is released).  A null src moves nothing. */
ZTVIEW_EXPORT ztview *_ztview_move(ztview *dst, ztview *src, size_t n, const char *module,
                                   int line) ZT_NOEXCEPT;

/* Removes min(n, len(src)) bytes from src's front; they replace dst's
 * content.  Returns dst (made when null) or null, as for _ztview_move. */
ZTVIEW_EXPORT ztview *_ztview_cut(ztview *src, ztview *dst, size_t n, const char *module,
                                  int line) ZT_NOEXCEPT;

/* Like _ztview_cut, but src keeps its bytes (the two views share them). */
ZTVIEW_EXPORT ztview *_ztview_duplicate_front(const ztview *src, ztview *dst, size_t n,
                                              const char *module, int line) ZT_NOEXCEPT;

/* Cut of the bytes before the first byte that occurs in the NUL-terminated
 * `set` (all bytes when none does).  Returns dst as _ztview_cut does. */
ZTVIEW_EXPORT ztview *_ztview_skip_until(ztview *view, ztview *dst, const char *set,
                                         const char *module, int line) ZT_NOEXCEPT;

/* Removes the leading bytes that occur in the NUL-terminated `set`; returns
 * how many were removed. */
ZTVIEW_EXPORT size_t ztview_skip_while(ztview *view, const char *set) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Reading at the front                                                    */
/* ---------------------------------------------------------------------- */

/* Length of the leading run of bytes in (strspn) or not in (strcspn) the
 * `setlen` bytes at `set` (the set may hold NUL). */
ZTVIEW_EXPORT size_t ztview_strspn(const ztview *view, const char *set, size_t setlen) ZT_NOEXCEPT;
ZTVIEW_EXPORT size_t ztview_strcspn(const ztview *view, const char *set, size_t setlen) ZT_NOEXCEPT;

/* Offset of the first byte equal to `c`, or -1 when there is none. */
ZTVIEW_EXPORT long ztview_find_byte(const ztview *view, int c) ZT_NOEXCEPT;

/* First byte (0..255) kept / removed; -1 when the view is empty or null. */
ZTVIEW_EXPORT int ztview_peekchar(const ztview *view) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_getchar(ztview *view) ZT_NOEXCEPT;

/* Byte at index i into *out: 0, or -1 past the end (out untouched). */
ZTVIEW_EXPORT int ztview_getnchar(const ztview *view, size_t i, unsigned char *out) ZT_NOEXCEPT;

/* whence ZTVIEW_SEEK_FRONT (1): removes n bytes from the front.  0, or -1
 * when n exceeds the length or whence is another value (nothing removed). */
#define ZTVIEW_SEEK_FRONT 1
ZTVIEW_EXPORT int ztview_seek(ztview *view, size_t n, int whence) ZT_NOEXCEPT;

/* Comparisons; 0 when equal, else negative or positive as memcmp orders the
 * bytes (a view that is a proper prefix of the other orders first).
 *   cmp:         whole views.
 *   ncmp:        the first n bytes of each; a view shorter than n is unequal.
 *   strncmp:     the first n bytes of the view with the first n bytes of
 *                text (text must hold n bytes or end with a NUL before).
 *   strcasecmp:  the whole view with the whole NUL-terminated text, ASCII
 *                case ignored.
 *   strcasencmp: like strncmp, ASCII case ignored.
 * Null views compare as empty. */
ZTVIEW_EXPORT int ztview_cmp(const ztview *a, const ztview *b) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_ncmp(const ztview *a, const ztview *b, size_t n) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_strncmp(const ztview *view, const char *text, size_t n) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_strcasecmp(const ztview *view, const char *text) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_strcasencmp(const ztview *view, const char *text, size_t n) ZT_NOEXCEPT;

/* Copies the view's bytes out, NUL-terminated when nul is 1.
 *   buf null:  into a new allocation of len + nul bytes (at least 1), which
 *              the caller releases with free(); null on failure.
 *   buf given: into buf.  When lenp is given, *lenp on entry is buf's size
 *              and at most that many bytes (the NUL included) are written;
 *              with a null lenp buf must hold len + nul bytes.
 * With nul 1 the length of the view's data (without the NUL) goes to
 * *lenp, also when buf was too small to take all of it, so the caller can
 * tell; with nul 0 the number of bytes copied does.  Returns the buffer, or
 * null for a null view. */
ZTVIEW_EXPORT void *ztview_copy_data_r(const ztview *view, void *buf, size_t *lenp, int nul) ZT_NOEXCEPT;

/* Text of the view in the process-wide scratch slot 1 or 2 (grown as
 * needed), valid until the next call that uses the same slot.
 *   flag 0: printable rendering; bytes outside 0x20..0x7E and the backslash
 *           are written as \xHH so the text stays one printable line.
 *   flag 1: the raw bytes, NUL-terminated.
 * Never null: an unknown slot, a null view or a failed allocation give "". */
ZTVIEW_EXPORT const char *ztview_copy_data_escaped(const ztview *view, int slot, int flag) ZT_NOEXCEPT;

/* The current text of scratch slot 1 or 2 ("" for other slots). */
ZTVIEW_EXPORT const char *ztview_esc_get_buf(int slot) ZT_NOEXCEPT;

/* Writable (pointer, length) pairs over the view's segments, in order.  A
 * segment that shares its block with another view, or refers to the bytes
 * of a copy-0 view, is first copied to a block of its own, so writing
 * through the pointers changes this view only.  flags must be 0.  Returns an
 * allocated array (release with free(); non-null even for an empty view)
 * and the number of pairs in *countp; null (errno ENOMEM) on failure. */
ZTVIEW_EXPORT struct iovec *ztview_get_iovec(ztview *view, int flags, int *countp) ZT_NOEXCEPT;

/* Read-only zero-copy access: the number of segments, and the bytes of
 * segment i (0 or -1 past the last segment).  Valid until the view changes. */
ZTVIEW_EXPORT size_t ztview_segment_count(const ztview *view) ZT_NOEXCEPT;
ZTVIEW_EXPORT int ztview_segment(const ztview *view, size_t i, const unsigned char **bytes,
                                 size_t *len) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* LIFO                                                                    */
/* ---------------------------------------------------------------------- */

ZTVIEW_EXPORT void ztds_lifo_init(ztds_lifo *lifo) ZT_NOEXCEPT;
/* Pushes an item that begins with a ztds_lifo_link; returns the item (null
 * when lifo or item is null). */
ZTVIEW_EXPORT void *ztds_lifo_push(ztds_lifo *lifo, void *item) ZT_NOEXCEPT;
/* Top item removed from the stack, or null when empty. */
ZTVIEW_EXPORT void *ztds_lifo_pop(ztds_lifo *lifo) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Byte iterator                                                           */
/* ---------------------------------------------------------------------- */

/* An iterator walks a view from its present front without removing bytes.
 * After the view changes, call ztiterator_reset before the next inc. */
ZTVIEW_EXPORT ztiterator *ztiterator_create(const ztview *view) ZT_NOEXCEPT;
/* 0 with the next byte in *out, non-zero at the end. */
ZTVIEW_EXPORT int ztiterator_inc(ztiterator *it, unsigned char *out) ZT_NOEXCEPT;
/* Restarts at the view's present front (flags must be 0). */
ZTVIEW_EXPORT void ztiterator_reset(ztiterator *it, int flags) ZT_NOEXCEPT;
ZTVIEW_EXPORT void ztiterator_destroy(ztiterator *it) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Accounting                                                              */
/* ---------------------------------------------------------------------- */

/* Views made by `module` and not yet released; null: all modules. */
ZTVIEW_EXPORT long ztview_live_count(const char *module) ZT_NOEXCEPT;

/* Host-facing forms of the accounted calls. */
#define ztview_init() _ztview_init("host", __LINE__)
#define ztview_destroy(v) _ztview_destroy((v), "host", __LINE__)
#define ztview_from_buf(p, n) _ztview_from_buf((p), (n), 1, "host", __LINE__)
#define ztview_move(d, s, n) _ztview_move((d), (s), (n), "host", __LINE__)
#define ztview_cut(s, d, n) _ztview_cut((s), (d), (n), "host", __LINE__)
#define ztview_duplicate_front(s, d, n) _ztview_duplicate_front((s), (d), (n), "host", __LINE__)
#define ztview_skip_until(v, d, set) _ztview_skip_until((v), (d), (set), "host", __LINE__)

#ifdef __cplusplus
}
#endif

#endif /* ZTVIEW_H */
