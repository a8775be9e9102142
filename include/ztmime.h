/*
 * ztmime.h -- streaming MIME parser, header toolkit, transfer codecs,
 * encoded-word decoder and scramblers.
 *
 * All bytes enter and leave through views (ztview.h).  A view that the
 * library hands to the caller belongs to the caller from then on and is
 * released with ztview_destroy; views the caller passes in stay the
 * caller's (update calls copy them).
 *
 * Results: 0 success, -1 failure, -2 a soft failure after which work went
 * on; constructors return a pointer or null (errno ENOMEM when the record
 * itself could not be allocated).  Parser and tokenizer failures leave a
 * message in ztmime_last_error (read it with ztmime_strerror); codec
 * failures leave a static text read with ztmime_encoder_get_error.
 *
 * Threads: every handle (parser context, codec state, encoder, reader,
 * view) belongs to one thread at a time; any number of threads may work at
 * once on handles of their own, with no lock in the host.  A handle may
 * move to another thread when the host hands it over with the usual
 * synchronisation (a mutex, a queue, a thread join); a view made in one
 * thread may be released in another.  Views that share bytes (after a cut
 * or duplicate) may be used in different threads at the same time.  What
 * the library keeps between calls is per thread: ztmime_last_error (a
 * thread-local array: each thread sees the message of its own last
 * failure), the text returned by ztmime_type_to_str, the view library's
 * scratch slots, and the caches of view records, of large released blocks
 * (up to 80 MiB) and of charset converters, which a thread's end releases
 * and closes.  The live counts of ztview_live_count cover every thread.
 * The one process-wide table is the charset alias table `aliases`: change
 * it only while no other thread uses the library.
 */
#ifndef ZTMIME_H
#define ZTMIME_H

#include <stdint.h>

#include "ztview.h"

#if defined(__GNUC__)
#define ZTMIME_EXPORT __attribute__((visibility("default")))
#else
#define ZTMIME_EXPORT
#endif

/* The version of this header; ztmime_version() gives the library's. */
#define ZTMIME_VERSION_MAJOR 0
#define ZTMIME_VERSION_MINOR 3
#define ZTMIME_VERSION_PATCH 0
#define ZTMIME_VERSION_STRING "0.3.0"

