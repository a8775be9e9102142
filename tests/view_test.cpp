// The view library: every call checked against a string model across many
// segments, sharing and copy on write, allocation failures, LIFO, iterator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "alloc.h"
#include "destroy_each.h"
#include "hold.h"
#include "view_internal.h"
#include "zt_test.h"

using zt_test::make_fragmented;
using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

const unsigned char *first_byte(const ztview *v)
{
    const unsigned char *p = nullptr;
    ztview_segment(v, 0, &p, nullptr);
    return p;
}

// Random operations on three views, mirrored on strings; the validator and
// the contents are checked after every step.
TEST(ViewModel, RandomOperationsMatchStringModel)
{
    std::mt19937 rng(1234);
    auto rnd = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
    auto bytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char &c : s)
            c = "ab;= \r\n\t?-\0\xff"[rnd(12)];
        return s;
    };
    for (int round = 0; round < 40; ++round) {
        View v[3] = {View(ztview_init()), View(ztview_init()), View(ztview_init())};
        std::string m[3];
        for (int step = 0; step < 300; ++step) {
            size_t a = rnd(3), b = rnd(3), n = rnd(m[a].size() + 3), k = std::min(n, m[a].size());
            // dst receives the first k bytes of a, which loses them (or, for
            // a view cut into itself, keeps only them).
            auto cut_model = [&](size_t k) {
                if (a == b)
                    m[a].resize(k);
                else
                    m[b] = m[a].substr(0, k), m[a].erase(0, k);
            };
            std::string s;
            switch (rnd(14)) {
            case 0:
                s = bytes(rnd(100) == 0 ? 5000 : rnd(40));
                ASSERT_EQ(ztview_append(v[a].get(), s.data(), s.size()), 0);
                m[a] += s;
                break;
            case 1:
                ASSERT_EQ(ztview_concat(v[a].get(), v[b].get()), 0);
                m[a] += std::string(m[b]);
                break;
            case 2:
                ASSERT_EQ(ztview_move(v[b].get(), v[a].get(), n), v[b].get());
                s = m[a].substr(0, k);
                m[a].erase(0, k);
                m[b] += s;
                break;
            case 3:
                ASSERT_EQ(ztview_cut(v[a].get(), v[b].get(), n), v[b].get());
                cut_model(k);
                break;
            case 4:
                ASSERT_EQ(ztview_duplicate_front(v[a].get(), v[b].get(), n), v[b].get());
                m[b] = m[a].substr(0, k);
                break;
            case 5:
                ztview_skip_until(v[a].get(), v[b].get(), "?;");
                cut_model(std::min(m[a].find_first_of("?;"), m[a].size()));
                break;
            case 6:
                k = std::min(m[a].find_first_not_of("ab "), m[a].size());
                EXPECT_EQ(ztview_skip_while(v[a].get(), "ab "), k);
                m[a].erase(0, k);
                break;
            case 7:
                ASSERT_EQ(ztview_seek(v[a].get(), n, ZTVIEW_SEEK_FRONT), n <= m[a].size() ? 0 : -1);
                if (n <= m[a].size())
                    m[a].erase(0, n);
                break;
            case 8:
                EXPECT_EQ(ztview_getchar(v[a].get()), m[a].empty() ? -1 : static_cast<unsigned char>(m[a][0]));
                m[a].erase(0, 1);
                break;
            case 9: {  // writing through the iovecs changes this view only
                int count = -1;
                struct iovec *iov = ztview_get_iovec(v[a].get(), 0, &count);
                ASSERT_NE(iov, nullptr);
                size_t off = 0;
                for (int i = 0; i < count; ++i)
                    for (size_t j = 0; j < iov[i].iov_len; ++j, ++off)
                        static_cast<char *>(iov[i].iov_base)[j] ^= 0x20, m[a][off] ^= 0x20;
                EXPECT_EQ(off, m[a].size());
                std::free(iov);
                break;
            }
            case 10: {
                s = bytes(rnd(300));
                auto *p = static_cast<char *>(ztview_reserve(v[a].get(), s.size() + rnd(50)));
                ASSERT_NE(p, nullptr);
                std::memcpy(p, s.data(), s.size());
                ASSERT_EQ(ztview_commit(v[a].get(), s.size()), 0);
                m[a] += s;
                break;
            }
            case 11:
                ztview_rewind(v[a].get());
                m[a].clear();
                break;
            case 13:  // cut or duplicate into a new view, which replaces b
                if (a == b)
                    break;
                if (rnd(2)) {
                    v[b] = View(ztview_cut(v[a].get(), nullptr, n));
                    cut_model(k);
                } else {
                    v[b] = View(ztview_duplicate_front(v[a].get(), nullptr, n));
                    m[b] = m[a].substr(0, k);
                }
                ASSERT_NE(v[b].get(), nullptr);
                break;
            case 12: {  // a move from a separate small view
                s = bytes(rnd(5));
                View piece(ztview_from_buf(s.data(), s.size()));
                ztview_move(v[a].get(), piece.get(), 99);
                m[a] += s;
                break;
            }
            }
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(ztview_validate(v[i].get()), nullptr) << "view " << i << " step " << step << ": " << ztview_validate(v[i].get());
                ASSERT_EQ(str(v[i].get()), m[i]) << "view " << i << " step " << step;
            }
        }
    }
}

