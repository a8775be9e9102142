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

TEST(MboxSplit, EnvelopeAndQuotedLinesAtEveryOffset)
{
    struct Restore {
        ~Restore() { zt_cpu::limit(zt_cpu::kAll); }
    } restore;
    for (unsigned mask : {zt_cpu::kAll, static_cast<unsigned>(zt_cpu::kSse2)}) {
        zt_cpu::limit(mask);
        for (size_t n = 1; n < 200; ++n) {
            // The search starts at the "F" line, which is no envelope.
            const std::string body = "Fx\n" + std::string(n, 'x') + "\n";
            const std::string tail = "y\n" + body;
            EXPECT_EQ(bodies("From a\n\n" + body + "From b\n\n" + tail), (std::vector<std::string>{body, tail}))
                << "envelope at " << body.size() << ", features " << mask;
            EXPECT_EQ(bodies("From a\n\n" + body + ">From q\n" + tail),
                      (std::vector<std::string>{body + "From q\n" + tail}))
                << "quoted line at " << body.size() << ", features " << mask;
        }
    }
}

} // namespace
