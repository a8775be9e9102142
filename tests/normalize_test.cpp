// Header unfolding and normalisation: folds, blanks between and around
// encoded words, ISO-8859-1 plain text, NUL bytes, and agreement with a
// plain rendering of the rules over random fields and random segmentation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

std::string unfold(std::string_view in)
{
    View v = make_view(in);
    View out(ztmime_unfold_header(v.get(), nullptr));
    EXPECT_TRUE(out);
    EXPECT_EQ(str(v.get()), in);
    return out ? str(out.get()) : "<null>";
}

std::string normalize(std::string_view in, size_t piece = 0)
{
    View v = piece ? make_fragmented(in, piece) : make_view(in);
    View out(ztview_init());
    EXPECT_EQ(ztmime_normalize_header(v.get(), out.get()), 0);
    EXPECT_EQ(str(v.get()), in) << "the source must stay unchanged";
    return str(out.get());
}

// The rules written out plainly, on strings, with ztmime_i18n_chunk for
// the words.
std::string reference_unfold(std::string w)
{
    std::string out;
    while (!w.empty()) {
        size_t k = w.find_first_of("\r\n");
        out += w.substr(0, k);
        if (k == std::string::npos)
            break;
        w.erase(0, k);
        size_t run = w.find_first_not_of("\r\n");
        if (run == std::string::npos)
            break;
        w.erase(0, run + 1);
        out += ' ';
    }
    return out;
}

