// Cloak and lock: byte-exact XOR on views of many segments with unaligned
// starts and short lengths, reversibility, and views that share bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "zt_test.h"

using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

std::string xored(std::string s, unsigned char key)
{
    for (auto &c : s)
        c = char(static_cast<unsigned char>(c) ^ key);
    return s;
}

// A view of the given pieces, each its own segment starting `skew` bytes
// into its block, so that segment starts fall on every alignment.
View pieced(const std::vector<std::string> &pieces, std::mt19937 &rng)
{
    View v(ztview_init());
    for (const std::string &p : pieces) {
        size_t skew = rng() % 8;
        View t = make_view(std::string(skew, '#') + p);
        ztview_seek(t.get(), skew, ZTVIEW_SEEK_FRONT);
        ztview_move(v.get(), t.get(), p.size());
    }
    return v;
}

std::vector<std::string> random_pieces(std::mt19937 &rng, std::string *all)
{
    static const size_t lens[] = {1, 2, 3, 1, 2, 3, 4, 5, 7, 8, 9, 31, 33, 64, 200, 4099};
    std::vector<std::string> pieces(1 + rng() % 20);
    for (auto &p : pieces) {
        p.resize(lens[rng() % std::size(lens)]);
        for (auto &c : p)
            c = char(rng());
        *all += p;
    }
    return pieces;
}

} // namespace

TEST(Lock, MatchesByteWiseXorOnManySegmentsAndRestores)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 300; ++round) {
        std::string all;
        View v = pieced(random_pieces(rng, &all), rng);
        unsigned char key = static_cast<unsigned char>(rng());
        ASSERT_EQ(ztmime_lock(v.get(), key), 0);
        ASSERT_EQ(str(v.get()), xored(all, key)) << "round " << round;
        ASSERT_EQ(ztmime_lock(v.get(), key), 0);
        ASSERT_EQ(str(v.get()), all);
        // The cloak constant as key gives what cloak gives; key 0 changes nothing.
        View c = pieced({all}, rng);
        ASSERT_EQ(ztmime_cloak(c.get()), 0);
        ASSERT_EQ(ztmime_lock(v.get(), round % 2 ? 0x6E : 0), 0);
        ASSERT_EQ(str(v.get()), round % 2 ? str(c.get()) : all);
    }
}

TEST(Lock, ViewsSharingTheBytesStayUnchanged)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 50; ++round) {
        std::string all;
        View v = pieced(random_pieces(rng, &all), rng);
        View whole(ztview_duplicate_front(v.get(), nullptr, all.size()));
        View half(ztview_duplicate_front(v.get(), nullptr, all.size() / 2));
        ASSERT_EQ(ztmime_lock(v.get(), 0xA5), 0);
        EXPECT_EQ(str(v.get()), xored(all, 0xA5));
        EXPECT_EQ(str(whole.get()), all);
        EXPECT_EQ(str(half.get()), all.substr(0, all.size() / 2));
        ASSERT_EQ(ztmime_cloak(half.get()), 0);
        EXPECT_EQ(str(whole.get()), all);
    }
    // Bytes that a view only refers to are never written.
    std::string caller = "caller's own bytes";
    View ext(_ztview_from_buf(caller.data(), caller.size(), 0, "host", __LINE__));
    ASSERT_EQ(ztmime_lock(ext.get(), 0xFF), 0);
    EXPECT_EQ(caller, "caller's own bytes");
    EXPECT_EQ(str(ext.get()), xored(caller, 0xFF));
}

TEST(Lock, NullEmptyAndAllocationFailures)
{
    EXPECT_EQ(ztmime_lock(nullptr, 1), -1);
    EXPECT_EQ(ztmime_cloak(nullptr), -1);
    View empty(ztview_init());
    EXPECT_EQ(ztmime_lock(empty.get(), 7), 0);
    EXPECT_EQ(ztmime_cloak(empty.get()), 0);
    EXPECT_EQ(ztview_get_len(empty.get()), 0u);

    std::mt19937 rng(6);
    std::string all;
    View v = pieced(random_pieces(rng, &all), rng);
    View shared(ztview_duplicate_front(v.get(), nullptr, all.size()));
    for (bool cloak : {false, true}) {
        for (long nth = 1;; ++nth) {
            zt_alloc_fail_at(nth);
            int rc = cloak ? ztmime_cloak(v.get()) : ztmime_lock(v.get(), 0x11);
            bool failed = zt_alloc_fail_at(0) >= nth;
            if (!failed) {
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(str(v.get()), xored(all, cloak ? 0x6E : 0x11));
                all = str(v.get());
                break;
            }
            ASSERT_EQ(rc, -1);
            ASSERT_EQ(str(v.get()), all) << "allocation " << nth;
            EXPECT_EQ(str(shared.get()).size(), all.size());
        }
    }
}
