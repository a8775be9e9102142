// Feeds a generated 1 GiB message (a short text part and one base64
// attachment of almost 1 GiB, in a multipart) to the message reader in
// 64 KiB pieces, pulling every item, and prints the peak resident memory:
// the reader hands decoded data out as the input arrives, so its memory
// must stay bounded by a line and a chunk, not grow with the part.
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
                             "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                             "Content-Type: text/plain\r\n\r\nSee the attachment.\r\n--b\r\n"
                             "Content-Type: application/octet-stream; name=\"big.bin\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string tail = "\r\n--b--\r\n";
    ztmime_reader *r = ztmime_reader_new(0);
    if (!r)
        return 1;
    size_t items = 0, decoded = 0;
    auto drain = [&] {
        const void *p;
        size_t n;
        for (; ztmime_reader_next(r, &p, &n) > ZTMIME_ITEM_NONE; ++items)
            decoded += n;
    };
    ztmime_reader_feed(r, head.data(), head.size());
    for (size_t fed = head.size(); fed < total; fed += chunk.size()) {
        ztmime_reader_feed(r, chunk.data(), chunk.size());
        drain();
    }
    ztmime_reader_feed(r, tail.data(), tail.size());
    ztmime_reader_finish(r);
    drain();
    ztmime_reader_destroy(r);
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("rss_reader: %zu bytes in %zu items, %zu decoded, peak RSS %.1f MiB\n", total, items, decoded,
                ru.ru_maxrss / 1024.0);
    return ru.ru_maxrss < 32 * 1024 ? 0 : 1;
}