std::string reference_normalize(const std::string &src)
{
    std::string w = reference_unfold(src), out, pending;
    bool prev_word = false;
    while (!w.empty()) {
        size_t j = std::min(w.find('='), w.size());
        if (j > 0) {
            out += pending;
            pending.clear();
            prev_word = false;
        }
        for (size_t i = 0; i < j && w[i]; ++i) {
            unsigned char c = w[i];
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        w.erase(0, j);
        View v = make_view(w);
        uint32_t used = 0;
        View word(ztmime_i18n_chunk(v.get(), &used));
        if (!word) {
            out += pending;
            pending.clear();
            if (!w.empty()) {
                out += w[0];
                w.erase(0, 1);
            }
            prev_word = false;
        } else {
            if (!prev_word)
                out += pending;
            pending.clear();
            out += str(word.get());
            w.erase(0, used);
            prev_word = true;
        }
        size_t k = std::min(w.find_first_not_of(" \t"), w.size());
        pending += w.substr(0, k);
        w.erase(0, k);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Unfolding
// ---------------------------------------------------------------------------

struct Case {
    const char *name;
    std::string in, out;
};

class UnfoldTest : public testing::TestWithParam<Case> {};
TEST_P(UnfoldTest, JoinsLines) { EXPECT_EQ(escaped(unfold(GetParam().in)), escaped(GetParam().out)); }

const Case unfold_cases[] = {
    {"space_fold", "Subject: a\r\n b\r\n", "Subject: a b"},
    {"tab_fold", "Subject: a\r\n\tb\r\n", "Subject: a b"},
    {"second_blank_stays", "Subject: a\r\n  b\r\n", "Subject: a  b"},
    {"lf_only", "Subject: a\n b\n", "Subject: a b"},
    {"no_breaks", "Subject: plain", "Subject: plain"},
    {"break_run_counts_once", "Subject: a\r\r\n\n\r b", "Subject: a b"},
    {"byte_after_break_is_lost", "Subject: a\r\nXb\r\n", "Subject: a b"},
    {"trailing_break_run", "X: y\r\n\r\n", "X: y"},
    {"only_breaks", "\r\n", ""},
    {"empty", "", ""},
};
INSTANTIATE_TEST_SUITE_P(Unfold, UnfoldTest, testing::ValuesIn(unfold_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Unfold, AppendsToAGivenDestination)
{
    View v = make_view("A: b\r\n c\r\n");
    View dst = make_view("old|");
    EXPECT_EQ(ztmime_unfold_header(v.get(), dst.get()), dst.get());
    EXPECT_EQ(str(dst.get()), "old|A: b c");
    EXPECT_EQ(ztmime_unfold_header(nullptr, dst.get()), nullptr);
    EXPECT_EQ(ztmime_unfold_header(nullptr, nullptr), nullptr);
}

TEST(Unfold, BreakSplitAcrossSegments)
{
    for (size_t piece : {1, 2, 3})
        EXPECT_EQ(str(View(ztmime_unfold_header(make_fragmented("A: b\r\n c\r\n\r\n d", piece).get(), nullptr)).get()),
                  "A: b c d");
}

// ---------------------------------------------------------------------------
// Normalisation
// ---------------------------------------------------------------------------

class NormalizeTest : public testing::TestWithParam<Case> {};
TEST_P(NormalizeTest, GivesUtf8Text)
{
    EXPECT_EQ(escaped(normalize(GetParam().in)), escaped(GetParam().out));
    EXPECT_EQ(escaped(normalize(GetParam().in, 1)), escaped(GetParam().out)) << "one-byte segments";
}

const std::string A = "=?utf-8?q?a?=", B = "=?utf-8?b?Yg==?=";
const Case normalize_cases[] = {
    {"words_joined_over_blank", "Subject: " + A + " " + B + "\r\n", "Subject: ab"},
    {"words_joined_over_fold", "Subject: " + A + "\r\n  \t" + B + "\r\n", "Subject: ab"},
    {"word_blank_plain", "Subject: " + A + " x\r\n", "Subject: a x"},
    {"plain_blank_word", "Subject: x " + A + "\r\n", "Subject: x a"},
    {"blanks_after_last_word_dropped", "Subject: " + A + "  \r\n", "Subject: a"},
    {"blanks_after_plain_stay", "Subject: x  \r\n", "Subject: x  "},
    {"lone_equals_keeps_blanks", "Subject: a = b\r\n", "Subject: a = b"},
    {"lone_equals_at_end_drops_blanks", "Subject: a =  ", "Subject: a ="},
    {"word_inside_a_word", "Subject: x" + A + "y", "Subject: xay"},
    {"equals_then_word", "X: =" + A, "X: =a"},
    {"word_equals_word", "X: " + A + " = " + B, "X: a = b"},
    {"undecodable_word_is_text", "X: =?utf-8?q?a=ZZ?= y", "X: =?utf-8?q?a=ZZ?= y"},
    {"unknown_encoding_is_text", "X: =?utf-8?x?abc?= " + A, "X: =?utf-8?x?abc?= a"},
    {"latin1_plain", "X: caf\xe9\r\n", "X: caf\xc3\xa9"},
    {"latin1_around_word", "X: \xe9 " + A + " \xff", "X: \xc3\xa9 a \xc3\xbf"},
    {"nul_ends_plain_segment", std::string("X: ab\0cd =e", 11), "X: ab=e"},
    {"nul_in_second_segment", std::string("X: a=b\0c", 8), "X: a=b"},
    {"word_in_other_charset", "X: =?KOI8-R?B?8NLJ18XU?=", "X: \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
    {"equals_everywhere", "X: ===?=?==", "X: ===?=?=="},
    {"plain_ascii", "Received: from x by y\r\n\tid 1\r\n", "Received: from x by y id 1"},
    {"empty", "", ""},
};
INSTANTIATE_TEST_SUITE_P(Normalize, NormalizeTest, testing::ValuesIn(normalize_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Normalize, DestinationIsReplacedAndNullsHandled)
{
    View dst = make_view("old content");
    View src = make_view("A: b");
    EXPECT_EQ(ztmime_normalize_header(src.get(), dst.get()), 0);
    EXPECT_EQ(str(dst.get()), "A: b");
    EXPECT_EQ(ztmime_normalize_header(nullptr, dst.get()), 0);
    EXPECT_EQ(str(dst.get()), "");
    EXPECT_EQ(ztmime_normalize_header(src.get(), nullptr), -1);
}

TEST(Normalize, AgreesWithThePlainRulesOnRandomFields)
{
    const std::vector<std::string> pieces = {
        "=?utf-8?q?a?=", "=?ISO-8859-1?Q?=E9?=", "=?koi8-r?b?8A==?=", "=?x-none?q?z?=", "=?bad", "=", "==",
        " ", "\t", "  ", "\r\n ", "\r\n\t", "\n", "x", "word", "\xe9", "\xff", std::string(1, '\0'),
        "?", "?=", "=?utf-8?q?", "=?utf-8?Q?caf=C3=A9?=", "=?utf-8?q?a=ZZ?=", "=?utf-8?b?!!?="};
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string field = "Subject: ";
        for (int k = rng() % 12; k > 0; --k)
            field += pieces[rng() % pieces.size()];
        if (rng() % 2)
            field += "\r\n";
        std::string expect = reference_normalize(field);
        ASSERT_EQ(escaped(normalize(field)), escaped(expect)) << escaped(field);
        ASSERT_EQ(escaped(normalize(field, 1 + rng() % 5)), escaped(expect)) << escaped(field);
    }
}

TEST(Normalize, OutOfMemoryAtEveryPoint)
{
    // A failing allocation inside a decoder makes its word plain text (the
    // decoder's null means "not decodable"); anything else fails the call
    // with an empty destination.  Never a leak or a half-written result.
    View src = make_view("Subject: \xe9t\xe9 =?utf-8?q?caf=C3=A9?= =?KOI8-R?B?8NLJ18XU?= " + std::string(1200, 'x'));
    View dst(ztview_init());
    zt_alloc_fail_at(0);
    ASSERT_EQ(ztmime_normalize_header(src.get(), dst.get()), 0);
    long n = zt_alloc_fail_at(0);
    std::string good = str(dst.get());
    for (long k = 1; k <= n; ++k) {
        zt_alloc_fail_at(k);
        int r = ztmime_normalize_header(src.get(), dst.get());
        zt_alloc_fail_at(0);
        std::string got = str(dst.get());
        if (r == 0) {
            EXPECT_EQ(got.substr(0, 15), good.substr(0, 15)) << k;
            EXPECT_EQ(got.substr(got.size() - 1200), std::string(1200, 'x')) << k;
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(got.size(), 0u);
        }
    }
}

TEST(Normalize, HugeFieldOfEqualsAndWordsIsLinear)
{
    // 200k "=?" candidates and words: quadratic rescanning would not finish.
    std::string field = "X: ";
    for (int i = 0; i < 50000; ++i)
        field += "=?=?a?= =?utf-8?q?b?= ";
    std::string out = normalize(field);
    EXPECT_EQ(out.size() > 50000u, true);
}

} // namespace
