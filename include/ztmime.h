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
 * No call keeps global state apart from three unprotected static buffers
 * (the last-error text, the buffer of ztmime_type_to_str and the view
 * library's scratch slots): use the library from one thread at a time, or
 * serialise calls yourself.
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

/* The library-wide last-error text (128 characters and a NUL). */
ZTMIME_EXPORT extern char ztmime_last_error[129];

/* ====================================================================== */
/* Parser                                                                 */
/* ====================================================================== */

ZTMIME_EXPORT ztmime_ctx *ztmime_init(uint32_t max_line, uint32_t flags) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_update(ztmime_ctx *ctx, const ztview *chunk) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_type ztmime_do(ztmime_ctx *ctx, ztview **out) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_finish(ztmime_ctx *ctx) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_reset(ztmime_ctx *ctx) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_part_reset(ztmime_part *part) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_destroy(ztmime_ctx *ctx) ZT_NOEXCEPT;
ZTMIME_EXPORT const char *ztmime_strerror(void) ZT_NOEXCEPT;
ZTMIME_EXPORT const char *ztmime_type_to_str(int type) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_boundary_add(ztmime_part *part, const ztview *boundary) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_parse_uu_header(const ztview *line, ztview *filename) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_parse_header(ztmime_ctx *ctx, const ztview *header, ztview *normalized) ZT_NOEXCEPT;

/* ====================================================================== */
/* Header toolkit                                                         */
/* ====================================================================== */

typedef enum ztmime_token_kind {
    ZTMIME_TOKEN_NONE = 0,
    ZTMIME_TOKEN_QUOTED = 1,
    ZTMIME_TOKEN_COMMENT = 2,
    ZTMIME_TOKEN_ATOM = 3
} ztmime_token_kind;

ZTMIME_EXPORT int ztmime_header_get_value(ztview *src, ztview **out) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_header_get_attribute_name(ztview *src, ztview **out) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_header_get_attribute_value(ztview *src, ztview **out) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_header_get_token(ztview *src, ztview **out, int *kind) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_unfold_header(const ztview *src, ztview *dst) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_normalize_header(const ztview *src, ztview *dst) ZT_NOEXCEPT;

/* ====================================================================== */
/* Transfer codecs                                                        */
/* ====================================================================== */

/* Base64 state. */
typedef struct ztmime_b64 {
    int32_t line_groups;  /* encoder: groups written; -1: no line breaks */
    uint32_t mode;        /* 1 decode, 0 encode */
    ztview *pending;      /* input not yet turned into output */
    const char *error;    /* static text of the last failure */
    int32_t pad_errors;   /* extra pad characters met; non-zero blocks the state */
} ztmime_b64;

/* Quoted-printable state. */
typedef struct ztmime_qp {
    int32_t out_column;
    int32_t in_column;
    uint32_t flags;
    ztview *pending;
    const char *error;    /* never set by this codec */
} ztmime_qp;

/* Uuencode state. */
typedef struct ztmime_uu {
    int32_t line_len;     /* decoder: data bytes of the line being decoded */
    uint32_t mode;        /* 1 decode, 0 encode */
    ztview *pending;
    const char *error;    /* never set by this codec */
} ztmime_uu;

/* Dot-stuffing filter state. */
typedef struct ztmime_dot {
    uint32_t mode;        /* bit 0: remove; clear: add */
    ztview *pending;
    int32_t at_line_start;
    const char *error;    /* never set by this filter */
} ztmime_dot;

/* Base64 flags / quoted-printable flags. */
#define ZTMIME_B64_DECODE 1
#define ZTMIME_B64_NO_BREAKS 2
#define ZTMIME_QP_DECODE 1u
#define ZTMIME_QP_DOTS 2u
#define ZTMIME_QP_STRICT 4u
#define ZTMIME_QP_BINARY 8u

ZTMIME_EXPORT ztmime_b64 *ztmime_b64_init(int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_b64 *ztmime_b64_reset(ztmime_b64 *state, int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_b64_update(ztmime_b64 *state, ztview *out, const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_b64_finish(ztmime_b64 *state, ztview *out) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_b64_destroy(ztmime_b64 *state) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_b64_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_b64_encode(const ztview *in) ZT_NOEXCEPT;

ZTMIME_EXPORT ztmime_qp *ztmime_qp_init(unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_qp *ztmime_qp_reset(ztmime_qp *state, unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_qp_update(ztmime_qp *state, ztview *out, const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_qp_finish(ztmime_qp *state, ztview *out) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_qp_destroy(ztmime_qp *state) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_qp_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_qp_encode(const ztview *in) ZT_NOEXCEPT;

ZTMIME_EXPORT ztmime_uu *ztmime_uu_init(unsigned int mode) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_uu *ztmime_uu_reset(ztmime_uu *state, unsigned int mode) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_uu_update(ztmime_uu *state, ztview *out, const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_uu_finish(ztmime_uu *state, ztview *out) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_uu_destroy(ztmime_uu *state) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_uu_decode(const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_uu_encode(const ztview *in) ZT_NOEXCEPT;

ZTMIME_EXPORT ztmime_dot *ztmime_dot_init(unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_dot *ztmime_dot_reset(ztmime_dot *state, unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_dot_update(ztmime_dot *state, ztview *out, const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_dot_finish(ztmime_dot *state, ztview *out) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_dot_destroy(ztmime_dot *state) ZT_NOEXCEPT;

/* ====================================================================== */
/* Encoder object                                                         */
/* ====================================================================== */

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

ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_init(int code, unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT ztmime_encoder *ztmime_encoder_reset(ztmime_encoder *enc, int code,
                                                   unsigned int flags) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_encoder_update(ztmime_encoder *enc, ztview *out, const ztview *in) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_encoder_finish(ztmime_encoder *enc, ztview *out) ZT_NOEXCEPT;
ZTMIME_EXPORT void ztmime_encoder_destroy(ztmime_encoder *enc) ZT_NOEXCEPT;
ZTMIME_EXPORT const char *ztmime_encoder_get_error(const ztmime_encoder *enc) ZT_NOEXCEPT;

/* ====================================================================== */
/* Encoded words                                                          */
/* ====================================================================== */

typedef struct ztmime_alias {
    const char *name;    /* a charset name as declared */
    const char *target;  /* the charset to convert from instead */
} ztmime_alias;

/* Writable alias table, ended by the first entry whose name is null. */
ZTMIME_EXPORT extern ztmime_alias aliases[];

ZTMIME_EXPORT ztview *ztmime_i18n_chunk(const ztview *src, uint32_t *consumed) ZT_NOEXCEPT;
ZTMIME_EXPORT ztview *ztmime_i18n(const ztview *src) ZT_NOEXCEPT;

/* ====================================================================== */
/* Scrambling                                                             */
/* ====================================================================== */

ZTMIME_EXPORT int32_t ztmime_cloak(ztview *view) ZT_NOEXCEPT;
ZTMIME_EXPORT int ztmime_lock(ztview *view, uint8_t key) ZT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZTMIME_H */