TEST(ViewSharing, MoveCutAndDuplicateCopyNoBytes)
{
    View src = make_view(std::string(1 << 20, 'x'));
    const unsigned char *p = first_byte(src.get());
    View dup(ztview_duplicate_front(src.get(), nullptr, 1000));
    View cut(ztview_cut(src.get(), nullptr, 500000));
    View moved(ztview_move(nullptr, src.get(), 10));
    EXPECT_EQ(first_byte(dup.get()), p);
    EXPECT_EQ(first_byte(cut.get()), p);
    EXPECT_EQ(first_byte(moved.get()), p + 500000);
    EXPECT_EQ(first_byte(src.get()), p + 500010);
    // Adjacent pieces of one block merge back into one segment.
    for (int i = 0; i < 10; ++i)
        ztview_move(moved.get(), src.get(), 10);
    EXPECT_EQ(ztview_segment_count(moved.get()), 1u);
}

// Fields cut one after another from one block lengthen one segment of the
// holding view; a gap or another block starts a new one; a failure to make
// room leaves both views as they were; emptying releases every block.
TEST(ViewSharing, TakeFrontHoldsRunsAsOneSegment)
{
    std::string rest = "A: 1\nB: 2\nC: 3\nD: 4\nE: 5\n";
    View src = make_fragmented(rest, 15);
    View hold(ztview_init());
    std::string held;
    auto take = [&](size_t skip, size_t n, size_t segments) {
        ztview_seek(src.get(), skip, ZTVIEW_SEEK_FRONT);
        held += rest.substr(skip, n);
        rest.erase(0, skip + n);
        ASSERT_EQ(_ztview_take_front(hold.get(), src.get(), n), 0);
        EXPECT_EQ(str(hold.get()), held);
        EXPECT_EQ(str(src.get()), rest);
        EXPECT_EQ(ztview_segment_count(hold.get()), segments) << held;
        EXPECT_EQ(ztview_validate(hold.get()), nullptr);
        EXPECT_EQ(ztview_validate(src.get()), nullptr);
    };
    take(0, 5, 1);
    take(0, 5, 1);
    take(0, 5, 1);  // the rest of the first block
    take(0, 3, 2);  // another block
    // A gap, and a third segment, which needs room beyond the view record.
    ztview_seek(src.get(), 2, ZTVIEW_SEEK_FRONT);
    rest.erase(0, 2);
    zt_alloc_fail_at(1);
    EXPECT_EQ(_ztview_take_front(hold.get(), src.get(), 3), -1);
    zt_alloc_fail_at(0);
    EXPECT_EQ(str(hold.get()), held);
    EXPECT_EQ(str(src.get()), rest);
    take(0, 3, 3);
    _ztview_release_all(hold.get());
    EXPECT_EQ(ztview_get_len(hold.get()), 0u);
    EXPECT_EQ(ztview_validate(hold.get()), nullptr);
    EXPECT_EQ(str(src.get()), "5\n");
}

