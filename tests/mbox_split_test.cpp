// The mbox splitter's search for lines that start with "F" or ">": an
// envelope line and a quoted one at every offset of the 64-byte blocks the
// vector search reads, on each kernel the machine runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cpu.h"
#include "ztmime.h"

namespace {

// The body bytes of each message of `mbox`, fed in one piece.
std::vector<std::string> bodies(const std::string &mbox)
{
    std::vector<std::string> out;
    ztmime_reader *r = ztmime_reader_new(ZTMIME_READER_MBOX);
    EXPECT_EQ(ztmime_reader_feed(r, mbox.data(), mbox.size()), 0);
    EXPECT_EQ(ztmime_reader_finish(r), 0);
    const void *data;
    size_t len;
    for (ztmime_item it; (it = ztmime_reader_next(r, &data, &len)) > ZTMIME_ITEM_NONE;) {
        if (it == ZTMIME_ITEM_MESSAGE)
            out.emplace_back();
        else if (it == ZTMIME_ITEM_DATA && !out.empty())
            out.back().append(static_cast<const char *>(data), len);
    }
    ztmime_reader_destroy(r);
    return out;
}

// Lines of 'x' (one of them starting with "F" that is no envelope), none
// blank, filling `n` bytes or one more.
std::string filler(size_t n)
{
    std::string s;
    while (s.size() < n) {
        size_t len = std::max<size_t>(2, std::min<size_t>(n - s.size(), 2 + s.size() % 23));
        s += (s.size() == 30 ? "F" + std::string(len - 2, 'x') : std::string(len - 1, 'x')) + "\n";
    }
    return s;
}

TEST(MboxSplit, EnvelopeAndQuotedLinesAtEveryOffset)
{
    struct Limit {
        unsigned mask;
        ~Limit() { zt_cpu::limit(zt_cpu::kAll); }
    };
    for (unsigned mask : {zt_cpu::kAll, static_cast<unsigned>(zt_cpu::kSse2)}) {
        Limit restore{mask};
        zt_cpu::limit(mask);
        for (size_t at = 1; at < 200; ++at) {
            const std::string body = filler(at);
            const std::string tail = "y\n" + filler(150);
            EXPECT_EQ(bodies("From a\n\n" + body + "From b\n\n" + tail),
                      (std::vector<std::string>{body, tail}))
                << "envelope at " << at << ", features " << mask;
            EXPECT_EQ(bodies("From a\n\n" + body + ">From q\n" + tail),
                      (std::vector<std::string>{body + "From q\n" + tail}))
                << "quoted line at " << at << ", features " << mask;
        }
    }
}

} // namespace
