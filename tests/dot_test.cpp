// Dot-stuffing filter: add and remove mode, lines cut anywhere between
// updates, the transport sample pair, and failure paths.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/alloc.h"
#include "zt_test.h"

using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

struct DotDeleter {
    void operator()(ztmime_dot *s) const { ztmime_dot_destroy(s); }
};
using Dot = std::unique_ptr<ztmime_dot, DotDeleter>;

// Runs the filter over `in` cut at the given offsets (sorted).
std::string run(unsigned flags, const std::string &in, const std::vector<size_t> &cuts)
{
    Dot st(ztmime_dot_init(flags));
    View out(ztview_init());
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t to = i < cuts.size() ? cuts[i] : in.size();
        View piece = zt_test::make_fragmented(in.substr(from, to - from), 1 + i % 4);
        EXPECT_EQ(ztmime_dot_update(st.get(), out.get(), piece.get()), 0);
        EXPECT_EQ(ztview_get_len(st->pending), 0u); // update always drains
        from = to;
    }
    size_t before = ztview_get_len(out.get());
    EXPECT_EQ(ztmime_dot_finish(st.get(), out.get()), 0);
    EXPECT_EQ(ztview_get_len(out.get()), before); // finish writes nothing of its own
    return str(out.get());
}

struct Case {
    unsigned flags;
    std::string in, out;
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << (c.flags & 1 ? "remove " : "add ") << zt_test::escaped(c.in);
}

} // namespace

class DotLines : public testing::TestWithParam<Case> {};

// Every single cut and every pair of cuts gives what the whole input gives.
TEST_P(DotLines, SameResultWhereverTheInputIsCut)
{
    const Case &c = GetParam();
    ASSERT_EQ(zt_test::escaped(run(c.flags, c.in, {})), zt_test::escaped(c.out));
    for (size_t a = 0; a <= c.in.size(); ++a) {
        ASSERT_EQ(run(c.flags, c.in, {a}), c.out) << "cut at " << a;
        for (size_t b = a; b <= c.in.size(); ++b)
            ASSERT_EQ(run(c.flags, c.in, {a, b}), c.out) << "cuts at " << a << ", " << b;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DotLines,
    testing::Values(Case{0, "a\n.b\nc\n", "a\n..b\nc\n"}, Case{0, ".\r\n", "..\r\n"},
                    Case{1, "..b\n", ".b\n"}, Case{1, ".\r\n", "\r\n"}, Case{1, ".b\n", "b\n"},
                    Case{0, "a.b\n.\n.", "a.b\n..\n.."}, Case{1, "a.b\n..\n...", "a.b\n.\n.."},
                    Case{0, ".no line end", "..no line end"}, Case{1, "\n\n.\n.", "\n\n\n"},
                    Case{0, "", ""}, Case{1, "x\r.y\n", "x\r.y\n"}));

TEST(DotFilter, TransportSamplePairInAnyChunking)
{
    bool ok1 = false, ok2 = false;
    std::string dir = std::string(ZT_CORPUS_DIR) + "/gmime/data/filters/";
    std::string plain = zt_test::read_file(dir + "smtp-input.txt", &ok1);
    std::string stuffed = zt_test::read_file(dir + "smtp-output.txt", &ok2);
    if (!ok1 || !ok2)
        GTEST_SKIP() << "sample pair not found under " << dir;
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        std::vector<size_t> cuts;
        for (size_t i = 0; i < plain.size(); i += 1 + rng() % 40)
            cuts.push_back(i);
        ASSERT_EQ(run(0, plain, cuts), stuffed);
        cuts.clear();
        for (size_t i = 0; i < stuffed.size(); i += 1 + rng() % 40)
            cuts.push_back(i);
        ASSERT_EQ(run(1, stuffed, cuts), plain);
    }
}

TEST(DotFilter, NullArgumentsResetAndLifecycle)
{
    Dot st(ztmime_dot_init(3));
    View out(ztview_init()), in = make_view(".a\n.b");
    EXPECT_EQ(st->mode, 1u); // init keeps bit 0 only
    EXPECT_EQ(ztmime_dot_update(nullptr, out.get(), in.get()), -1);
    EXPECT_EQ(ztmime_dot_update(st.get(), nullptr, in.get()), -1);
    EXPECT_EQ(ztmime_dot_finish(st.get(), nullptr), -1);
    EXPECT_EQ(ztmime_dot_finish(nullptr, out.get()), -1);
    ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), in.get()), 0);
    EXPECT_EQ(st->at_line_start, 0);
    EXPECT_EQ(str(in.get()), ".a\n.b"); // input stays the caller's
    // A new stream in add mode starts at a line start again.
    ASSERT_EQ(ztmime_dot_reset(st.get(), 2), st.get());
    EXPECT_EQ(st->mode, 2u);
    EXPECT_EQ(st->at_line_start, 1);
    ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()), "a\nb..a\n..b");
    EXPECT_EQ(st->error, nullptr);
    Dot made(ztmime_dot_reset(nullptr, 1));
    ASSERT_TRUE(made);
    ztmime_dot_destroy(nullptr);
}

// A failed allocation in the middle of an update neither loses nor repeats
// anything: the next calls deliver the same output as an undisturbed run.
TEST(DotFilter, AllocationFailuresTreatEachLineOnce)
{
    const std::string in = ".a\nb\n.c\n..d\n.";
    for (unsigned mode : {0u, 1u}) {
        std::string want = run(mode, in, {});
        for (long nth = 1;; ++nth) {
            Dot st(ztmime_dot_init(mode));
            View out(ztview_init()), piece = zt_test::make_fragmented(in, 2);
            zt_alloc_fail_at(nth);
            int rc = ztmime_dot_update(st.get(), out.get(), piece.get());
            bool failed = zt_alloc_fail_at(0) >= nth;
            if (!failed) {
                EXPECT_EQ(str(out.get()), want);
                break;
            }
            EXPECT_EQ(rc, -1);
            if (str(out.get()).empty() && ztview_get_len(st->pending) == 0) {
                // The input itself was not taken: give it again.
                ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), piece.get()), 0);
            }
            ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), nullptr), 0);
            ASSERT_EQ(ztmime_dot_finish(st.get(), out.get()), 0);
            EXPECT_EQ(str(out.get()), want) << "allocation " << nth;
        }
    }
}
