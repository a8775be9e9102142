// The view library: the contract of every call across many segments,
// sharing and copy on write, allocation failures, LIFO and iterator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "view_internal.h"
#include "zt_test.h"

using zt_test::make_fragmented;
using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

#define EXPECT_VALID(v) EXPECT_EQ(ztview_validate(v), nullptr)

const unsigned char *first_byte(const ztview *v)
{
    const unsigned char *p = nullptr;
    ztview_segment(v, 0, &p, nullptr);
    return p;
}

// ---------------------------------------------------------------------------
// Model-based: random operations on a few views, mirrored on strings.
// ---------------------------------------------------------------------------

TEST(ViewModel, RandomOperationsMatchStringModel)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 40; ++round) {
        const int N = 3;
        View v[N];
        std::string m[N];
        for (int i = 0; i < N; ++i)
            v[i].reset(ztview_init());
        auto rnd = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
        auto random_bytes = [&](size_t n) {
            std::string s(n, '\0');
            for (char &c : s)
                c = static_cast<char>("ab;= \r\n\t?-\x00\xff"[rnd(13)]);
            return s;
        };
        for (int step = 0; step < 300; ++step) {
            int a = static_cast<int>(rnd(N)), b = static_cast<int>(rnd(N));
            size_t n = rnd(m[a].size() + 3);
            switch (rnd(14)) {
            case 0: {
                std::string s = random_bytes(rnd(9000) < 100 ? 5000 : rnd(40));
                ASSERT_EQ(ztview_append(v[a].get(), s.data(), s.size()), 0);
                m[a] += s;
                break;
            }
            case 1: {
                std::string copy = m[b];
                ASSERT_EQ(ztview_concat(v[a].get(), v[b].get()), 0);
                m[a] += copy;
                break;
            }
            case 2: {
                size_t k = std::min(n, m[a].size());
                ASSERT_EQ(ztview_move(v[b].get(), v[a].get(), n), v[b].get());
                if (a == b) {
                    m[a] = m[a].substr(k) + m[a].substr(0, k);
                } else {
                    m[b] += m[a].substr(0, k);
                    m[a].erase(0, k);
                }
                break;
            }
            case 3: {
                size_t k = std::min(n, m[a].size());
                ASSERT_EQ(ztview_cut(v[a].get(), v[b].get(), n), v[b].get());
                if (a == b) {
                    m[a].resize(k);
                } else {
                    m[b] = m[a].substr(0, k);
                    m[a].erase(0, k);
                }
                break;
            }
            case 4: {
                size_t k = std::min(n, m[a].size());
                ASSERT_EQ(ztview_duplicate_front(v[a].get(), v[b].get(), n), v[b].get());
                m[b] = m[a].substr(0, k);
                break;
            }
            case 5: {
                size_t k = m[a].find_first_of("?;");
                ztview_skip_until(v[a].get(), v[b].get(), "?;");
                if (k == std::string::npos)
                    k = m[a].size();
                if (a == b) {
                    m[a].resize(k);
                } else {
                    m[b] = m[a].substr(0, k);
                    m[a].erase(0, k);
                }
                break;
            }
            case 6: {
                size_t k = m[a].find_first_not_of("ab ");
                if (k == std::string::npos)
                    k = m[a].size();
                EXPECT_EQ(ztview_skip_while(v[a].get(), "ab "), k);
                m[a].erase(0, k);
                break;
            }
            case 7:
                if (n <= m[a].size()) {
                    ASSERT_EQ(ztview_seek(v[a].get(), n, ZTVIEW_SEEK_FRONT), 0);
                    m[a].erase(0, n);
                } else {
                    ASSERT_EQ(ztview_seek(v[a].get(), n, ZTVIEW_SEEK_FRONT), -1);
                }
                break;
            case 8:
                EXPECT_EQ(ztview_getchar(v[a].get()), m[a].empty() ? -1 : static_cast<unsigned char>(m[a][0]));
                if (!m[a].empty())
                    m[a].erase(0, 1);
                break;
            case 9: {
                // Writing through the iovecs changes this view only.
                int count = -1;
                struct iovec *iov = ztview_get_iovec(v[a].get(), 0, &count);
                ASSERT_NE(iov, nullptr);
                size_t off = 0;
                for (int i = 0; i < count; ++i) {
                    auto *p = static_cast<unsigned char *>(iov[i].iov_base);
                    for (size_t j = 0; j < iov[i].iov_len; ++j, ++off) {
                        p[j] ^= 0x20;
                        m[a][off] = static_cast<char>(m[a][off] ^ 0x20);
                    }
                }
                EXPECT_EQ(off, m[a].size());
                std::free(iov);
                break;
            }
            case 10: {
                std::string s = random_bytes(rnd(300));
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
            case 12: {
                std::string s = random_bytes(rnd(5));
                View piece(ztview_from_buf(s.data(), s.size()));
                ASSERT_EQ(ztview_move(v[a].get(), piece.get(), 99), v[a].get());
                m[a] += s;
                break;
            }
            case 13: {
                std::string t = m[b].substr(0, rnd(m[b].size() + 1));
                // strncmp semantics: the comparison ends at the text's NUL.
                size_t k = std::min(t.size(), t.find('\0') == std::string::npos ? t.size() : t.find('\0') + 1);
                EXPECT_EQ(ztview_strncmp(v[a].get(), t.c_str(), t.size()) == 0,
                          m[a].size() >= k && m[a].compare(0, k, t, 0, k) == 0)
                    << "strncmp disagrees";
                break;
            }
            }
            for (int i = 0; i < N; ++i) {
                ASSERT_EQ(ztview_validate(v[i].get()), nullptr) << "view " << i << " step " << step;
                ASSERT_EQ(ztview_get_len(v[i].get()), m[i].size());
                ASSERT_EQ(str(v[i].get()), m[i]) << "view " << i << " step " << step;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Moving, cutting and duplicating share blocks instead of copying.
// ---------------------------------------------------------------------------

TEST(ViewSharing, MoveCutAndDuplicateCopyNoBytes)
{
    std::string big(1 << 20, 'x');
    View src = make_view(big);
    const unsigned char *p = first_byte(src.get());

    View dup(ztview_duplicate_front(src.get(), nullptr, 1000));
    EXPECT_EQ(first_byte(dup.get()), p);
    View cut(ztview_cut(src.get(), nullptr, 500000));
    EXPECT_EQ(first_byte(cut.get()), p);
    EXPECT_EQ(first_byte(src.get()), p + 500000);
    View moved(ztview_move(nullptr, src.get(), 10));
    EXPECT_EQ(first_byte(moved.get()), p + 500000);
    EXPECT_EQ(ztview_get_len(src.get()), big.size() - 500010);
    EXPECT_EQ(ztview_segment_count(cut.get()), 1u);
    EXPECT_VALID(src.get());
    EXPECT_VALID(dup.get());
}

TEST(ViewSharing, AdjacentPiecesMergeBackIntoOneSegment)
{
    View src = make_view(std::string(100, 'a'));
    View dst(ztview_init());
    for (int i = 0; i < 10; ++i)
        ztview_move(dst.get(), src.get(), 10);
    EXPECT_EQ(ztview_segment_count(dst.get()), 1u);
    EXPECT_VALID(dst.get());
}

TEST(ViewSharing, IovecCopiesSharedSegmentsBeforeWriting)
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
    EXPECT_VALID(a.get());
    EXPECT_VALID(b.get());
}

TEST(ViewSharing, AppendToOneSharerNeverShowsInTheOther)
{
    View a = make_view("abc");
    View b(ztview_duplicate_front(a.get(), nullptr, 3));
    ztview_append(a.get(), "111", 3);  // may use the shared block's spare room
    ztview_append(b.get(), "222", 3);  // must not overwrite a's bytes
    EXPECT_EQ(str(a.get()), "abc111");
    EXPECT_EQ(str(b.get()), "abc222");
}

TEST(ViewSharing, ReservationInSharedBlockDoesNotLeakIntoSharer)
{
    View a = make_view("abc");
    View b(ztview_duplicate_front(a.get(), nullptr, 3));
    auto *p = static_cast<char *>(ztview_reserve(a.get(), 4));
    ASSERT_NE(p, nullptr);
    ztview_append(b.get(), "zz", 2);
    std::memcpy(p, "1234", 4);
    ASSERT_EQ(ztview_commit(a.get(), 4), 0);
    EXPECT_EQ(str(a.get()), "abc1234");
    EXPECT_EQ(str(b.get()), "abczz");
}

TEST(ViewSharing, CopyZeroViewNeverWritesCallerBytes)
{
    char bytes[] = "caller";
    View v(_ztview_from_buf(bytes, 6, 0, "host", __LINE__));
    EXPECT_EQ(first_byte(v.get()), reinterpret_cast<unsigned char *>(bytes));
    ztview_append(v.get(), "!", 1);
    int count = 0;
    struct iovec *iov = ztview_get_iovec(v.get(), 0, &count);
    static_cast<char *>(iov[0].iov_base)[0] = 'C';
    std::free(iov);
    EXPECT_STREQ(bytes, "caller");
    EXPECT_EQ(str(v.get()), "Caller!");
}

TEST(ViewSharing, ReserveCommitRules)
{
    View v(ztview_init());
    EXPECT_EQ(ztview_commit(v.get(), 0), -1) << "no reservation open";
    auto *p = static_cast<char *>(ztview_reserve(v.get(), 8));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abcdefgh", 8);
    EXPECT_EQ(ztview_commit(v.get(), 100000), -1) << "more than reserved";
    EXPECT_EQ(ztview_commit(v.get(), 5), 0);
    EXPECT_EQ(ztview_commit(v.get(), 1), -1) << "reservation already ended";
    EXPECT_EQ(str(v.get()), "abcde");
    p = static_cast<char *>(ztview_reserve(v.get(), 3));
    std::memcpy(p, "xyz", 3);
    ztview_commit(v.get(), 3);
    EXPECT_EQ(str(v.get()), "abcdexyz");
    EXPECT_EQ(ztview_segment_count(v.get()), 1u) << "second reservation continues the block";
    EXPECT_VALID(v.get());
}

// ---------------------------------------------------------------------------
// Reading and comparing across segment boundaries.
// ---------------------------------------------------------------------------

TEST(ViewRead, ScansCrossSegments)
{
    for (size_t piece : {1, 2, 3, 7, 100}) {
        View v = make_fragmented("  \t;name=value\r\n", piece);
        EXPECT_EQ(ztview_strspn(v.get(), " \t", 2), 3u);
        EXPECT_EQ(ztview_strcspn(v.get(), "=", 1), 8u);
        EXPECT_EQ(ztview_strcspn(v.get(), "\r\n", 2), 14u);
        EXPECT_EQ(ztview_strcspn(v.get(), "#", 1), 16u);
        EXPECT_EQ(ztview_find_byte(v.get(), '\n'), 15);
        EXPECT_EQ(ztview_find_byte(v.get(), '#'), -1);
        unsigned char c = 0;
        EXPECT_EQ(ztview_getnchar(v.get(), 9, &c), 0);
        EXPECT_EQ(c, 'v');
        EXPECT_NE(ztview_getnchar(v.get(), 16, &c), 0);
        EXPECT_EQ(ztview_strspn(v.get(), "\0 ", 2), 2u);
    }
}

TEST(ViewRead, Comparisons)
{
    View a = make_fragmented("Content-Type", 2);
    View b = make_view("Content-Type");
    View c = make_view("Content-Typf");
    View pre = make_view("Content");
    EXPECT_EQ(ztview_cmp(a.get(), b.get()), 0);
    EXPECT_LT(ztview_cmp(a.get(), c.get()), 0);
    EXPECT_GT(ztview_cmp(a.get(), pre.get()), 0);
    EXPECT_EQ(ztview_ncmp(a.get(), pre.get(), 7), 0);
    EXPECT_NE(ztview_ncmp(pre.get(), a.get(), 8), 0) << "a shorter view is unequal";
    EXPECT_EQ(ztview_cmp(nullptr, nullptr), 0);
    EXPECT_EQ(ztview_strncmp(a.get(), "Content-", 8), 0);
    EXPECT_NE(ztview_strncmp(pre.get(), "Content-", 8), 0);
    EXPECT_EQ(ztview_strcasecmp(a.get(), "content-TYPE"), 0);
    EXPECT_NE(ztview_strcasecmp(a.get(), "content-type:"), 0);
    EXPECT_NE(ztview_strcasecmp(a.get(), "content-typ"), 0);
    EXPECT_EQ(ztview_strcasencmp(a.get(), "CONTENT-typeXYZ", 12), 0);
    EXPECT_NE(ztview_strcasencmp(pre.get(), "content-type", 12), 0);
    EXPECT_EQ(ztview_strcasecmp(nullptr, ""), 0);
}

TEST(ViewRead, CopyDataOut)
{
    View v = make_fragmented("abcdef", 2);
    size_t n = 0;
    char *p = static_cast<char *>(ztview_copy_data_r(v.get(), nullptr, &n, 1));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 6u);
    EXPECT_STREQ(p, "abcdef");
    std::free(p);

    char small[4];
    n = sizeof small;
    EXPECT_EQ(ztview_copy_data_r(v.get(), small, &n, 1), small);
    EXPECT_EQ(n, 3u);
    EXPECT_STREQ(small, "abc") << "bounded by the buffer size, NUL included";

    View empty(ztview_init());
    p = static_cast<char *>(ztview_copy_data_r(empty.get(), nullptr, &n, 1));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(p, "");
    std::free(p);
}

TEST(ViewRead, EscapedScratchSlots)
{
    View v = make_view(std::string("a\\b\x01\xff\n", 6));
    EXPECT_STREQ(ztview_copy_data_escaped(v.get(), 1, 0), "a\\x5cb\\x01\\xff\\x0a");
    EXPECT_STREQ(ztview_copy_data_escaped(v.get(), 2, 1), "a\\b\x01\xff\n");
    EXPECT_STREQ(ztview_esc_get_buf(1), "a\\x5cb\\x01\\xff\\x0a") << "slots are independent";
    EXPECT_STREQ(ztview_copy_data_escaped(v.get(), 3, 0), "");
    EXPECT_STREQ(ztview_copy_data_escaped(nullptr, 1, 0), "");
    std::string big(10000, 'q');
    View b = make_view(big);
    EXPECT_EQ(std::string(ztview_copy_data_escaped(b.get(), 1, 1)), big);
}

TEST(ViewRead, NullViewsReadAsEmpty)
{
    EXPECT_EQ(ztview_get_len(nullptr), 0u);
    ztview_rewind(nullptr);
    EXPECT_EQ(ztview_peekchar(nullptr), -1);
    EXPECT_EQ(ztview_getchar(nullptr), -1);
    EXPECT_EQ(ztview_strspn(nullptr, "a", 1), 0u);
    EXPECT_EQ(ztview_skip_while(nullptr, "a"), 0u);
    EXPECT_EQ(ztview_seek(nullptr, 0, ZTVIEW_SEEK_FRONT), 0);
    EXPECT_EQ(ztview_append(nullptr, "a", 1), -1);
    EXPECT_EQ(ztview_concat(nullptr, nullptr), -1);
    View v(ztview_move(nullptr, nullptr, 5));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(ztview_get_len(v.get()), 0u);
    ztview_destroy(nullptr);
}

// ---------------------------------------------------------------------------
// Allocation failures leave every view as it was.
// ---------------------------------------------------------------------------

template <class Op> void walk_failures(const char *what, Op op)
{
    for (long nth = 1; nth < 20; ++nth) {
        View a = make_fragmented(std::string(70, 'a'), 7);
        View b = make_view("bbb");
        std::string before_a = str(a.get()), before_b = str(b.get());
        zt_alloc_fail_at(nth);
        bool ok = op(a.get(), b.get());
        long used = zt_alloc_fail_at(0);
        EXPECT_VALID(a.get());
        EXPECT_VALID(b.get());
        if (!ok) {
            EXPECT_EQ(str(a.get()), before_a) << what << " failing allocation " << nth;
            EXPECT_EQ(str(b.get()), before_b) << what << " failing allocation " << nth;
        }
        if (used < nth)
            break;  // the call made fewer allocations: every point was walked
    }
}

TEST(ViewFailures, EveryAllocationPointLeavesViewsUnchanged)
{
    walk_failures("append", [](ztview *a, ztview *) {
        std::string s(10000, 'z');
        return ztview_append(a, s.data(), s.size()) == 0;
    });
    walk_failures("concat", [](ztview *a, ztview *b) { return ztview_concat(b, a) == 0; });
    walk_failures("self concat", [](ztview *a, ztview *) { return ztview_concat(a, a) == 0; });
    walk_failures("move", [](ztview *a, ztview *b) { return ztview_move(b, a, 50) != nullptr; });
    walk_failures("self move", [](ztview *a, ztview *) { return ztview_move(a, a, 50) != nullptr; });
    walk_failures("cut", [](ztview *a, ztview *b) { return ztview_cut(a, b, 50) != nullptr; });
    walk_failures("duplicate", [](ztview *a, ztview *b) { return ztview_duplicate_front(a, b, 50) != nullptr; });
    walk_failures("new dst", [](ztview *a, ztview *) {
        ztview *d = ztview_cut(a, nullptr, 30);
        if (!d)
            return false;
        ztview_move(a, d, 30);  // put the bytes back
        ztview_destroy(d);
        return true;
    });
    walk_failures("iovec", [](ztview *a, ztview *b) {
        View keep(ztview_duplicate_front(a, nullptr, 70));
        int n = 0;
        struct iovec *iov = ztview_get_iovec(a, 0, &n);
        std::free(iov);
        (void)b;
        return iov != nullptr;
    });
    walk_failures("reserve", [](ztview *a, ztview *) {
        void *p = ztview_reserve(a, 9000);
        if (!p)
            return false;
        return ztview_commit(a, 0) == 0;
    });
}

TEST(ViewFailures, ConstructorsReturnNullWithEnomem)
{
    zt_alloc_fail_at(1);
    errno = 0;
    EXPECT_EQ(ztview_init(), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    zt_alloc_fail_at(2);
    EXPECT_EQ(ztview_from_buf("abc", 3), nullptr);
    zt_alloc_fail_at(1);
    EXPECT_EQ(ztiterator_create(nullptr), nullptr);
    zt_alloc_fail_at(0);
}

// ---------------------------------------------------------------------------
// LIFO, iterator and accounting.
// ---------------------------------------------------------------------------

TEST(ViewLifo, PushPopOrder)
{
    struct Item {
        ztds_lifo_link link;
        int v;
    } items[3] = {{{nullptr}, 1}, {{nullptr}, 2}, {{nullptr}, 3}};
    ztds_lifo lifo;
    ztds_lifo_init(&lifo);
    EXPECT_EQ(ztds_lifo_pop(&lifo), nullptr);
    for (Item &i : items)
        EXPECT_EQ(ztds_lifo_push(&lifo, &i), &i);
    EXPECT_EQ(reinterpret_cast<Item *>(lifo.top)->v, 3) << "first field is the top item";
    EXPECT_EQ(static_cast<Item *>(ztds_lifo_pop(&lifo))->v, 3);
    EXPECT_EQ(static_cast<Item *>(ztds_lifo_pop(&lifo))->v, 2);
    EXPECT_EQ(static_cast<Item *>(ztds_lifo_pop(&lifo))->v, 1);
    EXPECT_EQ(ztds_lifo_pop(&lifo), nullptr);
    EXPECT_EQ(ztds_lifo_push(&lifo, nullptr), nullptr);
}

TEST(ViewIterator, WalksSegmentsAndRestartsAtNewFront)
{
    View v = make_fragmented("abcdef", 2);
    ztiterator *it = ztiterator_create(v.get());
    ASSERT_NE(it, nullptr);
    std::string seen;
    unsigned char c;
    while (ztiterator_inc(it, &c) == 0)
        seen += static_cast<char>(c);
    EXPECT_EQ(seen, "abcdef");
    EXPECT_NE(ztiterator_inc(it, &c), 0) << "stays at the end";
    ztview_seek(v.get(), 3, ZTVIEW_SEEK_FRONT);
    ztiterator_reset(it, 0);
    ASSERT_EQ(ztiterator_inc(it, &c), 0);
    EXPECT_EQ(c, 'd');
    ztiterator_destroy(it);
}

TEST(ViewAccounting, CountsPerModule)
{
    long mime = ztview_live_count("mime"), all = ztview_live_count(nullptr);
    ztview *a = _ztview_init("mime", __LINE__);
    ztview *b = _ztview_cut(a, nullptr, 0, "mime", __LINE__);
    EXPECT_EQ(ztview_live_count("mime"), mime + 2);
    EXPECT_EQ(ztview_live_count(nullptr), all + 2);
    ztview_destroy(a);  // released by the host: still the mime module's view
    _ztview_destroy(b, "mime", __LINE__);
    EXPECT_EQ(ztview_live_count("mime"), mime);
    EXPECT_EQ(ztview_live_count("no-such-module"), 0);
}

} // namespace
