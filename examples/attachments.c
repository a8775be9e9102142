/* Lists the parts of a message (path, type, file name, size) and saves
 * its attachments into a folder.  usage: attachments MESSAGE [DIR] */
#include <stdio.h>
#include <string.h>
#include <ztmime.h>

int main(int argc, char **argv)
{
    static char buf[65536], path[4096];
    const char *dir = argc > 2 ? argv[2] : ".";
    FILE *in = argc == 2 || argc == 3 ? fopen(argv[1], "rb") : NULL, *out = NULL;
    ztmime_reader *r = ztmime_reader_new(0);
    const ztmime_part_info *p;
    const void *data;
    size_t n, len;
    ztmime_item it;
    if (!in || !r)
        return fprintf(stderr, "usage: attachments MESSAGE [DIR]\n"), 2;
    do {
        if ((n = fread(buf, 1, sizeof buf, in)) > 0) ztmime_reader_feed(r, buf, n);
        else ztmime_reader_finish(r);
        while ((it = ztmime_reader_next(r, &data, &len)) > ZTMIME_ITEM_NONE) {
            p = ztmime_reader_part(r);
            if (it == ZTMIME_ITEM_PART && *p->filename && !strchr(p->filename, '/')) {
                snprintf(path, sizeof path, "%s/%s", dir, p->filename);
                out = fopen(path, "wb");  /* a real host also refuses "..", links, ... */
            } else if (it == ZTMIME_ITEM_DATA && out) {
                fwrite(data, 1, len, out);
            } else if (it == ZTMIME_ITEM_PART_END && !p->container) {
                printf("%-6s %-28s %-20s %llu\n", *p->path ? p->path : "-", p->content_type,
                       p->filename, (unsigned long long)p->size);
                if (out) fclose(out), out = NULL;
            }
        }
    } while (n > 0 && it != ZTMIME_ITEM_ERROR);
    ztmime_reader_destroy(r);
    fclose(in);
    return it == ZTMIME_ITEM_ERROR;
}
