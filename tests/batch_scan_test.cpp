// The scan that batches body lines: the vector kernels against a byte loop,
// with stop bytes, CRs and LFs at every offset of the 16- and 64-byte blocks
// and at the window's end; and batches cut by the line limit, whole input
// against input whose every line crosses segments (the slow path).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/cpu.h"
#include "mime/batch_scan.h"
#include "parser_harness.h"

namespace {

using ztmime_scan::clean_lines_end;

struct StopSet {
    bool stop[256] = {};
    explicit StopSet(bool dot)
    {
        for (unsigned char c : {'-', 'b', '\r', '('})
            stop[c] = true;
        stop[static_cast<unsigned char>('.')] = dot;
    }
};

// Offset past the last LF before the first LF-then-stop-byte or bare CR.
size_t expected_end(const std::string &s, size_t q, size_t lim, const bool *stop)
{
    size_t r = q;
    for (size_t i = q; i < lim; ++i) {
        const auto next = static_cast<unsigned char>(s[i + 1]);
        if (s[i] == '\r' && next != '\n')
            break;
        if (s[i] == '\n') {
            if (stop[next])
                break;
            r = i + 1;
        }
    }
    return r;
}

struct KernelLimit {
    const char *name;
    unsigned mask;
};
const KernelLimit kernels[] = {{"machine", zt_cpu::kAll}, {"sse2", zt_cpu::kSse2}};

// Restores the machine's own features however the test ends.
struct CpuLimit {
    explicit CpuLimit(unsigned mask) { zt_cpu::limit(mask); }
    ~CpuLimit() { zt_cpu::limit(zt_cpu::kAll); }
};

// Checks every window [q, lim) of `s` that starts at a line start in the
// first `starts` bytes.
void check_windows(const std::string &s, size_t starts, const std::string &what)
{
    // An exact copy on the heap, so that a read past the end is caught.
    std::vector<unsigned char> bytes(s.begin(), s.end());
    const unsigned char *base = bytes.data();
    for (bool dot : {false, true}) {
        StopSet set(dot);
        for (size_t q = 0; q < starts && q + 1 < s.size(); ++q) {
            if (q && s[q - 1] != '\n')
                continue;
            for (size_t lim = q; lim < s.size(); ++lim) {
                size_t got = static_cast<size_t>(clean_lines_end(base + q, base + lim, set.stop, dot) - base);
                ASSERT_EQ(got, expected_end(s, q, lim, set.stop))
                    << what << ", dot " << dot << ", q " << q << ", lim " << lim;
            }
        }
    }
}

// Lines of 11 bytes ("xxxxxxxxxx\n") over 150 bytes, with one byte replaced
// at every offset by each byte the scan tells apart.
TEST(BatchScan, EveryByteAtEveryOffset)
{
    std::string base;
    while (base.size() < 150)
        base += "xxxxxxxxxx\n";
    for (const KernelLimit &k : kernels) {
        CpuLimit limit(k.mask);
        for (char c : std::string("\n\r-b(.x")) {
            for (size_t i = 0; i < base.size(); ++i) {
                std::string s = base;
                s[i] = c;
                check_windows(s, 12, std::string(k.name) + ", byte " + std::to_string(c) + " at " +
                                         std::to_string(i));
            }
        }
    }
}

// CR LF line ends, empty lines and long lines, with the flagged pair
// placed across the 16- and 64-byte block edges.
TEST(BatchScan, PairsAcrossBlockEdges)
{
    std::string base;
    for (int i = 0; base.size() < 300; ++i)
        base += std::string(static_cast<size_t>(i * 7 % 90), 'A') + (i % 3 ? "\r\n" : "\n");
    const char *pairs[] = {"\n-", "\nb", "\n\r", "\n(", "\n.", "\r\n", "\rx", "\r\r", "\n\n"};
    for (const KernelLimit &k : kernels) {
        CpuLimit limit(k.mask);
        for (const char *pair : pairs) {
            for (size_t at : {14, 15, 16, 31, 32, 62, 63, 64, 65, 127, 128, 191, 192}) {
                std::string s = base;
                s[at] = pair[0];
                s[at + 1] = pair[1];
                check_windows(s, 1, std::string(k.name) + ", pair at " + std::to_string(at));
            }
        }
    }
}

// Input moved into the context as it is, without the harness's copy, so
// that it keeps its segments.
std::string log_of(const std::string &msg, size_t piece, uint32_t max_line, uint32_t flags)
{
    ztmime_ctx *ctx = ztmime_init(max_line, flags);
    zt_test::View in = piece ? zt_test::make_fragmented(msg, piece) : zt_test::make_view(msg);
    ztview_move(ctx->input, in.get(), ztview_get_len(in.get()));
    ztmime_finish(ctx);
    parser_test::RunLog run;
    parser_test::drain(ctx, run);
    ztmime_destroy(ctx);
    return parser_test::format_log(run.events);
}

// Body lines of lengths around the limit, some of them special, give the
// same events whole as in one-byte segments: batches end at the same
// lines whichever path scans them.
TEST(BatchScan, LineLimitWindowsAgreeWithTheSlowPath)
{
    std::mt19937 rng(7);
    const char *firsts = "xxxxxxxx-b(.\r";
    for (uint32_t max_line : {0u, 1u, 2u, 15u, 16u, 17u, 63u, 64u, 65u, 130u}) {
        for (uint32_t flags : {0u, static_cast<uint32_t>(ZTMIME_FLAG_DOT_END)}) {
            std::string msg = "Subject: s\n\n";
            for (int i = 0; i < 120; ++i) {
                size_t len = max_line ? max_line - std::min<size_t>(max_line, 2) + rng() % 5 : rng() % 200;
                std::string line(len, 'y');
                if (len)
                    line[0] = firsts[rng() % 13];
                if (len > 3 && rng() % 20 == 0)
                    line[rng() % len] = '\r';
                msg += line + (rng() % 2 ? "\r\n" : "\n");
            }
            EXPECT_EQ(log_of(msg, 0, max_line, flags), log_of(msg, 1, max_line, flags))
                << "max_line " << max_line << ", flags " << flags;
        }
    }
}

} // namespace
