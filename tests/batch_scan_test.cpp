// The scan that batches body lines: each kernel against a byte loop, with
// the pairs it tells apart planted at every offset of its 16- and 64-byte
// blocks and windows ending everywhere; and batches cut by the line limit,
// whole input against input whose every line crosses segments.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "mime/batch_scan.h"
#include "parser_harness.h"

namespace {

TEST(BatchScan, KernelsAgreeWithAByteLoop)
{
    std::string base;
    for (int i = 0; base.size() < 150; ++i)
        base += std::string(static_cast<size_t>(i * 7 % 40), 'A') + (i % 3 ? "\r\n" : "\n");
    struct Restore {
        ~Restore() { zt_cpu::limit(zt_cpu::kAll); }
    } restore;
    for (unsigned mask : {zt_cpu::kAll, static_cast<unsigned>(zt_cpu::kSse2)}) {
        zt_cpu::limit(mask);
        for (const char *pair : {"\n-", "\nb", "\n\r", "\n(", "\n.", "\n\n", "\rx", "\r\r", "x\n"}) {
            for (size_t at = 0; at + 1 < base.size(); ++at) {
                // An exact copy on the heap, so that a read past the end is caught.
                std::vector<unsigned char> s(base.begin(), base.end());
                s[at] = static_cast<unsigned char>(pair[0]);
                s[at + 1] = static_cast<unsigned char>(pair[1]);
                for (bool dot : {false, true}) {
                    bool stop[256] = {};
                    for (unsigned char c : {'-', 'b', '\r', '('})
                        stop[c] = true;
                    stop[static_cast<unsigned char>('.')] = dot;
                    size_t expect = 0;  // past the last LF before the first flagged byte
                    bool flagged = false;
                    for (size_t lim = 0; lim < s.size(); ++lim) {
                        const unsigned char *got = ztmime_scan::clean_lines_end(s.data(), s.data() + lim, stop, dot);
                        ASSERT_EQ(static_cast<size_t>(got - s.data()), expect)
                            << "features " << mask << ", pair at " << at << ", dot " << dot << ", lim " << lim;
                        const unsigned char c = s[lim], next = s[lim + 1 < s.size() ? lim + 1 : lim];
                        flagged |= (c == '\r' && next != '\n') || (c == '\n' && stop[next]);
                        if (!flagged && c == '\n')
                            expect = lim + 1;
                    }
                }
            }
        }
    }
}

std::string log_of(const std::string &msg, size_t piece, uint32_t max_line, uint32_t flags)
{
    ztmime_ctx *ctx = ztmime_init(max_line, flags);
    zt_test::View in = piece ? zt_test::make_fragmented(msg, piece) : zt_test::make_view(msg);
    // Moved in (not copied) so that the input keeps its segments.
    ztview_move(ctx->input, in.get(), ztview_get_len(in.get()));
    ztmime_finish(ctx);
    parser_test::RunLog run;
    parser_test::drain(ctx, run);
    ztmime_destroy(ctx);
    return parser_test::format_log(run.events);
}

// Body lines of lengths around the limit, some of them special, give the
// same events whole as in one-byte segments (where every line is scanned
// alone).
TEST(BatchScan, LineLimitWindowsAgreeWithLineByLine)
{
    std::mt19937 rng(7);
    for (uint32_t max_line : {0u, 1u, 2u, 15u, 16u, 17u, 63u, 64u, 65u, 130u}) {
        for (uint32_t flags : {0u, static_cast<uint32_t>(ZTMIME_FLAG_DOT_END)}) {
            std::string msg = "Subject: s\n\n";
            for (int i = 0; i < 120; ++i) {
                std::string line(max_line ? max_line - std::min(max_line, 2u) + rng() % 5 : rng() % 200, 'y');
                if (!line.empty())
                    line[rng() % 4 ? 0 : rng() % line.size()] = "xxxxxxxx-b(.\r"[rng() % 13];
                msg += line + (rng() % 2 ? "\r\n" : "\n");
            }
            EXPECT_EQ(log_of(msg, 0, max_line, flags), log_of(msg, 1, max_line, flags))
                << "max_line " << max_line << ", flags " << flags;
        }
    }
}

} // namespace
