// The mbox splitter's search for lines that start with "F" or ">": an
// envelope line and a quoted one at every offset of the blocks the vector
// search reads, on each kernel the machine runs; lines that nearly are
// either agree with a reading in small pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "zt_test.h"
#include "ztmime.h"

namespace {

using zt_test::escaped;

// The body bytes of each message of `mbox`, fed in pieces of `chunk`
// bytes (0: one piece).
std::vector<std::string> bodies(const std::string &mbox, size_t chunk = 0)
{
    std::vector<std::string> out;
    ztmime_reader *r = ztmime_reader_new(ZTMIME_READER_MBOX);
    const void *data;
    size_t len;
    auto drain = [&] {
        for (ztmime_item it; (it = ztmime_reader_next(r, &data, &len)) > ZTMIME_ITEM_NONE;) {
            if (it == ZTMIME_ITEM_MESSAGE)
                out.emplace_back();
            else if (it == ZTMIME_ITEM_DATA && !out.empty())
                out.back().append(static_cast<const char *>(data), len);
        }
    };
    const size_t step = chunk ? chunk : mbox.size() + 1;
    for (size_t at = 0; at < mbox.size(); at += step) {
        // Each piece in a heap block of its own size: a read past it is
        // caught by the address sanitizer.
        const std::vector<char> piece(mbox.begin() + at, mbox.begin() + at + std::min(step, mbox.size() - at));
        EXPECT_EQ(ztmime_reader_feed(r, piece.data(), piece.size()), 0);
        drain();
    }
    EXPECT_EQ(ztmime_reader_finish(r), 0);
    drain();
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

// Line starts the vector search may pass over ("F" lines that are no
// envelope) and ones it must stop at, at every offset of two 128-byte
// rounds and near the end of the input: the whole input on each kernel
// gives what pieces of 3 bytes give, which the vector search never sees.
TEST(MboxSplit, NearEnvelopeLinesAgreeWithSmallPieces)
{
    struct Restore {
        ~Restore() { zt_cpu::limit(zt_cpu::kAll); }
    } restore;
    const char *const starts[] = {"From:", "From ", "From", "Fro", "F", "FROM ", "from ", "Frxm ", "From\t",
                                  "Fromm ", ">From ", ">>From ", ">", ">F", ">From", "F>From ", "\r\nFrom "};
    for (const char *start : starts) {
        for (size_t n = 0; n < 270; n += n < 40 || n > 230 ? 1 : 7) {
            for (const char *end : {"x\n", "\n", ""}) {
                const std::string mbox =
                    "From a\n\n" + std::string(n, 'x') + "\n" + start + end + "From b\ny\n" + start;
                const std::vector<std::string> want = bodies(mbox, 3);
                for (unsigned mask : {zt_cpu::kAll, static_cast<unsigned>(zt_cpu::kSse2)}) {
                    zt_cpu::limit(mask);
                    EXPECT_EQ(bodies(mbox), want) << escaped(start) << " after " << n << ", features " << mask;
                }
            }
        }
    }
}

// Large feeds go through one reservation per slice of 4 MiB, small ones
// are appended: a mailbox of tricky lines over several slices gives the
// same messages fed whole, in pieces of 4096 bytes (a reservation each)
// and in pieces of 4095 bytes (appended).
TEST(MboxSplit, LargeFeedsAgreeWithAppendedPieces)
{
    const std::vector<std::string> lines = {
        "From a@b Mon Jan  1 00:00:00 2024\n", "From c@d Mon Jan  1 00:00:00 2024\r\n", ">From quoted\n",
        ">>From twice\r\n", "From: header\n", "\n", "\r\n", "\r", "text\n", "F\n", ">\n", "From", "x\r\n",
        std::string(100, 'y') + "\n"};
    std::string mbox;
    unsigned seed = 7;
    while (mbox.size() < (size_t(9) << 20)) {
        seed = seed * 1103515245 + 12345;
        mbox += lines[(seed >> 16) % lines.size()];
    }
    const std::vector<std::string> want = bodies(mbox, 4095);
    EXPECT_GT(want.size(), 10000u);
    EXPECT_EQ(bodies(mbox, 4096), want);
    EXPECT_EQ(bodies(mbox), want);
}

} // namespace
