// Parser context: creation, feeding, finishing, resetting and release, the
// part record and the boundary stack.
#define ZT_MODULE "mime"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/error.h"
#include "common/module.h"
#include "mime/ctx.h"
#include "view_peek.h"

// Loading fails unless libztview has the record layout view_peek.h reads.
[[gnu::used]] static const unsigned char *const zt_view_layout_guard = &_ztview_record_layout_1;

extern "C" {

ZTMIME_EXPORT ztmime_ctx *ztmime_init(uint32_t max_line, uint32_t flags) noexcept
{
    auto *ctx = static_cast<ztmime_ctx *>(zt_calloc(1, sizeof(ztmime_ctx_impl)));
    if (!ctx) {
        errno = ENOMEM;
        zt_set_error("Unable allocate mime structure");
        return nullptr;
    }
    ztmime_last_error[0] = '\0';
    ctx->flags = flags;
    ctx->max_line = max_line;
    ctx->input = zt_view_new();
    if (!ctx->input) {
        zt_free(ctx);
        errno = ENOMEM;
        return nullptr;
    }
    if (ztmime_part_reset(&ctx->part) != 0) {
        zt_view_free(ctx->part.filename);
        zt_view_free(ctx->input);
        zt_free(ctx);
        errno = ENOMEM;
        return nullptr;
    }
    ztds_lifo_init(&ctx->part.boundaries);
    ctx->part.depth = 0;
    ctx->state = ZTMIME_HEADER;
    return ctx;
}

ZTMIME_EXPORT int ztmime_update(ztmime_ctx *ctx, const ztview *chunk) noexcept
{
    if (!ctx || !ctx->input)
        return -1;
    return ztview_concat(ctx->input, chunk) == 0 ? 0 : -1;
}

ZTMIME_EXPORT int ztmime_finish(ztmime_ctx *ctx) noexcept
{
    if (!ctx)
        return -1;
    ctx->flags |= ZTMIME_FLAG_FINISH;
    return 0;
}

ZTMIME_EXPORT int ztmime_reset(ztmime_ctx *ctx) noexcept
{
    if (!ctx)
        return 0;
    ztmime_scan::memo_forget(ztmime_impl(ctx)->memo);
    ztmime_impl(ctx)->scratch_owed = 0;
    // A reader resets once per message of a mailbox: views that are
    // already empty are left alone, without a call into the view library.
    if (!ctx->input)
        ctx->input = zt_view_new();
    else if (!zt_view_peek_blank(ctx->input))
        ztview_rewind(ctx->input);
    if (ctx->header) {
        zt_view_free(ctx->header);
        ctx->header = nullptr;
    }
    ztmime_impl(ctx)->header_p = nullptr;
    while (ctx->part.boundaries.top && ztmime_boundary_pop(&ctx->part) == 0) {
    }
    ctx->part.depth = 0;
    ctx->rfc822_top = nullptr;
    ctx->long_header = 0;
    (void)ztmime_part_reset(&ctx->part);
    ctx->state = ZTMIME_HEADER;
    return 0;
}

ZTMIME_EXPORT int ztmime_part_reset(ztmime_part *part) noexcept
{
    if (!part)
        return -1;
    if (part->filename) {
        if (!zt_view_peek_blank(part->filename))
            ztview_rewind(part->filename);
    } else if (!(part->filename = zt_view_new())) {
        return -1;
    }
    if (part->content_type) {
        if (!zt_view_peek_blank(part->content_type))
            ztview_rewind(part->content_type);
    } else if (!(part->content_type = zt_view_new()))
        return -1;
    part->encoding = 0;
    return 0;
}

ZTMIME_EXPORT void ztmime_destroy(ztmime_ctx *ctx) noexcept
{
    if (!ctx)
        return;
    zt_view_free(ctx->header);
    zt_view_free(ctx->input);
    zt_view_free(ctx->scratch);
    while (ztmime_boundary_pop(&ctx->part) == 0) {
    }
    zt_view_free(ctx->part.content_type);
    zt_view_free(ctx->part.filename);
    std::memset(ztmime_impl(ctx), 0, sizeof(ztmime_ctx_impl));
    zt_free(ctx);
}

ZTMIME_EXPORT const char *ztmime_type_to_str(int type) noexcept
{
    static const char *const names[] = {
        "ZTMIME_ERROR",           "ZTMIME_NO_DATA",         "ZTMIME_HEADER",
        "ZTMIME_HEADERS_DONE",    "ZTMIME_PART_HEADER",     "ZTMIME_PART_HEADERS_DONE",
        "ZTMIME_PART_BODY",       "ZTMIME_PART_DONE",       "ZTMIME_MSG_DONE",
        "ZTMIME_LONG_LINE",       "ZTMIME_UUENCODE_HEADER", "ZTMIME_UUENCODE_BODY",
        "ZTMIME_UUENCODE_DONE",   "ZTMIME_BINHEX_HEADER",
    };
    static thread_local char unknown[128];
    if (type >= ZTMIME_ERROR && type <= ZTMIME_BINHEX_HEADER)
        return names[type + 1];
    std::snprintf(unknown, sizeof unknown, "ZTMIME_UNKNOWN %i", type);
    return unknown;
}

ZTMIME_EXPORT int ztmime_boundary_add(ztmime_part *part, const ztview *boundary) noexcept
{
    if (!part)
        return -1;
    auto *b = static_cast<ztmime_boundary *>(zt_calloc(1, sizeof(ztmime_boundary)));
    if (!b)
        return -1;
    b->delimiter = zt_view_new();
    b->close_delimiter = zt_view_new();
    bool ok = b->delimiter && b->close_delimiter;
    if (ok && boundary) {
        ok = ztview_appends(b->delimiter, "--") == 0 && ztview_concat(b->delimiter, boundary) == 0 &&
             ztview_concat(b->close_delimiter, b->delimiter) == 0 &&
             ztview_appends(b->close_delimiter, "--") == 0;
    }
    if (!ok || ztds_lifo_push(&part->boundaries, b) != b) {
        zt_view_free(b->delimiter);
        zt_view_free(b->close_delimiter);
        zt_free(b);
        errno = ENOMEM;
        return -1;
    }
    part->depth++;
    return 0;
}

} // extern "C"

int ztmime_boundary_pop(ztmime_part *part) noexcept
{
    if (!part)
        return -1;
    auto *b = static_cast<ztmime_boundary *>(ztds_lifo_pop(&part->boundaries));
    if (!b)
        return -1;
    part->depth--;
    zt_view_free(b->delimiter);
    zt_view_free(b->close_delimiter);
    zt_free(b);
    return 0;
}
