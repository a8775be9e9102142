// Cloak and lock: byte-exact XOR on views of many segments with unaligned
// starts and short lengths, and views that share the bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "zt_test.h"

using namespace zt_test;

static std::string xored(std::string s, unsigned char key)
{
    std::transform(s.begin(), s.end(), s.begin(), [key](char c) { return char(c ^ key); });
    return s;
}

// A view of random pieces (*all gets their bytes), each its own segment
// starting up to 7 bytes into its block, so that starts fall on every
// alignment.
static View pieced(std::mt19937 &rng, std::string *all)
{
    static const size_t lens[] = {1, 2, 3, 4, 5, 7, 8, 9, 31, 33, 64, 200, 4099};
    View v(ztview_init());
    for (size_t k = 1 + rng() % 20, skew; k > 0; --k) {
        std::string p(lens[rng() % std::size(lens)], '\0');
        std::generate(p.begin(), p.end(), [&] { return char(rng()); });
        View t = make_view(std::string(skew = rng() % 8, '#') + p);
        ztview_seek(t.get(), skew, ZTVIEW_SEEK_FRONT);
        ztview_move(v.get(), t.get(), p.size());
        *all += p;
    }
    return v;
}

// Twice the same key restores the bytes; views sharing them never change;
// the cloak is the lock with 0x6E.
TEST(Lock, MatchesByteWiseXorAndLeavesSharingViewsAlone)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 300; ++round) {
        std::string all;
        View v = pieced(rng, &all), half(ztview_duplicate_front(v.get(), nullptr, all.size() / 2));
        unsigned char key = static_cast<unsigned char>(rng());
        ASSERT_EQ(ztmime_lock(v.get(), key), 0);
        ASSERT_EQ(str(v.get()) + "|" + str(half.get()), xored(all, key) + "|" + all.substr(0, all.size() / 2));
        ASSERT_EQ(ztmime_lock(v.get(), key) + ztmime_cloak(half.get()), 0);
        ASSERT_EQ(str(v.get()) + str(half.get()), all + xored(all.substr(0, all.size() / 2), 0x6E));
    }
    // Bytes that a view only refers to are never written.
    std::string caller = "caller's own bytes";
    View ext(_ztview_from_buf(caller.data(), caller.size(), 0, "host", __LINE__));
    ASSERT_EQ(ztmime_lock(ext.get(), 0xFF), 0);
    EXPECT_EQ(caller + str(ext.get()), "caller's own bytes" + xored(caller, 0xFF));
}

TEST(Lock, NullAndEmpty)
{
    EXPECT_EQ(ztmime_lock(nullptr, 1) + ztmime_cloak(nullptr) + ztmime_lock(View(ztview_init()).get(), 7), -2);
}
