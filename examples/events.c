/*
 * events: the README's host loop as a complete program.  Parses a message
 * (a file, or standard input for "-" or no name) in 64 KiB chunks and
 * prints one line per event: its name and the number of bytes it carries.
 *
 *   cc events.c $(pkg-config --cflags --libs ztmime) -o events
 */
#include <stdio.h>
#include <string.h>
#include <ztmime.h>

static int parse_stream(FILE *in)
{
    static unsigned char buf[65536];
    ztmime_ctx *ctx = ztmime_init(0, 0);
    int done = 0, rc = 0;
    size_t n;
    if (!ctx)
        return -1;
    while (!done) {
        if ((n = fread(buf, 1, sizeof buf, in)) > 0) {
            ztview *chunk = ztview_from_buf(buf, n);
            if (!chunk || ztmime_update(ctx, chunk) < 0) {
                fprintf(stderr, "events: out of memory\n");
                ztview_destroy(chunk);
                rc = -1;
                break;
            }
            ztview_destroy(chunk);
        } else if (ferror(in)) {
            fprintf(stderr, "events: read error\n");
            rc = -1;
            break;
        } else {
            ztmime_finish(ctx);
        }
        for (;;) {
            ztview *v = NULL;
            ztmime_type ev = ztmime_do(ctx, &v);
            if (ev == ZTMIME_NO_DATA)
                break;
            if (ev == ZTMIME_ERROR) {
                fprintf(stderr, "events: parse error: %s\n", ztmime_strerror());
                rc = -1, done = 1;
                break;
            }
            if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
                ztmime_parse_header(ctx, v, NULL); /* follow multiparts */
            printf("%s %zu\n", ztmime_type_to_str(ev), ztview_get_len(v));
            ztview_destroy(v);
            if (ev == ZTMIME_MSG_DONE) {
                done = 1;
                break;
            }
        }
    }
    ztmime_destroy(ctx);
    return rc;
}

int main(int argc, char **argv)
{
    FILE *in = stdin;
    int rc;
    if (argc > 2) {
        fprintf(stderr, "usage: events [FILE|-]\n");
        return 2;
    }
    if (argc == 2 && strcmp(argv[1], "-") != 0 && !(in = fopen(argv[1], "rb"))) {
        perror(argv[1]);
        return 1;
    }
    rc = parse_stream(in);
    if (in != stdin)
        fclose(in);
    return rc < 0 ? 1 : 0;
}