TEST(ViewSharing, WritesNeverShowInAnotherView)
{
    View a = make_fragmented("hello world", 3);
    View b(ztview_duplicate_front(a.get(), nullptr, 11));
    int count = 0;
    struct iovec *iov = ztview_get_iovec(a.get(), 0, &count);
    ASSERT_NE(iov, nullptr);
    for (int i = 0; i < count; ++i)
        std::memset(iov[i].iov_base, '#', iov[i].iov_len);
    std::free(iov);
    EXPECT_EQ(str(a.get()), "###########");
    EXPECT_EQ(str(b.get()), "hello world");

    // Both sharers of a block may append; a reservation is never lent out
    // of a block that another view could append to meanwhile.
    View c = make_view("abc");
    View d(ztview_duplicate_front(c.get(), nullptr, 3));
    auto *p = static_cast<char *>(ztview_reserve(c.get(), 4));
    ASSERT_NE(p, nullptr);
    ztview_append(d.get(), "zz", 2);
    std::memcpy(p, "1234", 4);
    ASSERT_EQ(ztview_commit(c.get(), 4), 0);
    ztview_append(c.get(), "!", 1);
    EXPECT_EQ(str(c.get()), "abc1234!");
    EXPECT_EQ(str(d.get()), "abczz");

    // A copy-0 view refers to the caller's bytes and never writes them.
    char mine[] = "caller";
    View e(_ztview_from_buf(mine, 6, 0, "host", __LINE__));
    EXPECT_EQ(first_byte(e.get()), reinterpret_cast<unsigned char *>(mine));
    ztview_append(e.get(), "!", 1);
    iov = ztview_get_iovec(e.get(), 0, &count);
    static_cast<char *>(iov[0].iov_base)[0] = 'C';
    std::free(iov);
    EXPECT_STREQ(mine, "caller");
    EXPECT_EQ(str(e.get()), "Caller!");
}

// Releases of shared blocks may be counted per thread and handed to the
// block later; the view that is left must still get its block back for
// writing in place, whichever thread released the other shares.
TEST(ViewSharing, ReleasedSharesHandTheBlockBack)
{
    View a = make_view("abc");
    for (int round = 0; round < 2; ++round) {
        ztview *b = ztview_duplicate_front(a.get(), nullptr, 3);
        ztview *c = ztview_cut(b, nullptr, 2);
        if (round == 0) {
            ztview_destroy(b);
            ztview_destroy(c);
        } else {
            std::thread([&] {
                ztview_destroy(c);
                ztview_destroy(b);
            }).join();
        }
        const unsigned char *end = first_byte(a.get()) + ztview_get_len(a.get());
        auto *p = static_cast<unsigned char *>(ztview_reserve(a.get(), 1));
        EXPECT_EQ(p, end) << "round " << round << ": the reservation continues the block";
        *p = static_cast<unsigned char>('0' + round);
        ztview_commit(a.get(), 1);
    }
    EXPECT_EQ(str(a.get()), "abc01");
    EXPECT_EQ(ztview_segment_count(a.get()), 1u);
    int count = 0;
    struct iovec *iov = ztview_get_iovec(a.get(), 0, &count);
    ASSERT_NE(iov, nullptr);
    EXPECT_EQ(iov[0].iov_base, first_byte(a.get())) << "no copy for a block held alone";
    std::free(iov);
}

TEST(ViewSharing, ReserveCommitRules)
{
    View v(ztview_init());
    EXPECT_EQ(ztview_commit(v.get(), 0), -1) << "no reservation open";
    auto *p = static_cast<char *>(ztview_reserve(v.get(), 8));
    std::memcpy(p, "abcdefgh", 8);
    EXPECT_EQ(ztview_commit(v.get(), 100000), -1) << "more than reserved";
    EXPECT_EQ(ztview_commit(v.get(), 5), 0);
    EXPECT_EQ(ztview_commit(v.get(), 1), -1) << "reservation already ended";
    std::memcpy(ztview_reserve(v.get(), 3), "xyz", 3);
    ztview_commit(v.get(), 3);
    EXPECT_EQ(str(v.get()), "abcdexyz");
    EXPECT_EQ(ztview_segment_count(v.get()), 1u) << "the second reservation continues the block";
}

