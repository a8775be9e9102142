// Encoded words: recognition, Q and B decoding, conversion to UTF-8 from
// several charsets, the alias retry, "?" for bytes that do not convert,
// and whole-text decoding with ztmime_i18n.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/alloc.h"
#include "encode/charset.h"
#include "i18n_support.h"
#include "zt_test.h"

using namespace zt_test;
using namespace zt_i18n_test;

namespace {

struct ChunkResult {
    bool decoded;
    std::string text;
    uint32_t consumed;
};

ChunkResult chunk(std::string_view in, uint32_t preset = 12345)
{
    View v = make_view(in);
    uint32_t consumed = preset;
    View out(ztmime_i18n_chunk(v.get(), &consumed));
    EXPECT_EQ(str(v.get()), in) << "the source must stay unchanged";
    return {out != nullptr, out ? str(out.get()) : "", consumed};
}

std::string i18n(std::string_view in)
{
    View v = make_view(in);
    View out(ztmime_i18n(v.get()));
    EXPECT_TRUE(out);
    return out ? str(out.get()) : "<null>";
}

// ---------------------------------------------------------------------------
// One word at the front of a view
// ---------------------------------------------------------------------------

struct WordCase {
    const char *name;
    std::string in;
    bool decoded;
    std::string text;
    uint32_t consumed;  // 12345: left untouched
};

class WordTest : public testing::TestWithParam<WordCase> {};

TEST_P(WordTest, DecodesAndCounts)
{
    const WordCase &c = GetParam();
    ChunkResult r = chunk(c.in);
    EXPECT_EQ(r.decoded, c.decoded);
    EXPECT_EQ(escaped(r.text), escaped(c.text));
    EXPECT_EQ(r.consumed, c.consumed);
}

const WordCase word_cases[] = {
    {"utf8_q", "=?UTF-8?Q?caf=C3=A9?=", true, "caf\xc3\xa9", 21},
    {"utf8_b", "=?utf-8?b?Y2Fmw6k=?=", true, "caf\xc3\xa9", 20},
    {"underscore_before_qp", "=?iso-8859-1?q?a_b=5F?=", true, "a b_", 23},
    {"latin1_high", "=?ISO-8859-1?Q?=E9t=E9?=", true, "\xc3\xa9t\xc3\xa9", 24},
    {"trailing_text_ignored", "=?utf-8?q?a?=, b", true, "a", 13},
    {"question_runs_separate", "=?utf-8??q?abc?=", true, "abc", 16},
    {"question_run_before_close", "=?utf-8?q?abc?" "?=", true, "abc", 16},
    {"empty_text", "=?utf-8?q?" "?=", false, "", 12345},
    {"empty_charset", "=??q?abc?=", false, "", 12345},
    {"no_close", "=?utf-8?q?abc?", false, "", 12345},
    {"close_not_equals", "=?utf-8?q?abc?x", false, "", 12345},
    {"no_fields", "=?utf-8", false, "", 12345},
    {"not_a_word", "x=?utf-8?q?a?=", false, "", 12345},
    {"single_equals", "=", false, "", 12345},
    {"empty", "", false, "", 12345},
    {"encoding_unknown_counts", "=?utf-8?x?abc?=", false, "", 15},
    {"encoding_two_letters_counts", "=?utf-8?QQ?abc?=", false, "", 16},
    {"bad_qp_escape", "=?utf-8?q?a=ZZ?=", false, "", 16},
    {"unknown_charset_raw", "=?x-no-such-charset?q?=E9?=", true, "\xe9", 27},
    {"language_suffix_raw", "=?utf-8*en?q?=E9?=", true, "\xe9", 18},
    {"invalid_utf8_byte", "=?utf-8?q?a=FFb?=", true, "a?b", 17},
    {"truncated_utf8", "=?utf-8?q?a=E2=82?=", true, "a??", 19},
    {"surrogate_utf8", "=?utf-8?q?=ED=A0=80z?=", true, "???z", 22},
    {"nul_ends_text", "=?utf-8?q?a=00b?=", true, "a", 17},
    {"nul_ends_unknown_charset_not", "=?x-none?q?a=00b?=", true, std::string("a\0b", 3), 18},
    {"ascii_high_byte", "=?us-ascii?q?a=E9b?=", true, "a?b", 20},
    {"windows_1252_euro", "=?windows-1252?q?=80=E9?=", true, "\xe2\x82\xac\xc3\xa9", 25},
    {"iso_8859_2", "=?ISO-8859-2?Q?=B1?=", true, "\xc4\x85", 20},
    {"iso_8859_15_euro", "=?iso-8859-15?q?=A4?=", true, "\xe2\x82\xac", 21},
    {"koi8_r", "=?KOI8-R?B?8NLJ18XU?=", true, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", 21},
    {"shift_jis", "=?Shift_JIS?B?k/qWe4zq?=", true, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 24},
    {"shift_jis_truncated", "=?Shift_JIS?Q?a=93?=", true, "a?", 20},
    {"gb2312", "=?GB2312?B?1tDOxA==?=", true, "\xe4\xb8\xad\xe6\x96\x87", 21},
    {"gb2312_invalid_lead", "=?gb2312?q?=FFa?=", true, "?a", 17},
    {"iso_2022_jp", "=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=", true, "\xe6\x97\xa5\xe6\x9c\xac", 34},
};

INSTANTIATE_TEST_SUITE_P(EncodedWord, WordTest, testing::ValuesIn(word_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Whatever shortcut the decoder takes, a word decodes to exactly what the
// one-shot decoders give (an unknown charset returns the bytes as decoded).
TEST(EncodedWord, DecodesLikeTheOneShotDecoders)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=_ .?\t-";
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        bool q = rng() % 2;
        std::string text;
        for (int k = 1 + rng() % 12; k > 0; --k) {
            unsigned r = rng() % 10;
            if (q && r == 0) {
                text += "=" + std::string(1, "0123456789ABCDEFabx"[rng() % 19]) + "0123456789ABCDEF"[rng() % 16];
            } else if (!q && r < 2) {
                text += b64(std::string(1 + rng() % 3, static_cast<char>(rng())));
            } else {
                text += alphabet[rng() % alphabet.size()];
            }
        }
        if (text.find('?') != std::string::npos || text.empty())
            continue;
        std::string fed = text;
        if (q)
            for (char &c : fed)
                c = c == '_' ? ' ' : c;
        View in = make_view(fed);
        View ref(q ? ztmime_qp_decode(in.get()) : ztmime_b64_decode(in.get()));
        ChunkResult r = chunk("=?x-none?" + std::string(q ? "q" : "b") + "?" + text + "?=");
        ASSERT_EQ(r.decoded, ref != nullptr) << escaped(text);
        if (ref) {
            ASSERT_EQ(escaped(r.text), escaped(str(ref.get()))) << escaped(text);
        }
    }
}

TEST(EncodedWord, NullSourceAndNullCount)
{
    uint32_t consumed = 7;
    EXPECT_EQ(ztmime_i18n_chunk(nullptr, &consumed), nullptr);
    EXPECT_EQ(consumed, 7u);
    View v = make_view("=?utf-8?q?ok?=");
    View out(ztmime_i18n_chunk(v.get(), nullptr));
    ASSERT_TRUE(out);
    EXPECT_EQ(str(out.get()), "ok");
}

TEST(EncodedWord, WordSpreadOverOneByteSegments)
{
    const std::string w = "=?utf-8?q?caf=C3=A9?= tail";
    View v = make_fragmented(w, 1);
    uint32_t consumed = 0;
    View out(ztmime_i18n_chunk(v.get(), &consumed));
    ASSERT_TRUE(out);
    EXPECT_EQ(str(out.get()), "caf\xc3\xa9");
    EXPECT_EQ(consumed, 21u);
    EXPECT_EQ(str(v.get()), w);
}

TEST(EncodedWord, LongWordPastAnyPrefix)
{
    // A word of several kilobytes, followed by more text.
    std::string text(5000, 'x');
    std::string w = word("utf-8", 'B', text);
    ChunkResult r = chunk(w + " and more");
    EXPECT_TRUE(r.decoded);
    EXPECT_EQ(r.text, text);
    EXPECT_EQ(r.consumed, w.size());
    // A candidate that never closes, long enough to need the whole view.
    std::string open = "=?utf-8?q?" + std::string(3000, 'a');
    EXPECT_FALSE(chunk(open).decoded);
}

// ---------------------------------------------------------------------------
// Alias retry
// ---------------------------------------------------------------------------

// Installs extra alias entries for one test and restores the table after.
class AliasTest : public testing::Test {
  protected:
    void SetUp() override
    {
        for (n_ = 0; aliases[n_].name; ++n_) {
        }
    }
    void add(const char *name, const char *target)
    {
        aliases[n_ + added_] = {name, target};
        ++added_;
        aliases[n_ + added_] = {nullptr, nullptr};
    }
    void TearDown() override { aliases[n_] = {nullptr, nullptr}; }
    size_t n_ = 0, added_ = 0;
};

TEST_F(AliasTest, ShippedTableNamesCp949)
{
    EXPECT_STREQ(aliases[0].name, "KS_C_5601-1987");
    EXPECT_STREQ(aliases[0].target, "CP949");
    EXPECT_STREQ(aliases[1].name, "ksc5601");
    EXPECT_STREQ(aliases[1].target, "CP949");
    EXPECT_EQ(n_, 2u);
    // The converter refuses the declared names themselves, so no alias is
    // tried and the decoded bytes come back unconverted.
    EXPECT_EQ(chunk("=?ks_c_5601-1987?q?=B0=A1?=").text, "\xb0\xa1");
}

TEST_F(AliasTest, FailedConversionRetriesFromTheStart)
{
    // ASCII fails at the first 8-bit byte; the alias converts everything.
    add("US-ASCII", "ISO-8859-1");
    EXPECT_EQ(chunk("=?us-ascii?q?ab=E9c?=").text, "ab\xc3\xa9" "c");
}

TEST_F(AliasTest, RetryRunsOnceThenQuestionMarks)
{
    // The alias fails too (at the same byte): from there on every failing
    // byte is a "?" under the declared charset.
    add("us-ascii", "ANSI_X3.4-1968");
    EXPECT_EQ(chunk("=?US-ASCII?q?a=E9b=FF?=").text, "a?b?");
}

TEST_F(AliasTest, AliasTargetThatDoesNotOpen)
{
    // The positions are reset for the alias, which cannot be opened: the
    // "?" lands at the start and the first byte is dropped.
    add("us-ascii", "x-no-such-charset");
    EXPECT_EQ(chunk("=?us-ascii?q?ab=E9?=").text, "?b?");
}

TEST_F(AliasTest, StaleBytesOfAFailedAttemptStayInTheBuffer)
{
    // The declared converter gets further than the alias, whose output
    // overwrites only the front; the text ends at the first zero byte, so
    // the rest of the first attempt stays visible.  Must match the rules.
    add("utf-8", "us-ascii");
    std::string in = "\xc3\xa9\xc3\xa9\xc3\xa9\xff";
    bool opened;
    std::string expect = reference_convert("utf-8", in, &opened);
    EXPECT_EQ(escaped(chunk(word("utf-8", 'B', in)).text), escaped(expect));
}

// ---------------------------------------------------------------------------
// The converter cache and shortcuts give exactly what a fresh converter gives
// ---------------------------------------------------------------------------

TEST(Conversion, MatchesAFreshConverterForRandomBytes)
{
    const char *charsets[] = {"UTF-8",     "utf8",      "US-ASCII", "ISO-8859-1", "latin1", "windows-1252",
                              "Shift_JIS", "GB2312",    "KOI8-R",   "ISO-2022-JP", "UTF-16", "ISO-8859-5",
                              "EUC-JP",    "Big5",      "x-nope",   "CP949"};
    std::mt19937 rng(42);
    for (int round = 0; round < 3000; ++round) {
        const char *cs = charsets[rng() % (sizeof charsets / sizeof *charsets)];
        std::string in(rng() % 24, '\0');
        for (char &c : in) {
            unsigned r = rng() % 8;
            // Mostly text, with 8-bit runs, some valid UTF-8 and a rare NUL.
            c = static_cast<char>(r < 4 ? 'a' + rng() % 26 : r < 7 ? 0x80 + rng() % 128 : (rng() % 16 ? 0xc3 : 0));
        }
        bool opened;
        std::string expect = reference_convert(cs, in, &opened);
        std::string out(5 * in.size() + 1, '\0');
        size_t len = 0;
        int r = zt_charset::convert_word(cs, reinterpret_cast<const unsigned char *>(in.data()), in.size(),
                                         reinterpret_cast<unsigned char *>(out.data()), 5 * in.size(), &len);
        ASSERT_EQ(r, opened ? 1 : 0) << cs;
        if (opened) {
            ASSERT_EQ(escaped(out.substr(0, len)), escaped(expect)) << cs << " " << escaped(in);
        }
    }
}

TEST(Conversion, ValidUtf8ShortcutAgreesOnEdgeSequences)
{
    const std::string cases[] = {
        "\xef\xbb\xbf" "bom",      "\xef\xbf\xbe",     "\xf4\x8f\xbf\xbf", "\xf4\x90\x80\x80",
        "\xe0\x9f\xbf",            "\xc0\xaf",         "\xc1\xbf",         "\xed\x9f\xbf",
        "\xee\x80\x80",            "\xf0\x8f\xbf\xbf", "\xf5\x80\x80\x80", "\x80",
        "\xe2\x82",                "\xf0\x9f\x98\x80", std::string("a\0b", 3),
    };
    for (const std::string &in : cases) {
        bool opened;
        std::string expect = reference_convert("UTF-8", in, &opened);
        EXPECT_EQ(escaped(chunk(word("UTF-8", 'Q', in)).text), escaped(expect)) << escaped(in);
    }
}

TEST(Conversion, CacheSurvivesManyCharsetsAndClearing)
{
    // More charsets than cache slots, alternating, then a clear between.
    const char *cs[] = {"KOI8-R", "ISO-8859-2", "ISO-8859-5", "CP1251", "CP1250", "EUC-KR",
                        "Big5",   "EUC-JP",     "GBK",        "UTF-16LE", "ISO-8859-7", "CP866"};
    for (int pass = 0; pass < 3; ++pass) {
        for (const char *c : cs) {
            bool opened;
            std::string in = "A\xc1\xe2";
            std::string expect = reference_convert(c, in, &opened);
            EXPECT_EQ(escaped(chunk(word(c, 'B', in)).text), escaped(expect)) << c;
        }
        zt_charset::cache_clear();
    }
}

// ---------------------------------------------------------------------------
// Real texts in other charsets, as one long B and Q word each
// ---------------------------------------------------------------------------

TEST(Conversion, CorpusTextsConvertToTheirUtf8Versions)
{
    const std::string dir = std::string(ZT_CORPUS_DIR) + "/gmime/data/filters/";
    bool ok;
    std::string utf8_cyr = read_file(dir + "cyrillic.utf-8.txt", &ok);
    if (!ok)
        GTEST_SKIP() << "corpus absent";
    struct {
        const char *file, *charset;
        std::string *expect;
    } texts[] = {{"cyrillic.koi8-r.txt", "KOI8-R", &utf8_cyr},
                 {"cyrillic.cp1251.txt", "windows-1251", &utf8_cyr},
                 {"cyrillic.iso-8859-5.txt", "ISO-8859-5", &utf8_cyr}};
    for (auto &t : texts) {
        std::string in = read_file(dir + t.file, &ok);
        ASSERT_TRUE(ok) << t.file;
        for (char enc : {'B', 'Q'}) {
            ChunkResult r = chunk(word(t.charset, enc, in));
            ASSERT_TRUE(r.decoded) << t.file;
            EXPECT_EQ(r.text, *t.expect) << t.file << " " << enc;
        }
    }
    std::string sjis = read_file(dir + "japanese.shift-jis.txt", &ok);
    std::string jp = read_file(dir + "japanese.utf-8.txt");
    if (ok) {
        EXPECT_EQ(chunk(word("Shift_JIS", 'B', sjis)).text, jp);
        // Cut in the middle of a two-byte character: one "?" for the lead.
        std::string cut = sjis.substr(0, 1);
        if (static_cast<unsigned char>(cut[0]) >= 0x81) {
            EXPECT_EQ(chunk(word("Shift_JIS", 'B', cut)).text, "?");
        }
    }
    std::string fable = read_file(dir + "french-fable.cp1252.txt", &ok);
    if (ok) {
        bool opened;
        EXPECT_EQ(chunk(word("windows-1252", 'B', fable)).text, reference_convert("windows-1252", fable, &opened));
    }
}

// ---------------------------------------------------------------------------
// Whole text
// ---------------------------------------------------------------------------

TEST(WholeText, WhitespaceRules)
{
    const std::string a = "=?utf-8?q?a?=", b = "=?utf-8?q?b?=";
    EXPECT_EQ(i18n(a + " " + b), "ab");
    EXPECT_EQ(i18n(a + "\r\n\t" + b), "ab");
    EXPECT_EQ(i18n("x " + a + " y"), "x a y");
    EXPECT_EQ(i18n("  " + a), "a");
    EXPECT_EQ(i18n("  x"), "  x");
    EXPECT_EQ(i18n(a + ", b"), "a b");
    EXPECT_EQ(i18n("=?bad"), "=?bad");
    EXPECT_EQ(i18n(a + " \t"), "a \t");
    EXPECT_EQ(i18n("x\r\n y  "), "x\r\n y  ");
    EXPECT_EQ(i18n(""), "");
    // Plain 8-bit text is copied, not converted.
    EXPECT_EQ(i18n("caf\xe9 " + a), "caf\xe9 a");
    EXPECT_EQ(ztmime_i18n(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Out of memory
// ---------------------------------------------------------------------------

TEST(OutOfMemory, EveryFailurePointIsCleanForChunkAndText)
{
    const std::string in = "x =?KOI8-R?B?8NLJ18XU?= =?utf-8?q?caf=C3=A9?= " + word("utf-8", 'Q', std::string(1500, 'z'));
    View v = make_view(in);
    zt_alloc_fail_at(0);
    View whole(ztmime_i18n(v.get()));
    long n = zt_alloc_fail_at(0);
    ASSERT_TRUE(whole);
    ASSERT_GT(n, 0);
    for (long k = 1; k <= n; ++k) {
        zt_alloc_fail_at(k);
        View out(ztmime_i18n(v.get()));
        zt_alloc_fail_at(0);
        if (out) {
            EXPECT_EQ(str(out.get()).substr(0, 2), "x ");
        }
        EXPECT_EQ(str(v.get()), in);
    }
    View w = make_view(word("utf-8", 'Q', std::string(1500, 'z')));
    zt_alloc_fail_at(0);
    View ok(ztmime_i18n_chunk(w.get(), nullptr));
    n = zt_alloc_fail_at(0);
    for (long k = 1; k <= n; ++k) {
        zt_alloc_fail_at(k);
        View out(ztmime_i18n_chunk(w.get(), nullptr));
        zt_alloc_fail_at(0);
        if (out) {
            EXPECT_EQ(str(out.get()), std::string(1500, 'z'));
        }
    }
}

} // namespace
