// Feeds a generated 1 GiB message (one base64 attachment in 76-column CRLF
// lines) to the parser in 64 KiB chunks, draining every event, and prints the
// process's peak resident memory: the parser's own memory must stay bounded
// by the longest line plus a chunk, not grow with the message.  A program of
// its own, so that no benchmark data set inflates the figure.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "mbox_gen.h"
#include "ztmime.h"

int main()
{
    const size_t chunk_size = 64 * 1024, total = size_t{1} << 30;
    const std::string chunk = zt_bench::gen::base64_chunk(chunk_size, 4);
    const std::string head = "From: a@example.org\r\nSubject: attachment\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: application/octet-stream\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n";
    ztmime_ctx *ctx = ztmime_init(0, 0);
    if (!ctx)
        return 1;
    ztview *out = nullptr, *v = ztview_from_buf(head.data(), head.size());
    ztmime_update(ctx, v);
    ztview_destroy(v);
    size_t events = 0;
    for (size_t fed = head.size(); fed < total; fed += chunk.size()) {
        v = _ztview_from_buf(chunk.data(), chunk.size(), 0, "host", __LINE__);
        ztmime_update(ctx, v);
        ztview_destroy(v);
        for (; ztmime_do(ctx, &out) > ZTMIME_NO_DATA; ++events)
            ztview_destroy(out);
    }
    ztmime_finish(ctx);
    for (int ev; (ev = ztmime_do(ctx, &out)) > ZTMIME_NO_DATA; ++events) {
        ztview_destroy(out);
        if (ev == ZTMIME_MSG_DONE)
            break;
    }
    ztmime_destroy(ctx);
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("rss_1gib: %zu bytes in %zu events, peak RSS %.1f MiB\n", total, events, ru.ru_maxrss / 1024.0);
    return ru.ru_maxrss < 32 * 1024 ? 0 : 1;
}