TEST(ViewRead, ScansAndComparisonsCrossSegments)
{
    for (size_t piece : {1, 2, 3, 100}) {
        View v = make_fragmented("  \t;name=value\r\n", piece);
        EXPECT_EQ(ztview_strspn(v.get(), " \t", 2), 3u);
        EXPECT_EQ(ztview_strcspn(v.get(), "=", 1), 8u);
        EXPECT_EQ(ztview_strcspn(v.get(), "\r\n", 2), 14u);
        EXPECT_EQ(ztview_strcspn(v.get(), "#", 1), 16u);
        EXPECT_EQ(ztview_strspn(v.get(), "\0 ", 2), 2u) << "sets may hold NUL";
        EXPECT_EQ(ztview_find_byte(v.get(), '\n'), 15);
        unsigned char c = 0;
        EXPECT_EQ(ztview_getnchar(v.get(), 9, &c), 0);
        EXPECT_EQ(c, 'v');
        EXPECT_NE(ztview_getnchar(v.get(), 16, &c), 0);
        View same = make_view("  \t;name=value\r\n");
        EXPECT_EQ(ztview_cmp(v.get(), same.get()), 0);
    }
    View a = make_fragmented("Content-Type", 2), pre = make_view("Content"), c = make_view("Content-Typf");
    EXPECT_LT(ztview_cmp(a.get(), c.get()), 0);
    EXPECT_GT(ztview_cmp(a.get(), pre.get()), 0);
    EXPECT_EQ(ztview_ncmp(a.get(), pre.get(), 7), 0);
    EXPECT_NE(ztview_ncmp(pre.get(), a.get(), 8), 0) << "a shorter view is unequal";
    EXPECT_NE(ztview_strncmp(pre.get(), "Content-", 8), 0);
    EXPECT_EQ(ztview_strcasecmp(a.get(), "content-TYPE"), 0);
    EXPECT_NE(ztview_strcasecmp(a.get(), "content-type:"), 0);
    EXPECT_NE(ztview_strcasecmp(a.get(), "content-typ"), 0);
    EXPECT_EQ(ztview_strcasencmp(a.get(), "CONTENT-typeXYZ", 12), 0);
}

TEST(ViewRead, CopyOutAndScratchSlots)
{
    View v = make_fragmented("abcdef", 2);
    size_t n = 0;
    char *p = static_cast<char *>(ztview_copy_data_r(v.get(), nullptr, &n, 1));
    EXPECT_EQ(std::string(p), "abcdef");
    EXPECT_EQ(n, 6u);
    std::free(p);
    char small[4];
    n = sizeof small;
    ztview_copy_data_r(v.get(), small, &n, 1);
    EXPECT_STREQ(small, "abc") << "bounded by the buffer size, NUL included";
    EXPECT_EQ(n, 6u) << "with a NUL: the view's length, the terminator not counted";
    n = sizeof small;
    ztview_copy_data_r(v.get(), small, &n, 0);
    EXPECT_EQ(std::string(small, n), "abcd") << "without: the bytes copied";

    View e = make_view(std::string("a\\b\x01\xff\n", 6));
    EXPECT_STREQ(ztview_copy_data_escaped(e.get(), 1, 0), "a\\x5cb\\x01\\xff\\x0a");
    EXPECT_STREQ(ztview_copy_data_escaped(e.get(), 2, 1), "a\\b\x01\xff\n");
    EXPECT_STREQ(ztview_esc_get_buf(1), "a\\x5cb\\x01\\xff\\x0a") << "slots are independent";
    EXPECT_STREQ(ztview_copy_data_escaped(e.get(), 3, 0), "");
    EXPECT_STREQ(ztview_copy_data_escaped(nullptr, 1, 0), "");
}

TEST(ViewRead, NullViewsReadAsEmpty)
{
    EXPECT_EQ(ztview_get_len(nullptr), 0u);
    ztview_rewind(nullptr);
    EXPECT_EQ(ztview_getchar(nullptr), -1);
    EXPECT_EQ(ztview_skip_while(nullptr, "a"), 0u);
    EXPECT_EQ(ztview_append(nullptr, "a", 1), -1);
    EXPECT_EQ(ztview_strcasecmp(nullptr, ""), 0);
    View v(ztview_move(nullptr, nullptr, 5));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(ztview_get_len(v.get()), 0u);
}


// Views past a megabyte get large blocks, which released views hand on to
// the next large view of the thread: the bytes are always the new ones.
TEST(ViewLargeBlocks, GrowingViewsReuseReleasedBlocksIntact)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 4; ++round) {
        std::string want;
        View v(ztview_init());
        while (want.size() < (5u << 20)) {
            std::string piece(1 + rng() % (96u << 10), static_cast<char>('a' + (round + want.size()) % 26));
            ASSERT_EQ(ztview_append(v.get(), piece.data(), piece.size()), 0);
            want += piece;
        }
        ASSERT_EQ(ztview_validate(v.get()), nullptr);
        EXPECT_LT(ztview_segment_count(v.get()), 64u) << "blocks grow with the view";
        EXPECT_TRUE(str(v.get()) == want) << "round " << round;
    }
}

