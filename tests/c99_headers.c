/* Both public headers compile as C99 and their symbols link. */
#include "ztmime.h"
#include "ztview.h"

int main(void)
{
    ztview *v = ztview_from_buf("Subject: hi\r\n", 13);
    int ok = v && ztview_get_len(v) == 13 && ztmime_strerror() != NULL;
    ztview_destroy(v);
    return ok && ztview_live_count(NULL) == 0 ? 0 : 1;
}
