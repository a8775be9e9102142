// Dot-stuffing filter: add and remove mode against a small reference with
// the input cut anywhere between updates, reset, and failure paths.
#include <gtest/gtest.h>

#include <random>

#include "zt_test.h"

using namespace zt_test;

using Dot = std::unique_ptr<ztmime_dot, decltype(&ztmime_dot_destroy)>;

// Runs the filter over `in` in random pieces of random segments; every
// update drains its input.
static std::string run(unsigned flags, const std::string &in, std::mt19937 &rng)
{
    Dot st(ztmime_dot_init(flags), ztmime_dot_destroy);
    View out(ztview_init());
    for (size_t at = 0, n = 0; at < in.size() || n; at += n) {
        n = std::min(in.size() - at, size_t(rng() % 8));
        int rc = ztmime_dot_update(st.get(), out.get(), make_fragmented(in.substr(at, n), 1 + rng() % 3).get());
        EXPECT_EQ(rc + ztview_get_len(st->pending), 0u);
    }
    return ztmime_dot_finish(st.get(), out.get()) == 0 ? str(out.get()) : "finish failed";
}

// A line starts after LF only (not after a lone CR); adding doubles a dot
// there, removing drops one.
TEST(DotFilter, MatchesTheReferenceWhereverTheInputIsCut)
{
    std::mt19937 rng(5);
    EXPECT_EQ(run(0, "a\n.b\r\n.\r.", rng) + "|" + run(1, "..a\n.\r\nx\r.y\n.", rng), "a\n..b\r\n..\r.|.a\n\r\nx\r.y\n");
    for (int round = 0; round < 3000; ++round) {
        std::string in, want;
        for (size_t i = rng() % 24; i > 0; --i) {
            in += ".\r\nab"[rng() % 5];
            bool line_start = in.size() == 1 || in[in.size() - 2] == '\n';
            want += line_start && in.back() == '.' ? (round % 2 ? "" : "..") : in.substr(in.size() - 1);
        }
        ASSERT_EQ(run(round % 2, in, rng), want) << escaped(in);
    }
}

TEST(DotFilter, NullArgumentsAndReset)
{
    Dot st(ztmime_dot_reset(nullptr, 1), ztmime_dot_destroy);
    View out(ztview_init()), in = make_view(".a\n.b");
    EXPECT_EQ(ztmime_dot_update(nullptr, out.get(), in.get()) + ztmime_dot_finish(st.get(), nullptr), -2);
    ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), in.get()), 0);
    ASSERT_EQ(ztmime_dot_reset(st.get(), 2), st.get()); // a new stream starts at a line start
    ASSERT_EQ(ztmime_dot_update(st.get(), out.get(), in.get()), 0);
    EXPECT_EQ(str(out.get()) + str(in.get()), "a\nb..a\n..b.a\n.b"); // the input stays the caller's
}