TEST(ViewLifoAndIterator, OrderAndRestart)
{
    struct Item {
        ztds_lifo_link link;
        int v;
    } items[3] = {{{nullptr}, 1}, {{nullptr}, 2}, {{nullptr}, 3}};
    ztds_lifo lifo;
    ztds_lifo_init(&lifo);
    for (Item &i : items)
        EXPECT_EQ(ztds_lifo_push(&lifo, &i), &i);
    EXPECT_EQ(reinterpret_cast<Item *>(lifo.top)->v, 3) << "first field is the top item";
    for (int want : {3, 2, 1})
        EXPECT_EQ(static_cast<Item *>(ztds_lifo_pop(&lifo))->v, want);
    EXPECT_EQ(ztds_lifo_pop(&lifo), nullptr);

    View v = make_fragmented("abcdef", 2);
    ztiterator *it = ztiterator_create(v.get());
    std::string seen;
    unsigned char c;
    while (ztiterator_inc(it, &c) == 0)
        seen += static_cast<char>(c);
    EXPECT_EQ(seen, "abcdef");
    ztview_seek(v.get(), 3, ZTVIEW_SEEK_FRONT);
    ztiterator_reset(it, 0);
    ASSERT_EQ(ztiterator_inc(it, &c), 0);
    EXPECT_EQ(c, 'd') << "restarts at the new front";
    ztiterator_destroy(it);
}

// Views released in one call from the first member of a caller's records:
// every view is released once, counted against the module that made it,
// null entries are skipped, and a block they shared with a view that stays
// goes back to that view alone.
TEST(ViewAccounting, ReleaseOfManyRecords)
{
    struct Record {
        ztview *view;
        const void *other;
        size_t tag;
    };
    long mime = ztview_live_count("mime"), reader = ztview_live_count("reader");
    View keep = make_view("header: one\r\nheader: two\r\n");
    Record rec[6] = {};
    rec[0].view = _ztview_duplicate_front(keep.get(), nullptr, 13, "mime", __LINE__);
    rec[2].view = _ztview_init("reader", __LINE__);  // empty
    rec[3].view = _ztview_duplicate_front(keep.get(), nullptr, 26, "mime", __LINE__);
    View many = make_fragmented("a view of more segments than fit inline", 5);
    rec[4].view = _ztview_duplicate_front(many.get(), nullptr, ztview_get_len(many.get()), "reader", __LINE__);
    rec[5].view = _ztview_init("reader", __LINE__);
    ztview_append(rec[5].view, "own block", 9);
    for (size_t i = 0; i < 6; ++i)
        rec[i].tag = i;
    ASSERT_GT(ztview_segment_count(rec[4].view), 2u);
    EXPECT_EQ(ztview_live_count("mime"), mime + 2);
    EXPECT_EQ(ztview_live_count("reader"), reader + 3);
    _ztview_destroy_each(rec, 6, sizeof(Record));
    EXPECT_EQ(ztview_live_count("mime"), mime);
    EXPECT_EQ(ztview_live_count("reader"), reader);
    _ztview_destroy_each(nullptr, 0, sizeof(Record));
    EXPECT_EQ(str(many.get()), "a view of more segments than fit inline");
    const unsigned char *end = first_byte(keep.get()) + ztview_get_len(keep.get());
    auto *p = static_cast<unsigned char *>(ztview_reserve(keep.get(), 1));
    EXPECT_EQ(p, end) << "the shares were handed back: the block is the kept view's alone";
}

TEST(ViewAccounting, CountsAgainstTheCreatingModule)
{
    long mime = ztview_live_count("mime"), all = ztview_live_count(nullptr);
    ztview *a = _ztview_init("mime", __LINE__);
    EXPECT_EQ(ztview_live_count("mime"), mime + 1);
    EXPECT_EQ(ztview_live_count(nullptr), all + 1);
    ztview_destroy(a);  // released by the host, counted for mime
    EXPECT_EQ(ztview_live_count("mime"), mime);
}

} // namespace
