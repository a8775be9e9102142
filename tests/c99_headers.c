/* Both public headers compile as C99 and their symbols link. */
#include <stdio.h>

#include "ztmime.h"
#include "ztview.h"

int main(void)
{
    ztmime_ctx *ctx = ztmime_init(0, ZTMIME_FLAG_UUENCODE);
    ztview *chunk = ztview_from_buf("Subject: hi\r\n\r\nbody\r\n", 21);
    ztview *out = NULL;
    ztmime_type t;
    int events = 0;

    if (!ctx || !chunk || ztmime_update(ctx, chunk) != 0)
        return 1;
    ztmime_finish(ctx);
    while ((t = ztmime_do(ctx, &out)) != ZTMIME_NO_DATA && t != ZTMIME_ERROR) {
        ztview_destroy(out);
        events++;
    }
    ztview_destroy(chunk);
    ztmime_destroy(ctx);
    return events > 0 && ztview_live_count(NULL) == 0 ? 0 : 1;
}