#ifdef __cplusplus
extern "C" {
#endif

/* ====================================================================== */
/* Shared types                                                           */
/* ====================================================================== */

/* Transfer-encoding codes: a part's Content-Transfer-Encoding and the codec
 * selector of the encoder object.  0 means none recorded. */
typedef enum ztmime_enc {
    ZTMIME_ENC_7BIT = 1,
    ZTMIME_ENC_8BIT = 2,
    ZTMIME_ENC_BINARY = 4,
    ZTMIME_ENC_BASE64 = 8,
    ZTMIME_ENC_QP = 16,
    ZTMIME_ENC_UUENCODE = 32,
    ZTMIME_ENC_DOT = 64,   /* codec only */
    ZTMIME_ENC_OTHER = 128 /* an unrecognised encoding name */
} ztmime_enc;

/* Events returned by ztmime_do, and the values of the parser state. */
typedef enum ztmime_type {
    ZTMIME_ERROR = -1,           /* failure; message in ztmime_last_error when one was written */
    ZTMIME_NO_DATA = 0,          /* no complete line: update more input or finish */
    ZTMIME_HEADER = 1,           /* a complete header field of a message */
    ZTMIME_HEADERS_DONE = 2,     /* end of a message's header block */
    ZTMIME_PART_HEADER = 3,      /* a complete header field of a body part */
    ZTMIME_PART_HEADERS_DONE = 4, /* end of a body part's header block */
    ZTMIME_PART_BODY = 5,        /* body lines */
    ZTMIME_PART_DONE = 6,        /* end of a part */
    ZTMIME_MSG_DONE = 7,         /* end of the message: the rest of the input */
    ZTMIME_LONG_LINE = 8,        /* an over-long body line, or header field holding one */
    ZTMIME_UUENCODE_HEADER = 9,  /* a uuencode "begin" line */
    ZTMIME_UUENCODE_BODY = 10,   /* never returned (state inside a uuencoded block) */
    ZTMIME_UUENCODE_DONE = 11,   /* the "end" line of a uuencoded block */
    ZTMIME_BINHEX_HEADER = 12    /* a BinHex notice line */
} ztmime_type;

/* Option bits of ztmime_init (the value 2 and bits above 16 mean nothing). */
#define ZTMIME_FLAG_DOT_END 1u   /* a line ".\r\n" ends the input */
#define ZTMIME_FLAG_BINARY 4u    /* no bare-CR repair, no length limit, long runs as body */
#define ZTMIME_FLAG_UUENCODE 8u  /* look for uuencode "begin " lines in bodies */
#define ZTMIME_FLAG_FINISH 16u   /* set by ztmime_finish, never cleared by the library */

/* ====================================================================== */
/* Parser records                                                         */
/* ====================================================================== */

/* One open multipart.  Both delimiters are empty while the boundary value
 * is not yet known. */
typedef struct ztmime_boundary {
    ztds_lifo_link link;      /* owned by the stack */
    ztview *delimiter;        /* "--" boundary */
    ztview *close_delimiter;  /* "--" boundary "--" */
} ztmime_boundary;

/* Facts about the current part; the host reads them between the
 * end-of-headers event and its next call of ztmime_do. */
typedef struct ztmime_part {
    ztview *filename;      /* file name; empty when none */
    ztview *content_type;  /* type/subtype as written; empty when none */
    int32_t encoding;      /* a ztmime_enc code; 0 when none was seen */
    int32_t depth;         /* number of entries on boundaries */
    ztds_lifo boundaries;  /* ztmime_boundary entries, innermost on top */
} ztmime_part;

/* The parser context. */
typedef struct ztmime_ctx {
    int32_t state;       /* a ztmime_type value; 1 after init and reset */
    uint32_t flags;      /* option bits, plus ZTMIME_FLAG_FINISH after ztmime_finish */
    ztview *input;       /* bytes not yet handed out; null after ZTMIME_MSG_DONE */
    ztview *header;      /* the header field being collected, or null */
    ztview *scratch;     /* working view for one continuation line */
    uint32_t max_line;   /* line-length limit; 0 for none */
    ztmime_part part;    /* the current part and the boundary stack */
    ztmime_boundary *rfc822_top; /* top entry when an embedded message began */
    int32_t long_header; /* the field being collected has an over-long line */
} ztmime_ctx;

/*
 * ztmime_version: the version string of the library that is loaded, in the
 *   form of ZTMIME_VERSION_STRING ("MAJOR.MINOR.PATCH").  A host built
 *   against one header and run with another library can compare the two.
 */
ZTMIME_EXPORT const char *ztmime_version(void) ZT_NOEXCEPT;

/* The calling thread's last-error text (128 characters and a NUL). */
#if defined(__GNUC__) || defined(__clang__)
#define ZTMIME_THREAD_LOCAL __thread
#elif defined(__cplusplus)
#define ZTMIME_THREAD_LOCAL thread_local
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZTMIME_THREAD_LOCAL _Thread_local
#else
#error "ztmime.h needs a compiler with thread-local storage"
#endif
ZTMIME_EXPORT extern ZTMIME_THREAD_LOCAL char ztmime_last_error[129];

/* ====================================================================== */
/* Parser                                                                 */
/* ====================================================================== */

/*
 * The parser is a pull parser: the host appends bytes and pulls one event
 * per call.  Order of calls for one message:
 *
 *     ctx = ztmime_init(max_line, flags);
 *     for each chunk:  ztmime_update(ctx, chunk);
 *                      while ((ev = ztmime_do(ctx, &view)) != ZTMIME_NO_DATA) ...
 *     ztmime_finish(ctx);
 *     while ((ev = ztmime_do(ctx, &view)) != ZTMIME_MSG_DONE) ...
 *     ztmime_reset(ctx) for the next message, or ztmime_destroy(ctx).
 *
 * Each view that ztmime_do hands out belongs to the host, which releases it
 * with ztview_destroy.  On ZTMIME_HEADER and ZTMIME_PART_HEADER the host
 * passes the field to ztmime_parse_header so that boundaries and embedded
 * messages are followed; without that the whole body is body data.  The
 * parser holds at most the unparsed input: the longest line plus the last
 * chunk, when the host drains events after each update.
 */

/*
 * Makes a parser context in the message-header state (state 1).  max_line
 * is the line-length limit in bytes (0: none); flags are ZTMIME_FLAG_* bits
 * and are stored unchanged.  Empties ztmime_last_error once the context is
 * allocated.
 *
 * Returns the context, owned by the caller (release with ztmime_destroy),
 * or null with errno ENOMEM: "Unable allocate mime structure" when the
 * record itself could not be allocated, no message when one of its views
 * could not be made.  Nothing is left allocated on failure.
 */
ZTMIME_EXPORT ztmime_ctx *ztmime_init(uint32_t max_line, uint32_t flags) ZT_NOEXCEPT;

/*
 * Appends a copy of the bytes of `chunk` to the context's input; never
 * parses.  Any chunk size is allowed, a null or empty chunk appends nothing.
 * The caller keeps and releases `chunk`.
 *
 * Returns 0, or -1 when ctx is null, when the context has no input (after
 * ZTMIME_MSG_DONE, until ztmime_reset), or when memory ran out (errno
 * ENOMEM; nothing appended).  No message is written.
 */
ZTMIME_EXPORT int ztmime_update(ztmime_ctx *ctx, const ztview *chunk) ZT_NOEXCEPT;

/*
 * Cuts the next event out of the input.  *out is set to null on entry; when
 * the event carries data, *out receives a new view that the host owns.
 *
 *   ZTMIME_NO_DATA         no complete line: update more input, or finish.
 *                          Also every call after ZTMIME_MSG_DONE.
 *   ZTMIME_HEADER,         a complete header field with all its
 *   ZTMIME_PART_HEADER     continuation lines and terminators, unchanged;
 *                          given only once the line after it is complete
 *                          (or the input ended).  Pass it to
 *                          ztmime_parse_header.
 *   ZTMIME_HEADERS_DONE,   end of a header block: the blank line (1 or 2
 *   ZTMIME_PART_HEADERS_DONE  bytes), or no view when a non-field line or
 *                          the end of input ended the block.  The part
 *                          record is valid until the next ztmime_do.
 *   ZTMIME_PART_BODY       one or more complete body lines (a batch), still
 *                          in their transfer encoding; in ZTMIME_FLAG_BINARY
 *                          mode also a run of more than 50 bytes without a
 *                          line end.
 *   ZTMIME_PART_DONE       the delimiter line that ended a part, or no view
 *                          at the end of input.
 *   ZTMIME_MSG_DONE        the rest of the input view itself (possibly
 *                          empty, an unterminated last line, or the ".\r\n"
 *                          line and what followed it).  The context keeps no
 *                          input: reset or destroy it.
 *   ZTMIME_LONG_LINE       a body line longer than max_line (all buffered
 *                          bytes when still unterminated), or a header field
 *                          holding such a line.  A continuation line that
 *                          follows an over-long header line is dropped.
 *   ZTMIME_UUENCODE_HEADER a uuencode "begin" line (ZTMIME_FLAG_UUENCODE);
 *                          reported once a line end follows it, or at once
 *                          after ztmime_finish so that the message still
 *                          ends.  ztmime_parse_uu_header gives its file name.
 *   ZTMIME_UUENCODE_DONE   the "end" line of a uuencoded block.
 *   ZTMIME_BINHEX_HEADER   a "(This file must be converted with BinHex "
 *                          notice line.
 *   ZTMIME_ERROR           no view.  "Invalid NULL parameters for ztmime_do"
 *                          when ctx or out is null; no message for a
 *                          complete line after the end of input was
 *                          reported (nothing consumed) or for lack of memory
 *                          (errno ENOMEM; nothing consumed, the call can be
 *                          repeated).  "Unable remove message part boundary"
 *                          when a close delimiter's boundary cannot be
 *                          popped; the delimiter line it had cut is released
 *                          by the library (*out stays null).
 *
 * Requires a context from ztmime_init.  Lines end at LF, CR LF, or (after
 * repair) a bare CR: unless ZTMIME_FLAG_BINARY is set a bare CR becomes
 * CR LF, a CR before another CR is removed and a CR that starts the input is
 * dropped.
 */
ZTMIME_EXPORT ztmime_type ztmime_do(ztmime_ctx *ctx, ztview **out) ZT_NOEXCEPT;

/*
 * Announces the end of input: sets ZTMIME_FLAG_FINISH in ctx->flags.  The
 * remaining events, ending with ZTMIME_MSG_DONE, are drained with
 * ztmime_do.  The flag stays set across ztmime_reset; a host that streams
 * several messages through one context clears it itself
 * (ctx->flags &= ~ZTMIME_FLAG_FINISH) after each reset.
 *
 * Returns 0, or -1 when ctx is null.
 */
ZTMIME_EXPORT int ztmime_finish(ztmime_ctx *ctx) ZT_NOEXCEPT;

/*
 * Readies the context for the next message with the same max_line and
 * flags (ZTMIME_FLAG_FINISH included): empties the input (or makes it when
 * ZTMIME_MSG_DONE handed it out), releases a pending header field, pops all
 * boundaries, empties the part record and sets the state to 1.
 *
 * Returns 0 in every case; a null ctx is ignored.  When the input view
 * cannot be made for lack of memory the context stays without input
 * (ztmime_update then fails) until a later reset succeeds.
 */
ZTMIME_EXPORT int ztmime_reset(ztmime_ctx *ctx) ZT_NOEXCEPT;

/*
 * Empties the file name and content type of a part record (making each
 * view when it is null) and sets its encoding to 0.  depth and boundaries
 * are not touched.  Pass the context's part record.
 *
 * Returns 0, or -1 when part is null or a view cannot be made (errno
 * ENOMEM; a view made before the failure stays in the record).
 */
ZTMIME_EXPORT int ztmime_part_reset(ztmime_part *part) ZT_NOEXCEPT;

/*
 * Releases the context with its input, pending header field, scratch view,
 * boundary entries and part views.  Views handed out earlier stay the
 * host's.  A null ctx does nothing.
 */
ZTMIME_EXPORT void ztmime_destroy(ztmime_ctx *ctx) ZT_NOEXCEPT;

/*
 * The text of ztmime_last_error: the last message written by the parser or
 * the tokenizer, "" when none was written since the last successful
 * ztmime_init.  Never null; one static buffer for the whole library.
 */
ZTMIME_EXPORT const char *ztmime_strerror(void) ZT_NOEXCEPT;

/*
 * The enumerator name of an event value ("ZTMIME_ERROR" .. "ZTMIME_BINHEX_HEADER").
 * Any other value gives "ZTMIME_UNKNOWN <value>" in a static buffer that the
 * next such call overwrites.  Never null.
 */
ZTMIME_EXPORT const char *ztmime_type_to_str(int type) ZT_NOEXCEPT;

/*
 * Opens a multipart: pushes a boundary entry on part->boundaries and
 * increments part->depth.  With a non-null `boundary` (the boundary
 * parameter's value, copied) the entry's delimiter is "--" value and its
 * close delimiter "--" value "--"; with null both stay empty and match no
 * line until header interpretation fills them.  The entry belongs to the
 * stack; the driver pops it at its close delimiter, reset and destroy pop
 * the rest.
 *
 * Returns 0, or -1 when part is null or memory ran out (errno ENOMEM;
 * nothing pushed, nothing left allocated).  No message is written.
 */
ZTMIME_EXPORT int ztmime_boundary_add(ztmime_part *part, const ztview *boundary) ZT_NOEXCEPT;

/*
 * Checks a uuencode "begin" line: after the 6-byte "begin " prefix, either
 * a space (no mode) or a decimal mode that is not 0, then blanks, then a
 * non-empty file name running to the line end (it may hold spaces).  `line`
 * is not changed.
 *
 * Returns 1 for a valid begin line, and then, when `filename` is non-null,
 * appends the file name (without the line end) to it; 0 otherwise (also for
 * a null or short line, or lack of memory), leaving `filename` unchanged.
 */
ZTMIME_EXPORT int ztmime_parse_uu_header(const ztview *line, ztview *filename) ZT_NOEXCEPT;

ZTMIME_EXPORT int ztmime_parse_header(ztmime_ctx *ctx, const ztview *header, ztview *normalized) ZT_NOEXCEPT;
/*
 * Interprets one header field handed out with ZTMIME_HEADER or
 * ZTMIME_PART_HEADER, so that the parser can follow multiparts and
 * embedded messages.  Call it for every header event, before the next
 * ztmime_do.  header is only read; the caller keeps and releases it.
 *
 * When normalized is not null its content is replaced by the field
 * normalised with ztmime_normalize_header (by the raw field when that
 * fails, and the call then returns -1).  With a null normalized the field
 * is not normalised at all: nothing would read the result.
 *
 * The field is recognised by its first bytes, name starting at the first
 * byte, case ignored:
 *   "Content-Type:" records the main value in ctx->part.content_type.  A
 *     value beginning "multipart/" pushes a boundary entry with empty
 *     delimiters (ztmime_boundary_add).  When a content type is already
 *     recorded for this header block (or message/rfc822 set by the parser)
 *     the value must be byte for byte the same: otherwise the message is
 *     "Content-type mismatch '%s' '%s'" (new value first) and the result
 *     -1; an equal value pushes nothing.  Parameters: boundary sets the
 *     top entry's delimiter to "--" value and close_delimiter to that and
 *     "--" (the top entry whatever pushed it; ignored when the stack is
 *     empty); name and filename give the file name.
 *   "Content-Transfer-Encoding:" sets ctx->part.encoding by the start of
 *     the value: base64 8, quoted-printable 16, 7bit 1, 8bit 2, binary 4,
 *     x-uuencode 32, anything else (also empty) 128.  A later field wins.
 *   "Content-Disposition" (the 20th byte, normally the colon, is skipped):
 *     the disposition type is read and dropped; name and filename give the
 *     file name; filename*=charset'language'text (RFC 2231) is
 *     percent-decoded (a bad hex digit counts as 0), converted from the
 *     charset to UTF-8 up to its first NUL or first byte that does not
 *     convert, and replaces the file name whatever it held; a charset the
 *     converter does not know leaves the parameter unused.
 * File names: the first one of a header block wins; a different one later
 * fails with "Filename mismatch '%s' '%s'" (new first) and -1.  Recorded
 * values are the tokenizer's raw values from the field as given (encoded
 * words are not decoded; a line break folded inside a quoted value stays).
 * Any other field is left alone.
 *
 * Returns 0 done (also for other fields); 1 when ctx or header is null;
 * -2 when a parameter name or value was malformed but the field was read
 * to its end (the tokenizer's message is in ztmime_last_error); -1 on a
 * Content-Type with an empty or rejected main value, a mismatch, a
 * tokenizer failure other than -2, or no memory.  A -1 after a -2 in the
 * same field wins.  On -1 what was recorded before the failure stays.
 * The mismatch messages use the view library's scratch slots 1 and 2.
 */

/* ====================================================================== */
/* Header toolkit                                                         */
/* ====================================================================== */

/*
 * Tokenizer.  The four calls below read the pieces of a structured field
 * body (what follows "Name:") out of a source view.  Each removes what it
 * read from the front of the source and leaves the rest for the next call,
 * so a caller walks a body by calling them in turn on the same view.  They
 * keep no state between calls.
 *
 * Output handle: every call takes `out`, the address of a view handle.
 * When *out is null the call makes a new view and stores it there; when it
 * is not null that view is emptied and refilled.  After the call *out holds
 * exactly the text read by this call, and the caller owns that view
 * (ztview_destroy).  A null `out` gives -1 at once: no message, nothing
 * consumed.  A null source reads as an empty one.
 *
 * Messages go to ztmime_last_error (ztmime_strerror), cut at 128
 * characters; a "%s" in them is the offending text rendered printable, a
 * "0x%x" the byte value in lower-case hex.  A successful call leaves the
 * text as it was.
 *
 * Walking a parameterised field such as Content-Type or
 * Content-Disposition, after the field name and colon were removed:
 *
 *     ztmime_header_get_value(body, &v);             main value
 *     while (ztview_get_len(body) > 0) {
 *         ztmime_header_get_attribute_name(body, &n);
 *         ztview_skip_while(body, " \t");
 *         ztmime_header_get_attribute_value(body, &a);
 *         ztview_skip_while(body, " \t\r\n;");
 *     }
 *
 * A -2 from the name or value call reports a malformed parameter and the
 * loop may go on; every name and value pair consumes at least one byte, so
 * the loop ends.  Any -1 should end it.
 */

/* Kinds reported by ztmime_header_get_token. */
typedef enum ztmime_token_kind {
    ZTMIME_TOKEN_NONE = 0,    /* no token: a ";" (consumed) or only blanks and
                                 line breaks were left; the output is empty */
    ZTMIME_TOKEN_QUOTED = 1,  /* a quoted string: its content without the
                                 quotes, backslashes kept; when not closed
                                 before the end, the opening quote and all
                                 after it */
    ZTMIME_TOKEN_COMMENT = 2, /* a comment not closed before the end, from its
                                 "(" on (a closed comment is removed) */
    ZTMIME_TOKEN_ATOM = 3     /* an atom with its comments removed; empty when
                                 the token was only a comment */
} ztmime_token_kind;

ZTMIME_EXPORT int ztmime_header_get_value(ztview *src, ztview **out) ZT_NOEXCEPT;
/*
 * Reads the main value of a field (for example "multipart/mixed").
 *
 * Drops leading SP, HT, CR and LF, then cuts the run up to (not including)
 * the first SP, HT, CR, LF or ";" -- or the whole rest -- from src into
 * *out.  The byte that stopped the run stays at the front of src.  An empty
 * value is no error.
 *
 * Returns 0 on success.  -1 when:
 *   - out is null (nothing consumed, no message);
 *   - the value holds a double quote: "Header value contains invalid double
 *     quote character '%s'";
 *   - the value holds "(" and no double quote: "Header value contains
 *     comments'%s'";
 *   - the output could not be made: "Unable allocate memory", errno ENOMEM;
 *     only the leading blanks are consumed and *out is as it was (a view
 *     given by the caller is emptied).
 * For the two value errors the value's bytes are consumed and *out is
 * emptied.
 */

ZTMIME_EXPORT int ztmime_header_get_attribute_name(ztview *src, ztview **out) ZT_NOEXCEPT;
/*
 * Reads a parameter name.
 *
 * Drops leading ";", LF, CR, SP and HT, then cuts the run up to (not
 * including) the first "=", ";", SP, HT, LF or CR -- or the whole rest --
 * from src into *out.  The stopping byte, normally the "=", stays in src.
 * No other check is made on the name's bytes.
 *
 * Returns 0 on success.  -2 for a malformed name, which is still delivered
 * and consumed: "Attribute name is empty" (the output is empty), or
 * "Attribute contains invalid double quote character '%s'".  -1 when out is
 * null, or when the output could not be made ("Unable allocate memory",
 * errno ENOMEM, leading separators consumed, *out as it was).
 */

ZTMIME_EXPORT int ztmime_header_get_attribute_value(ztview *src, ztview **out) ZT_NOEXCEPT;
/*
 * Reads "=" and a parameter value.
 *
 * Drops leading SP, HT, CR and LF and takes one byte, which must be "=";
 * then drops SP and HT (only these: a CR or LF right after the "=" ends the
 * value at once, empty).  The value is the concatenation of its atoms and
 * the contents of its quoted strings (without the quotes; backslash escapes
 * kept as written); blanks between pieces and comments are removed.  It ends
 * at a ";", CR or LF outside quoted strings and comments: that byte is
 * consumed, except right after a comment that no atom byte followed, where
 * it stays in src.  At the end of the data an unclosed quoted string is
 * delivered from its opening quote on, an unclosed comment from its "(".
 *
 * Returns 0 on success.  -2 when:
 *   - the first byte after the leading blanks is not "=" (also an empty
 *     source): "Invalid attribute. character '=' expected"; that byte is
 *     consumed and the output is empty;
 *   - the value holds invalid bytes; it is still read whole and delivered,
 *     and the message names the last invalid byte:
 *     "Invalid character '0x%x' inside MIME token" for a control byte
 *     (0x00-0x1F, 0x7F) that begins a piece,
 *     "Invalid controll character '0x%x' inside MIME atom token" for one
 *     inside an atom,
 *     "Invalid special character '0x%x' inside MIME atom token" for a
 *     tspecial inside an atom.  Quoted strings and comments hold no invalid
 *     byte.
 * -1 when out is null (nothing consumed); when *out was null and no view
 * could be made ("Unable allocate memory", errno ENOMEM, nothing consumed);
 * when the byte iterator could not be made (no message); or when moving
 * bytes to the output ran out of memory ("Unable allocate memory", errno
 * ENOMEM).  In the last two cases the output view is destroyed, even when
 * it was the caller's, *out is set to null, and what was read before the
 * failure stays consumed.
 */

ZTMIME_EXPORT int ztmime_header_get_token(ztview *src, ztview **out, int *kind) ZT_NOEXCEPT;
/*
 * Reads one general token: an atom, a quoted string or a comment.
 *
 * Drops leading SP, HT, CR and LF.  Then, by the first byte:
 *   ";"           consumed; kind ZTMIME_TOKEN_NONE, output empty.
 *   double quote  a quoted string up to the next unescaped double quote;
 *                 its content is delivered, both quotes consumed; kind
 *                 ZTMIME_TOKEN_QUOTED.
 *   anything else an atom up to (not including) the next ";", CR, LF, SP or
 *                 HT, which stays in src; comments inside it are removed
 *                 and the pieces around them joined; double quotes and
 *                 other specials are ordinary bytes; kind ZTMIME_TOKEN_ATOM.
 * At the end of the data pending bytes are delivered as they stand; an
 * unclosed quoted string (kind QUOTED) from its opening quote, an unclosed
 * comment (kind ZTMIME_TOKEN_COMMENT) from its "(".  An empty source gives
 * kind NONE.  The body is exhausted when the kind is NONE and src is empty.
 *
 * kind may be null; it is written only on success.  Returns 0 on success
 * (no byte is ever invalid here).  -1 as for
 * ztmime_header_get_attribute_value: null out; no view could be made; no
 * iterator; or a move ran out of memory.
 */

ZTMIME_EXPORT ztview *ztmime_unfold_header(const ztview *src, ztview *dst) ZT_NOEXCEPT;
/*
 * Joins a folded header field into one line.  src holds one field as the
 * parser hands it out (name, colon, body, line breaks); it is only read.
 * Each run of CR and LF bytes inside the field, together with the one byte
 * after it (the folding blank, whatever it is), becomes one SP; further
 * blanks of a continuation line stay; the run at the end disappears.
 *
 * The text is appended to dst, which is not emptied first; a null dst makes
 * a new view that the caller then owns.  Returns dst (or the new view);
 * null when src is null, when no view could be made, or when appending ran
 * out of memory (a view made here is then released).  Writes no message.
 */

ZTMIME_EXPORT int ztmime_normalize_header(const ztview *src, ztview *dst) ZT_NOEXCEPT;
/*
 * Makes a header field one line of UTF-8 text: unfolds it as
 * ztmime_unfold_header does, decodes every RFC 2047 encoded word with
 * ztmime_i18n_chunk wherever a "=" starts one (also inside a word), and
 * takes all other text as ISO-8859-1 (bytes 0x80-0xFF become two UTF-8
 * bytes).  Blanks between two adjacent encoded words are dropped, also
 * across a fold; blanks between an encoded word and other text stay; blanks
 * at the end of the field after the last encoded word or after a "=" that
 * starts none are dropped, blanks at the end of plain text stay.  A "=" that
 * starts no decodable word is text.  A NUL byte ends the output of the
 * plain text it is in (up to the next "=").
 *
 * dst is emptied first and then holds exactly the result; src (null: an
 * empty field) is only read.  Returns 0, or -1 when dst is null (nothing
 * done) or memory ran out (dst is then empty).  Writes no message.  Uses
 * the converter cache of the encoded-word decoder: not reentrant.
 */

/* ====================================================================== */
/* Transfer codecs                                                        */
/* ====================================================================== */

/* Base64 state. */
typedef struct ztmime_b64 {
    int32_t line_groups;  /* encoder: groups written; -1: no line breaks (past
                             INT32_MAX it wraps keeping its remainder mod 19) */
    uint32_t mode;        /* 1 decode, 0 encode */
    ztview *pending;      /* input not yet turned into output */
    const char *error;    /* static text of the last failure */
    int32_t pad_errors;   /* extra pad characters met; non-zero blocks the state */
} ztmime_b64;

/* Quoted-printable state.  The column counters stop at INT32_MAX. */
typedef struct ztmime_qp {
    int32_t out_column;   /* encoder: characters on the current output line */
    int32_t in_column;    /* input units since the last input line break */
    uint32_t flags;       /* ZTMIME_QP_* bits as given */
    ztview *pending;      /* input not yet processed */
    const char *error;    /* never set by this codec */
} ztmime_qp;

/* Uuencode state (see "Uuencode codec" below). */
typedef struct ztmime_uu {
    int32_t line_len;     /* decoder: data bytes of the line being decoded;
                             -1 while the rest of a decoded line is skipped */
    uint32_t mode;        /* 1 decode, 0 encode */
    ztview *pending;      /* encoder: under 45 bytes; decoder: an incomplete line */
    const char *error;    /* never set by this codec */
} ztmime_uu;

/* Dot-stuffing filter state (see "Dot-stuffing filter" below). */
typedef struct ztmime_dot {
    uint32_t mode;        /* bit 0: remove; clear: add */
    ztview *pending;      /* empty between calls */
    int32_t at_line_start; /* 1: the next byte starts a line */
    const char *error;    /* never set by this filter */
} ztmime_dot;

/* Base64 flags / quoted-printable flags. */
#define ZTMIME_B64_DECODE 1
#define ZTMIME_B64_NO_BREAKS 2
#define ZTMIME_QP_DECODE 1u
#define ZTMIME_QP_DOTS 2u
#define ZTMIME_QP_STRICT 4u
#define ZTMIME_QP_BINARY 8u

/* ---------------------------------------------------------------------- */
/* Base64 (RFC 2045 alphabet, "=" padding)                                */
/*                                                                        */
/* Order of calls: ztmime_b64_init (or ztmime_b64_reset on a null or an   */
/* embedded state), any number of ztmime_b64_update, one                  */
/* ztmime_b64_finish, then ztmime_b64_destroy or ztmime_b64_reset for the */
/* next stream.  A state belongs to one caller at a time.                 */
/*                                                                        */
/* Flags: ZTMIME_B64_DECODE (1) decodes, otherwise the state encodes;     */
/* ZTMIME_B64_NO_BREAKS (2) makes the encoder write one unbroken line.    */
/* Other bits are ignored.  With line breaks every output line holds 76   */
/* characters (19 groups) and ends with CR LF; finish always ends the     */
/* data with CR LF, so data that fills its last line gets an empty one.   */
/*                                                                        */
/* The decoder skips space, tab, CR and LF anywhere; any other byte       */
/* outside the alphabet (bytes of 0x80 and above included) is invalid.    */
/* "=" in the third or fourth place of a group is padding; in the first   */
/* or second place it is an extra pad character, which blocks the state. */
/* ---------------------------------------------------------------------- */

/* ztmime_b64_init: new state, owned by the caller (release it with
 * ztmime_b64_destroy).  Sets mode from bit 0, line_groups to -1 with bit 1
 * (else 0), error to "", pad_errors to 0, and creates the pending view.
 * Returns null when the state cannot be allocated (errno ENOMEM) or when
 * the view cannot be created (the state is then freed). */
ZTMIME_EXPORT ztmime_b64 *ztmime_b64_init(int flags) ZT_NOEXCEPT;

/* ztmime_b64_reset: "end and init without freeing".  A null state: same as
 * ztmime_b64_init(flags).  Otherwise pending input is thrown away (the
 * pending view is emptied, or created when it is null, so a zero-filled
 * record embedded in another object can be prepared in place), mode and
 * line_groups are taken from flags, pad_errors is cleared and error is "".
 * Returns the same state, or null when the pending view had to be created
 * and could not be (the record is left as it was). */
ZTMIME_EXPORT ztmime_b64 *ztmime_b64_reset(ztmime_b64 *state, int flags) ZT_NOEXCEPT;

/* ztmime_b64_update: appends a copy of `in` (null: no new input) to the
 * pending input and turns as much of it as possible into output appended
 * to `out`.  `in` stays the caller's and is not changed.
 *   Encoding: every complete three-byte group is written; 0 to 2 bytes
 *   stay pending.  The line count spans calls, so the output does not
 *   depend on how the input is cut.
 *   Decoding: every complete four-character group is written; an
 *   incomplete group, and the whitespace read for it, stay pending.  A
 *   group with one or two pads yields two or one bytes.  Padding may also
 *   stand in the middle of the data (streams joined together): each padded
 *   group yields only its own bytes and decoding goes on, whatever the
 *   chunking.
 * Results:
 *    0  success (possibly with no output).
 *   -1  null state or out (nothing changed); or no memory for the pending
 *       copy or the output room (errno ENOMEM, error "Unable allocate
 *       memory for b64", nothing consumed, nothing appended); or a complete
 *       group holds an invalid character (error "invalid b64 characters in
 *       input"): nothing is appended or consumed, the input stays pending
 *       and later updates fail the same way until reset.
 *   -2  an extra pad character was met (error "extra pad characters in b64
 *       input"): the output before it is delivered, the groups up to it and
 *       one character per extra pad are consumed, and the state is blocked:
 *       later updates return -2 at once without taking their input.
 * The input is read in place; no iterator is made, so the text "Unable to
 * create b64 iterator" is never set.  When nothing is pending, `in` itself
 * is read and only what the call leaves (a partial group, or all of `in`
 * after an invalid character) is copied into pending; running out of
 * memory then leaves `in` not taken at all.  On success the error text is
 * left as it was. */
ZTMIME_EXPORT int ztmime_b64_update(ztmime_b64 *state, ztview *out, const ztview *in) ZT_NOEXCEPT;

/* ztmime_b64_finish: ends the stream, appending its tail to `out`.
 *   Encoding: 1 or 2 pending bytes give "xx==" or "xxx="; with line breaks
 *   CR LF follows (alone when nothing is pending).  Returns 0, or -1 when 3
 *   or more bytes are pending (only after a failed update; nothing
 *   written, nothing changed) or the tail cannot be appended (errno
 *   ENOMEM, error "Unable allocate memory for b64").  line_groups is kept.
 *   Decoding: nothing pending gives 0.  Otherwise an update without new
 *   input runs and its non-zero result is returned (-2 for a blocked state
 *   with anything pending); then leading whitespace is dropped: 0 when
 *   nothing is left, else the pending input is thrown away and -1 is
 *   returned (error unchanged).
 * Null state or out: -1.  After finish, only reset or destroy. */
ZTMIME_EXPORT int ztmime_b64_finish(ztmime_b64 *state, ztview *out) ZT_NOEXCEPT;

/* ztmime_b64_destroy: releases the pending view and the state.  Null is
 * ignored.  Never call it on a state embedded in an encoder object. */
ZTMIME_EXPORT void ztmime_b64_destroy(ztmime_b64 *state) ZT_NOEXCEPT;

/* ztmime_b64_decode / ztmime_b64_encode: one-shot forms (init with
 * ZTMIME_B64_DECODE, or 0 so that the encoder writes line breaks; one
 * update with `in`; finish).  Return a new view with the whole result,
 * owned by the caller (release with ztview_destroy), or null when anything
 * fails (invalid input, extra pads, no memory); nothing is left behind.
 * `in` is not changed; null reads as empty. */
ZTMIME_EXPORT ztview *ztmime_b64_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_b64_encode(const ztview *in) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Quoted-printable (RFC 2045 escapes "=XX", soft line breaks "=" CR LF)  */
/*                                                                        */
/* Order of calls: ztmime_qp_init (or ztmime_qp_reset on a null or an     */
/* embedded state), any number of ztmime_qp_update, one ztmime_qp_finish, */
/* then ztmime_qp_destroy or ztmime_qp_reset for the next stream.         */
/*                                                                        */
/* Flags (kept whole in `flags`):                                         */
/*   ZTMIME_QP_DECODE 1  decode, otherwise encode.                        */
/*   ZTMIME_QP_DOTS   2  encoder doubles, decoder drops, a "." that       */
/*                       starts an input line (also after a soft break).  */
/*   ZTMIME_QP_STRICT 4  a malformed escape makes a decoding update fail. */
/*   ZTMIME_QP_BINARY 8  encoder escapes CR, LF, space, "." and "=" too.  */
/*                                                                        */
/* Encoder, text mode: visible ASCII other than "=" is copied, LF and     */
/* CR LF are copied as hard line breaks, a space before CR or LF becomes  */
/* =20, a bare CR =0D, every other byte "=%02X"; a visible character that */
/* would reach column 74 is carried to a new line after "=" CR LF, and an */
/* escape that starts past column 74 gets a soft break before it.         */
/* Binary mode: a soft break follows any byte that brings the line to 74, */
/* and the new line counts from 1.                                        */
/* Decoder: "=" and two hex digits (either case) give a byte; "=" and CR  */
/* or LF is a soft break (one more CR or LF after it is dropped too); a   */
/* bad first digit reads as 0, a bad second digit makes the byte a space; */
/* everything else passes through unchanged.                              */
/*                                                                        */
/* The column counters carry across updates, so the output does not       */
/* depend on the chunking, except where a chunk ends between a space or   */
/* CR and the line end after it: the encoder judges the last byte of the  */
/* pending data without lookahead (a space stays literal, a CR becomes    */
/* =0D and the LF of the next chunk is a hard line break of its own).     */
/* This codec never sets the error slot (it stays null).                  */
/* ---------------------------------------------------------------------- */

/* ztmime_qp_init: new state, owned by the caller (ztmime_qp_destroy).
 * Stores flags, clears both columns, creates the pending view.  Null when
 * the state cannot be allocated (errno ENOMEM) or the view cannot be made
 * (the state is freed). */
ZTMIME_EXPORT ztmime_qp *ztmime_qp_init(unsigned int flags) ZT_NOEXCEPT;

/* ztmime_qp_reset: a null state: same as ztmime_qp_init(flags).  Otherwise
 * pending input is thrown away (the view is emptied, or created when null,
 * so a zero-filled embedded record is prepared in place), flags replaced,
 * in_column and out_column set to 0.  Returns the same state, or null when
 * the pending view could not be created. */
ZTMIME_EXPORT ztmime_qp *ztmime_qp_reset(ztmime_qp *state, unsigned int flags) ZT_NOEXCEPT;

/* ztmime_qp_update: appends a copy of `in` (null: no new input; the caller
 * keeps `in` unchanged) to the pending input, processes it in one pass and
 * appends the result to `out`.
 *   Encoding consumes everything pending.
 *   Decoding stops at an "=" followed by fewer than two bytes, which stays
 *   pending with everything after it.
 * Results:
 *    0  success.
 *   -1  null state or out (nothing changed); no memory for the pending copy
 *       or the output room (nothing consumed, nothing appended); or, with
 *       ZTMIME_QP_STRICT, a malformed escape: nothing is appended, every
 *       byte up to and including the escape is consumed, the bytes after it
 *       stay pending.
 * With nothing pending the call returns 0 without allocating.  When nothing
 * was pending, `in` is read in place and only the bytes the call leaves
 * are copied into pending; running out of memory then leaves `in` not
 * taken at all. */
ZTMIME_EXPORT int ztmime_qp_update(ztmime_qp *state, ztview *out, const ztview *in) ZT_NOEXCEPT;

/* ztmime_qp_finish: ends the stream.
 *   Encoding: when out_column is not 0, appends "\r\n" (the data then ends
 *   with a hard line break); pending input is thrown away; 0, or -1 when
 *   the line end cannot be appended.  out_column keeps its value.
 *   Decoding: nothing pending gives 0.  Otherwise an update without new
 *   input runs (-1 when it fails); then leading space, CR, LF and tab are
 *   dropped: 0 when nothing is left, else pending is emptied and -1 is
 *   returned (an "=" or "=X" at the end of the data, or "=" LF with
 *   nothing after it; "=" CR LF at the very end is accepted).
 * Null state or out: -1. */
ZTMIME_EXPORT int ztmime_qp_finish(ztmime_qp *state, ztview *out) ZT_NOEXCEPT;

/* ztmime_qp_destroy: releases the pending view and the state; null is
 * ignored.  Never call it on a state embedded in an encoder object. */
ZTMIME_EXPORT void ztmime_qp_destroy(ztmime_qp *state) ZT_NOEXCEPT;

/* ztmime_qp_decode: one-shot strict decoding (flags DECODE | STRICT);
 * ztmime_qp_encode: one-shot text-mode encoding without dot handling (the
 * result ends with CR LF unless it is empty).  Each returns a new view
 * owned by the caller (ztview_destroy), or null on any failure, with
 * nothing left behind.  `in` is not changed; null reads as empty. */
ZTMIME_EXPORT ztview *ztmime_qp_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_qp_encode(const ztview *in) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Uuencode codec                                                          */
/* ---------------------------------------------------------------------- */

/*
 * Streaming uuencode for the body lines of a uuencoded block.  The codec
 * neither writes nor recognises the "begin" and "end" lines that frame a
 * file: the caller gives it the lines between them.
 *
 * Order of calls: ztmime_uu_init (or ztmime_uu_reset with null), any number
 * of ztmime_uu_update, one ztmime_uu_finish, then ztmime_uu_reset for the
 * next stream or ztmime_uu_destroy.  An encoder object (code
 * ZTMIME_ENC_UUENCODE) embeds the same state and forwards to these calls.
 *
 * Mode: 1 decodes, 0 encodes.  Update decodes when bit 0 is set; finish
 * takes the decoding path only for the exact value 1 and otherwise flushes
 * as the encoder.  The library's own callers pass only 0 and 1.
 *
 * Wire format.  A 6-bit value v is the character 0x20 + v, except 0, which
 * is the backquote (0x60).  Three bytes b0 b1 b2 give four characters for
 * b0 >> 2, (b0 & 3) << 4 | b1 >> 4, (b1 & 15) << 2 | b2 >> 6, b2 & 63.  The
 * encoder writes:
 *   full line  "M", 15 groups (45 bytes), "\r\n"              63 bytes
 *   last line  0x20 + L for L = 1..44 bytes, ceil(L/3) groups (missing
 *              bytes of the last group are 0, written as backquotes), "\r\n"
 *   end line   "`\r\n", only directly after a last line
 * Data whose length is a multiple of 45 (the empty data included) ends with
 * no last line and no end line.
 *
 * The decoder maps every byte c to (c - 0x20) & 0x3F: no byte is invalid,
 * and the space reads as 0 like the backquote.  A line is a length
 * character (n data bytes, 0..45), then exactly 4 * ceil(n/3) characters,
 * whatever they are (CR and LF included); of the 3 * ceil(n/3) bytes they
 * give, the first n are output.  The rest of the line up to the next CR or
 * LF is ignored and every CR and LF after it skipped.  A length of 0 (an
 * empty line, "`" or " ") produces nothing; the decoder has no end state.
 * CR and LF at the front of the pending input are skipped at the start of
 * every update.  A line may be split between updates anywhere, even between
 * its length character and its data.
 */

/*
 * ztmime_uu_init: a new state for `mode`, with an empty pending view.
 *   Returns the state, owned by the caller (release it with
 *   ztmime_uu_destroy), or null: errno ENOMEM when the record cannot be
 *   allocated; when the pending view cannot be made the record is freed.
 */
ZTMIME_EXPORT ztmime_uu *ztmime_uu_init(unsigned int mode) ZT_NOEXCEPT;

/*
 * ztmime_uu_reset: starts a new stream on an existing state: the pending
 *   input is thrown away, the line in progress forgotten (which also clears
 *   a failed decoder), `mode` replaced; `error` is left alone.  A state
 *   without a pending view (a zero-filled state, as in a fresh encoder
 *   object) gets one.
 *   Returns the same state; with a null state, the result of
 *   ztmime_uu_init(mode).  Null when the pending view had to be made and
 *   could not be (errno ENOMEM); the state is then left without one.
 */
ZTMIME_EXPORT ztmime_uu *ztmime_uu_reset(ztmime_uu *state, unsigned int mode) ZT_NOEXCEPT;

/*
 * ztmime_uu_update: takes `in` (null: no new input; never changed, stays the
 *   caller's) after the pending input and appends to `out` everything that
 *   can be produced.
 *   Encoding: one full line for every 45 bytes; fewer than 45 bytes stay
 *   pending.  Decoding: every line whose characters have all arrived; the
 *   start of an incomplete line stays pending (its length character already
 *   read into line_len).
 *   Returns 0, or -1 when state or out is null, or when the decoder meets a
 *   length character above 45 ("N" or higher).  Lines before that one are
 *   decoded and appended; the length character is consumed and the rest of
 *   the input stays pending.  The state then stays failed: every later
 *   update returns -1 at once without taking its input, until
 *   ztmime_uu_reset.  `error` is never set (the encoder object reports "").
 *   -1 with errno ENOMEM when memory runs out; the state and `out` are then
 *   unchanged and `in` was not taken.
 */
ZTMIME_EXPORT int ztmime_uu_update(ztmime_uu *state, ztview *out, const ztview *in) ZT_NOEXCEPT;

/*
 * ztmime_uu_finish: ends the stream.
 *   Decoding (mode 1): runs one more update with no input and returns 0
 *   whatever it gave; an incomplete line stays pending, neither decoded nor
 *   reported, until the next reset.
 *   Encoding: emits any full lines, then, when 1 to 44 bytes remain, the last
 *   line and the end line in one append; pending is then empty.
 *   Returns 0, or -1 when state or out is null (or, encoding, when memory
 *   runs out: nothing appended, the bytes stay pending).
 */
ZTMIME_EXPORT int ztmime_uu_finish(ztmime_uu *state, ztview *out) ZT_NOEXCEPT;

/* ztmime_uu_destroy: releases the pending view and the state.  Null is
 *   ignored.  Never use it on the state embedded in an encoder object. */
ZTMIME_EXPORT void ztmime_uu_destroy(ztmime_uu *state) ZT_NOEXCEPT;

/*
 * ztmime_uu_decode, ztmime_uu_encode: one-shot forms.  A state of mode 1
 *   (decode) or 0 (encode), one update with `in` (unchanged; null gives an
 *   empty result), one finish.  Returns a new view owned by the caller, or
 *   null when anything failed (nothing is left allocated).  Decoding fails
 *   on a length character above 45; an incomplete last line is dropped.
 */
ZTMIME_EXPORT ztview *ztmime_uu_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_uu_encode(const ztview *in) ZT_NOEXCEPT;

/* ---------------------------------------------------------------------- */
/* Dot-stuffing filter                                                     */
/* ---------------------------------------------------------------------- */

/*
 * A line filter for transports in which a line holding a single "." ends
 * the data.  Add mode (bit 0 of the flags clear) writes an extra "." before
 * every line that starts with "."; remove mode (bit 0 set) drops the first
 * "." of every such line.  Lines end at LF; a CR before the LF is ordinary
 * line content.  The first byte of a stream starts a line.
 *
 * Order of calls: ztmime_dot_init (or ztmime_dot_reset with null), any
 * number of ztmime_dot_update, ztmime_dot_finish, then ztmime_dot_reset or
 * ztmime_dot_destroy.  An encoder object (code ZTMIME_ENC_DOT) embeds the
 * same state.  There are no one-shot forms.
 *
 * The filter copies no bytes of its own: lines move from the pending view
 * to the output without copying; the only byte it writes is an added ".".
 */

/*
 * ztmime_dot_init: a new filter; `mode` keeps bit 0 of `flags` only.
 *   Returns the state, owned by the caller (ztmime_dot_destroy), or null:
 *   errno ENOMEM when the record cannot be allocated; when the pending view
 *   cannot be made the record is freed.
 */
ZTMIME_EXPORT ztmime_dot *ztmime_dot_init(unsigned int flags) ZT_NOEXCEPT;

/*
 * ztmime_dot_reset: starts a new stream: pending emptied (made when
 *   missing, as in a fresh encoder object), `mode` takes `flags` whole (only
 *   bit 0 is ever tested), the next byte starts a line.
 *   Returns the same state; with a null state, ztmime_dot_init(flags).  Null
 *   when the pending view had to be made and could not be.
 */
ZTMIME_EXPORT ztmime_dot *ztmime_dot_reset(ztmime_dot *state, unsigned int flags) ZT_NOEXCEPT;

/*
 * ztmime_dot_update: passes `in` (null: no new input; never changed, stays
 *   the caller's) on to `out` with the rule applied at every line start.  A
 *   partial last line is passed on at once and the next call continues it,
 *   so the output does not depend on how the input is cut.  Pending is
 *   empty afterwards.
 *   Returns 0, or -1 when state or out is null (nothing changed).  -1 with
 *   errno ENOMEM when memory runs out: when `in` could not be taken nothing
 *   changed; otherwise the bytes not yet passed on stay pending and the next
 *   update or finish passes them on, each line treated once.  The filter
 *   sets no error text (the encoder object reports "").
 */
ZTMIME_EXPORT int ztmime_dot_update(ztmime_dot *state, ztview *out, const ztview *in) ZT_NOEXCEPT;

/*
 * ztmime_dot_finish: moves any bytes still pending to `out` unchanged
 *   (after well-formed calls there are none: it writes nothing of its own).
 *   Returns 0, or -1 when state or out is null.
 */
ZTMIME_EXPORT int ztmime_dot_finish(ztmime_dot *state, ztview *out) ZT_NOEXCEPT;

/* ztmime_dot_destroy: releases the pending view and the state.  Null is
 *   ignored.  Never use it on the state embedded in an encoder object. */
ZTMIME_EXPORT void ztmime_dot_destroy(ztmime_dot *state) ZT_NOEXCEPT;

/* ====================================================================== */
/* Encoder object                                                         */
/* ====================================================================== */

/*
 * One object in front of the four streaming codecs, chosen by a
 * transfer-encoding code: ZTMIME_ENC_BASE64 (8), ZTMIME_ENC_QP (16),
 * ZTMIME_ENC_UUENCODE (32) or ZTMIME_ENC_DOT (64).  The code a parser
 * recorded for a part can be passed as it is; codes that name no codec
 * (7bit, 8bit, binary, other, none) make no encoder, and such a body needs
 * no decoding.  The flags go unchanged to the codec: bit 0 decodes (for the
 * dot filter: removes), the other bits are the codec's own.
 *
 * Order of calls: ztmime_encoder_init, any number of ztmime_encoder_update,
 * ztmime_encoder_finish; then ztmime_encoder_reset for the next part (same
 * or other code) or ztmime_encoder_destroy.
 *
 * The codec's state lives inside the object (one allocation for both),
 * prepared with the codec's reset and released by the encoder: never call a
 * codec's init or destroy on it.  A reset with an unchanged code reuses the
 * object and the codec's pending view.
 */

/* The state of the selected codec, embedded in the encoder object. */
typedef union ztmime_codec_state {
    ztmime_b64 b64;
    ztmime_qp qp;
    ztmime_uu uu;
    ztmime_dot dot;
} ztmime_codec_state;

typedef struct ztmime_encoder {
    uint32_t code;              /* 8, 16, 32 or 64 */
    ztmime_codec_state state;   /* the selected codec's state, embedded */
} ztmime_encoder;

/*
 * ztmime_encoder_init: a new encoder for `code`, its codec prepared with
 *   `flags`.
 *   Returns the encoder, owned by the caller (ztmime_encoder_destroy), or
 *   null: for a code that names no codec (errno untouched), errno ENOMEM when
 *   the object cannot be allocated, or when the codec's pending view cannot
 *   be made (nothing is left allocated).
 */
ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_init(int code, unsigned int flags) ZT_NOEXCEPT;

/*
 * ztmime_encoder_reset: prepares an encoder for the next stream.
 *   Same code: the codec is reset in place (pending input thrown away,
 *   counters and failed or blocked conditions cleared, direction and options
 *   taken from `flags`) and the same object is returned.  Another code: the
 *   old object is destroyed and a new one made as by ztmime_encoder_init.  A
 *   null encoder: ztmime_encoder_init(code, flags).
 *   The caller must replace its pointer with the result, which may be null
 *   (a code that names no codec, or no memory); the old object is then
 *   already released.
 */
ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_reset(ztmime_encoder *enc, int code,
                                                   unsigned int flags) ZT_NOEXCEPT;

/*
 * ztmime_encoder_update: the codec's update: `in` (may be null; never
 *   consumed or changed) is taken after the pending input and what can be
 *   produced is appended to `out`.
 *   Returns the codec's result unchanged: 0; -1 for a null encoder or
 *   output, or a codec failure; -2 from the base64 decoder's extra-pad
 *   condition (the encoder stays blocked until reset).  After a failure the
 *   codec's text is read with ztmime_encoder_get_error.
 */
ZTMIME_EXPORT int ztmime_encoder_update(ztmime_encoder *enc, ztview *out, const ztview *in) ZT_NOEXCEPT;

/*
 * ztmime_encoder_finish: the codec's finish: flushes the end of the stream
 *   into `out`.  Returns the codec's result unchanged; -1 for a null encoder.
 */
ZTMIME_EXPORT int ztmime_encoder_finish(ztmime_encoder *enc, ztview *out) ZT_NOEXCEPT;

/* ztmime_encoder_destroy: releases the codec's pending view and the object
 *   (cleared first).  Null is ignored. */
ZTMIME_EXPORT void ztmime_encoder_destroy(ztmime_encoder *enc) ZT_NOEXCEPT;

/*
 * ztmime_encoder_get_error: the text of the codec's last failure, never
 *   null; static, not to be freed or changed.
 *     null encoder          "No encoder provided"
 *     base64 (8)            the codec's text ("" until a failure, and again
 *                           after a reset)
 *     qp, uuencode, dot     "" (these codecs set no text, also when an
 *                           update failed)
 *   A caller that needs a message for a failure with an empty text writes
 *   its own.
 */
ZTMIME_EXPORT const char *ztmime_encoder_get_error(const ztmime_encoder *enc) ZT_NOEXCEPT;

/* ====================================================================== */
/* Encoded words                                                          */
/* ====================================================================== */

typedef struct ztmime_alias {
    const char *name;    /* a charset name as declared */
    const char *target;  /* the charset to convert from instead */
} ztmime_alias;

/*
 * RFC 2047 encoded words, "=?" charset "?" encoding "?" text "?=", decoded
 * to UTF-8.  A run of "?" separates two fields as one.  The encoding is Q
 * ("_" is a space, then quoted-printable as ztmime_qp_decode does it) or B
 * (as ztmime_b64_decode), either case; the decoded bytes are converted from
 * the charset with iconv.  A charset the converter does not know leaves the
 * decoded bytes as they are.  Otherwise a byte that does not convert makes
 * the conversion start again once from the beginning under each alias of
 * the charset name (see aliases); if that does not convert everything
 * either, every failing byte stands as one "?" and conversion goes on
 * after it.  The converted text ends at its first NUL byte.
 *
 * Converters stay open in a small per-process cache (reset before each
 * use) and are closed when the process exits; ISO-8859-1 and valid UTF-8
 * or ASCII are converted without iconv, with the same result.  Neither the
 * cache nor the alias table is protected: these calls, and
 * ztmime_normalize_header and ztmime_parse_header that use them, are not
 * reentrant.
 */

/* Writable alias table, ended by the first entry whose name is null.  It
 * holds "KS_C_5601-1987" and "ksc5601", both to "CP949", and room for 13
 * more entries: a host adds one by filling the first null entry and keeping
 * a null name after the last one.  Names compare ignoring ASCII case.  An
 * alias is tried only after a conversion under the declared charset failed,
 * never when that charset cannot be opened. */
ZTMIME_EXPORT extern ztmime_alias aliases[];

ZTMIME_EXPORT ztview *ztmime_i18n_chunk(const ztview *src, uint32_t *consumed) ZT_NOEXCEPT;
/*
 * Decodes the encoded word at the very front of src; src is only read and
 * whatever follows the word's closing "?=" is ignored.
 *
 * Returns a new view with the UTF-8 text (owned by the caller, possibly
 * empty), or null when src is null, does not begin with "=?", a field is
 * empty, the closing "?=" is missing, the encoding is neither Q nor B, the
 * decoder refuses the text, or memory ran out.  Once the syntax is
 * complete through "?=", and consumed is not null, the word's length in
 * bytes is stored in *consumed, also when the result is then null (for
 * example an unknown encoding letter); on earlier failures *consumed is
 * untouched.  Writes no message.
 */

ZTMIME_EXPORT ztview *ztmime_i18n(const ztview *src) ZT_NOEXCEPT;
/*
 * Decodes a whole text: splits it at runs of SP, HT, CR and LF, decodes
 * each piece that begins with an encoded word (text after its "?=" in the
 * same piece is lost) and copies every other piece unchanged, without any
 * charset conversion.  Whitespace between two decoded words, and before a
 * first decoded word at the start, disappears; all other whitespace is
 * copied byte for byte, trailing whitespace included.
 *
 * Returns a new view owned by the caller; null when src is null or memory
 * ran out.  src is only read.  Writes no message.
 */

/* ====================================================================== */
/* Scrambling                                                             */
/* ====================================================================== */

/*
 * Two reversible scramblers that XOR every byte of a view in place; applying
 * the same call again (with the same key, for lock) restores the content.
 * The length of the view never changes, and no other view changes: bytes
 * that the view shares with another view are copied before they are
 * written.  Neither call keeps state.
 */

/*
 * ztmime_cloak: XORs every byte with the constant 0x6E, working on a private
 *   copy of the content that then replaces the view's content.
 *   Returns 0 (also for an empty view), or -1 for a null view or when memory
 *   runs out (the view is then unchanged).
 */
ZTMIME_EXPORT int32_t ztmime_cloak(ztview *view) ZT_NOEXCEPT;

/*
 * ztmime_lock: XORs every byte with `key`, in place in the view's own
 *   storage (ztview_get_iovec), whole aligned words at a time where it can.
 *   Key 0 leaves the bytes as they are; key 0x6E gives the same bytes as
 *   ztmime_cloak.
 *   Returns 0 (also for an empty view), or -1 for a null view or when the
 *   view's segments cannot be had (no memory; the view is then unchanged).
 */
ZTMIME_EXPORT int ztmime_lock(ztview *view, uint8_t key) ZT_NOEXCEPT;

/* ====================================================================== */
/* Message reader                                                         */
/* ====================================================================== */

/*
 * The reader drives the parser, header interpretation and an encoder
 * object itself and hands out parts, their facts and their decoded bytes
 * in one streaming pull loop.  It is what most hosts want; the event parser
 * above is for hosts that need every line as it stands.
 *
 * Order of calls:
 *
 *     r = ztmime_reader_new(flags);
 *     for each chunk of input:
 *         ztmime_reader_feed(r, bytes, n);
 *         while ((it = ztmime_reader_next(r, &data, &len)) != ZTMIME_ITEM_NONE) ...
 *     ztmime_reader_finish(r);
 *     while ((it = ztmime_reader_next(r, &data, &len)) != ZTMIME_ITEM_NONE) ...
 *     ztmime_reader_reset(r) for unrelated input, or ztmime_reader_destroy(r).
 *
 * A loop that stops at ZTMIME_ITEM_ERROR as well never spins.  Items come
 * in tree order: MESSAGE, PART for the message's own entity, the items of
 * its children, its PART_END, MESSAGE_END.  A multipart's children follow
 * its PART; a message/rfc822 part has one child, the embedded message's
 * entity (its path is the part's path and ".1").  Containers get no DATA:
 * the preamble and epilogue of a multipart are not handed out.  Every PART
 * gets its PART_END, also when the input ends early.
 *
 * Memory stays bounded by the longest header field plus what the host
 * feeds between two drains: DATA is handed out as the input arrives,
 * pointing into the reader's own storage where it can, never accumulated
 * for a whole part; a body line longer than 1 MiB comes out in pieces.  A
 * header block keeps at most 10000 fields and 1 MiB of them: fields past
 * that, and a field with a line longer than 1 MiB, are left out (the part
 * gets ZTMIME_PROBLEM_HEADER), although a Content-Type among them still
 * shapes the tree.  A header field is held whole until the line after it
 * begins, so one field without end (or folded without end) grows with the
 * input: a host that must bound it counts the bytes fed since the last
 * item and gives up past its own limit.  Malformed mail never stops the reader: it records
 * ZTMIME_PROBLEM_ bits in the part and goes on.  Only lack of memory stops
 * it (ZTMIME_ITEM_ERROR).
 *
 * A reader belongs to one caller at a time; it uses the converter cache of
 * the encoded-word decoder.
 */
typedef struct ztmime_reader ztmime_reader; /* opaque */

#define ZTMIME_READER_MBOX 1u      /* input is an mbox: "From " lines separate messages */
#define ZTMIME_READER_TEXT_UTF8 2u /* text/ parts come out converted to UTF-8 from their charset */

typedef enum ztmime_item {
    ZTMIME_ITEM_ERROR = -1,     /* the reader cannot go on (allocation failure): see ztmime_reader_error */
    ZTMIME_ITEM_NONE = 0,       /* feed more input; after finish: nothing is left */
    ZTMIME_ITEM_MESSAGE = 1,    /* a message begins (each message of an mbox) */
    ZTMIME_ITEM_PART = 2,       /* a part's header block is complete: ztmime_reader_part describes it */
    ZTMIME_ITEM_DATA = 3,       /* decoded body bytes of the current part in *data, *len */
    ZTMIME_ITEM_PART_END = 4,   /* the current part is complete: its size and problems are final */
    ZTMIME_ITEM_MESSAGE_END = 5 /* the message is complete */
} ztmime_item;

#define ZTMIME_PROBLEM_DECODE 1u    /* transfer decoding failed on some lines; they were left out */
#define ZTMIME_PROBLEM_CHARSET 2u   /* charset conversion substituted bytes or was impossible */
#define ZTMIME_PROBLEM_TRUNCATED 4u /* the input ended inside the part */
#define ZTMIME_PROBLEM_HEADER 8u    /* a header field was malformed (bad parameter, mismatch) */

typedef struct ztmime_part_info {
    const char *path;         /* "" for a message, then "1", "2", "1.2", ...: position in the tree */
    int32_t depth;            /* 0 for a top-level message */
    const char *content_type; /* type/subtype in lower case; text/plain when absent
                                 (message/rfc822 inside multipart/digest) */
    const char *charset;      /* the charset parameter in lower case, or "" */
    const char *disposition;  /* "inline", "attachment" or "" */
    const char *filename;     /* UTF-8, or "": Content-Disposition filename* (RFC 2231,
                                 continuations and charset), filename, then Content-Type
                                 name* and name; the name as the sender wrote it, never
                                 safe to use as a path */
    int32_t encoding;         /* a ztmime_enc code, 0 when none */
    int32_t container;        /* 1 for multipart/ and message/rfc822: children follow, no DATA */
    uint64_t size;            /* decoded bytes handed out so far; final at ZTMIME_ITEM_PART_END */
    uint32_t problems;        /* ZTMIME_PROBLEM_ bits seen so far in this part */
} ztmime_part_info;

ZTMIME_EXPORT ztmime_reader *ztmime_reader_new(uint32_t flags) ZT_NOEXCEPT;
/*
 * Makes a reader.  flags: ZTMIME_READER_MBOX when the input is an mbox
 * (every line that begins with "From " ends the message before it and is
 * not part of any message; ">From ", ">>From " ... lose one ">"; the blank
 * line before a "From " line is the separator, not data; bytes before the
 * first "From " line, when there are any, are a message too), and
 * ZTMIME_READER_TEXT_UTF8 to have the DATA of every text/ part converted to
 * UTF-8 from its charset.  Other bits are ignored.
 *
 * Returns the reader, owned by the caller (ztmime_reader_destroy), or null
 * with errno ENOMEM; nothing is left allocated then.
 */

ZTMIME_EXPORT int ztmime_reader_feed(ztmime_reader *r, const void *data, size_t len) ZT_NOEXCEPT;
/*
 * Appends a copy of len bytes of input; never parses (ztmime_reader_next
 * does).  Any chunk size is allowed, data is the caller's again at once.
 *
 * Returns 0, or -1: errno EINVAL for a null reader, null data with a
 * non-zero len, a call after ztmime_reader_finish or after ZTMIME_ITEM_ERROR;
 * errno ENOMEM when the copy could not be made.  Without
 * ZTMIME_READER_MBOX nothing was appended then and the reader goes on; in
 * mbox mode the reader stops (ZTMIME_ITEM_ERROR) until a reset.
 */

ZTMIME_EXPORT int ztmime_reader_finish(ztmime_reader *r) ZT_NOEXCEPT;
/*
 * Announces the end of input; the remaining items are then drained with
 * ztmime_reader_next up to ZTMIME_ITEM_NONE.  A second call does nothing.
 * Returns 0, or -1 with errno EINVAL for a null reader, or ENOMEM in mbox
 * mode when the last line could not be taken (the reader then stops).
 */

ZTMIME_EXPORT ztmime_item ztmime_reader_next(ztmime_reader *r, const void **data, size_t *len) ZT_NOEXCEPT;
/*
 * Hands out the next item.  *data and *len (either pointer may be null)
 * are set to null and 0, except for ZTMIME_ITEM_DATA:
 *
 *   ZTMIME_ITEM_NONE         nothing can be said before more input is fed;
 *                            after ztmime_reader_finish: everything was
 *                            handed out.
 *   ZTMIME_ITEM_MESSAGE      a message begins (each message of an mbox;
 *                            one per input otherwise, also an empty one).
 *   ZTMIME_ITEM_PART         a part's header block is complete;
 *                            ztmime_reader_part describes it and
 *                            ztmime_reader_header reads its fields.
 *   ZTMIME_ITEM_DATA         *len (> 0) decoded body bytes of the current
 *                            part at *data, valid until the next call on
 *                            this reader; they belong to the reader.
 *                            Transfer encoding is removed (base64,
 *                            quoted-printable, x-uuencode between its
 *                            "begin" and "end" lines); lines that fail to
 *                            decode are left out and ZTMIME_PROBLEM_DECODE
 *                            is set.  The line break before a delimiter
 *                            line belongs to the delimiter; a last line
 *                            without a line end is data.  With
 *                            ZTMIME_READER_TEXT_UTF8, text/ parts come as
 *                            UTF-8: bytes that do not convert become U+FFFD
 *                            and set ZTMIME_PROBLEM_CHARSET (a charset
 *                            without converter: the bytes are read as UTF-8
 *                            and the bit is set).  No charset, US-ASCII and
 *                            UTF-8 are all read as UTF-8.
 *   ZTMIME_ITEM_PART_END     the current part is complete;
 *                            ztmime_reader_part describes it, with its
 *                            final size and problems.
 *   ZTMIME_ITEM_MESSAGE_END  the message is complete.
 *   ZTMIME_ITEM_ERROR        the reader ran out of memory (or r is null)
 *                            and gives this item until ztmime_reader_reset;
 *                            ztmime_reader_error says why.
 *
 * Problems: ZTMIME_PROBLEM_HEADER for a malformed field (bad parameter,
 * conflicting Content-Type or file name, a type without subtype, a
 * multipart without boundary, whose body then is one part's data);
 * ZTMIME_PROBLEM_TRUNCATED for every part the input ended inside (parts
 * of a multipart whose close delimiter never came, a header block cut in a
 * line); ZTMIME_PROBLEM_DECODE also for an encoding the reader cannot undo
 * (the bytes then come as they are).
 */

ZTMIME_EXPORT const ztmime_part_info *ztmime_reader_part(const ztmime_reader *r) ZT_NOEXCEPT;
/*
 * The current part: after ZTMIME_ITEM_PART_END the part that ended,
 * otherwise the innermost part that is announced and not yet ended; null
 * when none is (before the first PART of a message, after MESSAGE_END).
 * The record and its texts belong to the reader and stay valid until the
 * next ztmime_reader_next.  size counts the bytes handed out as DATA (after
 * conversion to UTF-8 when that is on); a container's size stays 0.
 * content_type is the type the parser followed, in lower case; missing or
 * without a subtype, "text/plain", or "message/rfc822" for a part of a
 * multipart/digest.  charset is the parameter as written, in lower case
 * ("" when absent, although US-ASCII is meant).  disposition is "" when
 * there is no Content-Disposition and "attachment" for every type other
 * than "inline".
 */

ZTMIME_EXPORT const char *ztmime_reader_header(const ztmime_reader *r, const char *name) ZT_NOEXCEPT;
/*
 * The value of the first field called `name` (case ignored) in the header
 * block of the part last announced with ZTMIME_ITEM_PART: unfolded, leading
 * and trailing blanks removed, RFC 2047 encoded words decoded (blanks
 * between two words dropped), as NUL-terminated UTF-8.  Raw 8-bit text is
 * kept when the field is valid UTF-8 and read as ISO-8859-1 otherwise; NUL
 * bytes are left out.  Valid until the next ZTMIME_ITEM_PART (or reset);
 * owned by the reader.
 *
 * Returns null when there is no such field (or no part was announced), or
 * null with errno ENOMEM when the values could not be decoded; the reader
 * itself goes on either way.
 */

ZTMIME_EXPORT int ztmime_reader_header_at(const ztmime_reader *r, size_t i, const char **name,
                                          const char **value) ZT_NOEXCEPT;
/*
 * Field i (from 0, in the order of the block) of the same header block:
 * its name as written and its value decoded as by ztmime_reader_header.
 * Either output pointer may be null.  Returns 0, or -1 when i is past the
 * last field (errno untouched) or with errno ENOMEM (outputs untouched).
 */

ZTMIME_EXPORT int ztmime_reader_field_at(const ztmime_reader *r, size_t i, const void **data,
                                         size_t *len) ZT_NOEXCEPT;
/*
 * Field i of the same header block as the input gave it: the name, the
 * colon, the value with its folding, and its line end (in an mbox, a
 * ">From " line has already lost one ">").  No decoding, no NUL added:
 * what a host needs to check a signature over the header, or to keep the
 * fields and decode them later with ztmime_reader_decode_field.  *data
 * stays valid until the next ZTMIME_ITEM_PART (or reset) and belongs to
 * the reader.  Returns 0, or -1 when i is past the last field (errno
 * untouched) or with errno ENOMEM (outputs untouched).
 */

ZTMIME_EXPORT size_t ztmime_reader_decode_field(const void *field, size_t len, char *out, size_t cap,
                                                size_t *value_at) ZT_NOEXCEPT;
/*
 * Decodes one raw field (as ztmime_reader_field_at hands it out) the way
 * ztmime_reader_header_at does, without a reader: its name as written, a
 * NUL, its decoded value, a NUL.  They are written to out when they fit in
 * cap bytes; *value_at (may be null) gets the offset of the value.  The
 * name, like header_at's, ends at its first NUL byte.
 *
 * Returns the size of the result (at least 2), also when it did not fit:
 * call again with that much room; or 0 with errno ENOMEM (EINVAL for null
 * field with a non-zero len).
 */

ZTMIME_EXPORT const char *ztmime_reader_error(const ztmime_reader *r) ZT_NOEXCEPT;
/*
 * Why the reader stopped after ZTMIME_ITEM_ERROR ("out of memory"); "" while
 * it works.  Never null; owned by the reader.
 */

ZTMIME_EXPORT void ztmime_reader_reset(ztmime_reader *r) ZT_NOEXCEPT;
/*
 * Makes the reader ready for unrelated input with the same flags: drops
 * pending input, open parts and a stop after ZTMIME_ITEM_ERROR, keeps its
 * storage.  Pointers handed out before become invalid.  Null is ignored.
 */

ZTMIME_EXPORT void ztmime_reader_destroy(ztmime_reader *r) ZT_NOEXCEPT;
/* Releases the reader and everything it holds.  Null is ignored. */

#ifdef __cplusplus
}
#endif

#endif /* ZTMIME_H */
