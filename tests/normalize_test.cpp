// Header unfolding and normalisation: folds, blanks between and around
// encoded words, ISO-8859-1 plain text, NUL bytes, and agreement with a
// plain rendering of the rules over random fields and random segmentation.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "zt_test.h"

using namespace zt_test;

namespace {

// Unfolds or normalises `in`, whole or cut into `piece`-byte segments.
std::string run(bool norm, const std::string &in, size_t piece = 0)
{
    View v = piece ? make_fragmented(in, piece) : make_view(in),
         out(norm ? ztview_init() : ztmime_unfold_header(v.get(), nullptr));
    EXPECT_TRUE(out && (!norm || ztmime_normalize_header(v.get(), out.get()) == 0));
    EXPECT_EQ(str(v.get()), in) << "the source must stay unchanged";
    return str(out.get());
}

// The rules written out plainly, on strings, with ztmime_i18n_chunk for
// the words.
std::string reference_unfold(const std::string &w)
{
    static const std::regex fold("[\\r\\n]+(?=[^\\r\\n])[\\s\\S]"), tail("[\\r\\n]+$");
    return std::regex_replace(std::regex_replace(w, fold, " "), tail, "");
}

std::string reference_normalize(const std::string &src)
{
    std::string w = reference_unfold(src), out, pending;
    bool prev_word = false;
    while (!w.empty()) {
        size_t j = std::min(w.find('='), w.size());
        if (j > 0)
            out += std::exchange(pending, ""), prev_word = false;
        for (unsigned char c : w.substr(0, std::min(j, w.find('\0'))))
            out += c < 0x80 ? std::string(1, c) : std::string{char(0xC0 | c >> 6), char(0x80 | (c & 0x3F))};
        w.erase(0, j);
        uint32_t used = 0;
        View v = make_view(w), word(ztmime_i18n_chunk(v.get(), &used));
        out += (!word || !prev_word ? pending : "") + (word ? str(word.get()) : w.substr(0, 1));
        w.erase(0, word ? used : std::min<size_t>(1, w.size()));
        prev_word = word != nullptr;
        pending = w.substr(0, std::min(w.find_first_not_of(" \t"), w.size()));
        w.erase(0, pending.size());
    }
    return out;
}

TEST(Normalize, UnfoldsAndGivesUtf8Text)
{
    const std::string A = "=?utf-8?q?a?=", B = "=?utf-8?b?Yg==?=";
    const std::vector<std::pair<std::string, std::string>> unfolded = {
        {"S: a\n\t b\n", "S: a  b"}, {"S: a\r\r\n\n\r b", "S: a b"}, {"S: a\r\nXb\r\n", "S: a b"}, {"\r\n", ""}};
    const std::vector<std::pair<std::string, std::string>> normalized = {
        {"S: " + A + " " + B + "\r\n", "S: ab"},  {"S: " + A + "\r\n  \t" + B, "S: ab"},
        {"S: x " + A + " x\r\n", "S: x a x"},     {"S: " + A + "  \r\n", "S: a"},
        {"S: x  \r\n", "S: x  "},                {"S: a = b =  ", "S: a = b ="},
        {"S: x" + A + "y=" + A, "S: xay=a"},      {"S: =?utf-8?q?a=ZZ?= " + A, "S: =?utf-8?q?a=ZZ?= a"},
        {"S: caf\xe9 \xff", "S: caf\xc3\xa9 \xc3\xbf"}, {std::string("S: ab\0cd =e", 11), "S: ab=e"},
        {"S: =?KOI8-R?B?8NLJ18XU?=", "S: \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"}};
    for (bool norm : {false, true})
        for (const auto &[in, want] : norm ? normalized : unfolded)
            EXPECT_EQ(escaped(run(norm, in)), escaped(want)) << escaped(in);
    View v = make_view("A: b\r\n c\r\n"), dst = make_view("old|");
    EXPECT_EQ(ztmime_unfold_header(v.get(), dst.get()), dst.get());  // appends
    EXPECT_EQ(str(dst.get()), "old|A: b c");
    EXPECT_EQ(ztmime_normalize_header(nullptr, dst.get()), 0);  // replaces
    EXPECT_EQ(str(dst.get()), "");
}

TEST(Normalize, AgreesWithThePlainRulesOnRandomFieldsAndSegments)
{
    const std::vector<std::string> pieces = {
        "=?utf-8?q?a?=", "=?ISO-8859-1?Q?=E9?=", "=?koi8-r?b?8A==?=", "=?x-none?q?z?=", "=?bad", "=", "==", " ", "\t",
        "  ", "\r\n ", "\r\n\t", "\n", "\r\n", "x", "word", "\xe9", "\xff", std::string(1, '\0'), "?", "?=", "=?utf-8?q?",
        "=?utf-8?Q?caf=C3=A9?=", "=?utf-8?q?a=ZZ?=", "=?utf-8?b?!!?="};
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string field = "Subject: ";
        for (int k = rng() % 12; k > 0; --k)
            field += pieces[rng() % pieces.size()];
        ASSERT_EQ(escaped(run(false, field, 1 + rng() % 5)), escaped(reference_unfold(field)));
        ASSERT_EQ(escaped(run(true, field, rng() % 5)), escaped(reference_normalize(field))) << escaped(field);
    }
}

// One "=", NUL or 8-bit byte at every place of a one-segment field, before
// and after a fold: the vector scan sees it in a pair of blocks, a single
// block, the last (overlapping) load, or past the line break.
TEST(Normalize, FindsEachOddByteWhereverItLies)
{
    for (const std::string &odd : {std::string("="), std::string(1, '\0'), std::string("\xe9")})
        for (size_t len : {1, 14, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 95})
            for (size_t at = 0; at <= len; ++at)
                for (const char *tail : {"\r\n", "\r\n y\r\n"}) {
                    std::string field = "S: " + std::string(len, 'x');
                    field.insert(3 + at, odd);
                    field += tail;
                    ASSERT_EQ(escaped(run(true, field)), escaped(reference_normalize(field))) << escaped(field);
                    std::string folded = "S: x\r\n " + field.substr(3);
                    ASSERT_EQ(escaped(run(true, folded)), escaped(reference_normalize(folded))) << escaped(folded);
                }
}

TEST(Normalize, HugeFieldOfEqualsAndWordsIsLinear)
{
    // 200k "=?" candidates and words: quadratic rescanning would not finish.
    std::string field = "X: ";
    for (int i = 0; i < 50000; ++i)
        field += "=?=?a?= =?utf-8?q?b?= ";
    EXPECT_GT(run(true, field).size(), 50000u);
}

} // namespace
