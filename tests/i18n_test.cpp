// Encoded words: recognition, Q and B decoding, conversion to UTF-8 from
// several charsets, the alias retry, "?" for bytes that do not convert,
// and whole-text decoding with ztmime_i18n.
#include <gtest/gtest.h>

#include <iconv.h>
#include <strings.h>

#include <optional>
#include <random>
#include <string>
#include <tuple>

#include "common/alloc.h"
#include "charset/charset.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

std::string b64(const std::string &in)
{
    View v = make_view(in), out(ztmime_b64_encode(v.get()));
    std::string s = str(out.get());
    std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
    return s;
}

std::string word(const std::string &cs, const std::string &bytes) { return "=?" + cs + "?B?" + b64(bytes) + "?="; }

// Decoded or not, the text, the count (12345: left untouched).
using Chunk = std::tuple<bool, std::string, uint32_t>;

Chunk chunk(const std::string &in, size_t piece = 0)
{
    View v = piece ? make_fragmented(in, piece) : make_view(in);
    uint32_t consumed = 12345;
    View out(ztmime_i18n_chunk(v.get(), &consumed));
    EXPECT_EQ(str(v.get()), in) << "the source must stay unchanged";
    return {out != nullptr, out ? str(out.get()) : "", consumed};
}

std::string text(const std::string &word) { return std::get<1>(chunk(word)); }

// The conversion of one decoded word as the rules state it, with a fresh
// converter and no shortcut: one pass, one alias retry, "?" for each byte
// that still fails, the text up to the first NUL.  Null when the charset
// does not open.
std::optional<std::string> reference_convert(const char *charset, const std::string &in)
{
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == (iconv_t)-1)
        return std::nullopt;
    std::string out(5 * in.size() + 1, '\0');
    char *ip, *op;
    size_t il, ol;
    auto rewind = [&] { ip = const_cast<char *>(in.data()), il = in.size(), op = out.data(), ol = 5 * in.size(); };
    rewind();
    for (bool retry = true; il > 0; --ol, ++ip, --il) {
        if (iconv(cd, &ip, &il, &op, &ol) != (size_t)-1)
            break;
        bool done = false;
        for (const ztmime_alias *a = aliases; retry && a->name && !done; ++a) {
            iconv_t alt = strcasecmp(a->name, charset) ? (iconv_t)-1 : (rewind(), iconv_open("UTF-8", a->target));
            if (alt != (iconv_t)-1) {
                done = iconv(alt, &ip, &il, &op, &ol) != (size_t)-1;
                iconv_close(alt);
            }
        }
        retry = false;
        if (done || ol == 0)
            break;
        *op++ = '?';
    }
    iconv_close(cd);
    return std::string(out.c_str());
}

TEST(EncodedWord, DecodesAndCountsOnWholeAndOneByteSegments)
{
    const uint32_t kUntouched = 12345;
    const std::pair<std::string, Chunk> rows[] = {
        {"=?UTF-8?Q?caf=C3=A9?=", {true, "caf\xc3\xa9", 21}},
        {"=?utf-8?b?Y2Fmw6k=?=", {true, "caf\xc3\xa9", 20}},
        {"=?iso-8859-1?q?a_b=5F?=", {true, "a b_", 23}},
        {"=?ISO-8859-1?Q?=E9t=e9?=", {true, "\xc3\xa9t\xc3\xa9", 24}},
        {"=?utf-8?q?a?=, b", {true, "a", 13}},
        {"=?utf-8??q?abc?=", {true, "abc", 16}},
        {"=?utf-8?b?" "?=", {false, "", kUntouched}},
        {"=??q?abc?=", {false, "", kUntouched}},
        {"", {false, "", kUntouched}},
        {"=?utf-8?QQ?abc?=", {false, "", 16}},
        {"=?utf-8?q?a=ZZ?=", {false, "", 16}},
        {"=?utf-8*en?q?=E9?=", {true, "\xe9", 18}},
        {"=?x-none?q?a=00b?=", {true, std::string("a\0b", 3), 18}},
        {"=?utf-8?q?=\r\n?=", {true, "", 15}},
        {"=?utf-8?q?a=FFb?=", {true, "a?b", 17}},
        {"=?windows-1252?q?=80=E9?=", {true, "\xe2\x82\xac\xc3\xa9", 25}},
        {"=?ISO-8859-2?Q?=B1?=", {true, "\xc4\x85", 20}},
        {"=?iso-8859-15?q?=A4?=", {true, "\xe2\x82\xac", 21}},
        {"=?KOI8-R?B?8NLJ18XU?=", {true, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82", 21}},
        {"=?Shift_JIS?B?k/qWe4zq?=", {true, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 24}},
        {"=?Shift_JIS?Q?a=93?=", {true, "a?", 20}},
        {"=?GB2312?B?1tDOxA==?=", {true, "\xe4\xb8\xad\xe6\x96\x87", 21}},
        {"=?gb2312?q?=FFa?=", {true, "?a", 17}},
        {"=?ISO-2022-JP?B?GyRCRnxLXBsoQg==?=", {true, "\xe6\x97\xa5\xe6\x9c\xac", 34}},
    };
    for (const auto &[in, want] : rows)
        for (size_t piece : {0, 1})
            EXPECT_EQ(chunk(in, piece), want) << escaped(in);
    // A word longer than any prefix the decoder reads first, with more after it.
    std::string x(5000, 'x'), w = word("utf-8", x);
    EXPECT_EQ(chunk(w + " and more"), Chunk(true, x, w.size()));
    EXPECT_EQ(chunk("=?utf-8?q?" + std::string(3000, 'a')), Chunk(false, "", kUntouched));
    uint32_t consumed = 7;
    EXPECT_TRUE(!ztmime_i18n_chunk(nullptr, &consumed) && consumed == 7);
}

// Names that mail uses and the C library's iconv does not know convert as
// the charset they stand for.
TEST(EncodedWord, CharsetNamesFromMail)
{
    const struct { const char *word, *text; } rows[] = {
        {"=?ks_c_5601-1987?B?vsiz58fPvLy/5A==?=", "\xec\x95\x88\xeb\x85\x95\xed\x95\x98\xec\x84\xb8\xec\x9a\x94"},
        {"=?KS_C_5601-1987?B?jGO55rCix88=?=", "\xeb\x98\xa0\xeb\xb0\xa9\xea\xb0\x81\xed\x95\x98"},  // beyond EUC-KR
        {"=?x-euc-kr?B?x9Gxub7u?=", "\xed\x95\x9c\xea\xb5\xad\xec\x96\xb4"},
        {"=?ks_c_5601?B?uN7Azw==?=", "\xeb\xa9\x94\xec\x9d\xbc"},
        {"=?x-gbk?B?gUDW0M7E?=", "\xe4\xb8\x82\xe4\xb8\xad\xe6\x96\x87"},  // beyond GB 2312
        {"=?x-gb2312?B?1tDOxNPKvP4=?=", "\xe4\xb8\xad\xe6\x96\x87\xe9\x82\xae\xe4\xbb\xb6"},
        {"=?chinese?B?1tDOxA==?=", "\xe4\xb8\xad\xe6\x96\x87"},
        {"=?x-x-big5?B?wWPF6aSkpOU=?=", "\xe7\xb9\x81\xe9\xab\x94\xe4\xb8\xad\xe6\x96\x87"},
        {"=?x-sjis?B?k/qWe4zq?=", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
        {"=?x-euc-jp?B?xvzL3LjspM6l4aG8pes=?=",
         "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe3\x83\xa1\xe3\x83\xbc\xe3\x83\xab"},
        {"=?iso-2022-jp-1?B?GyRCRnxLXBsoQg==?=", "\xe6\x97\xa5\xe6\x9c\xac"},
        {"=?x-ms-cp932?B?h0Du4A==?=", "\xe2\x91\xa0\xe9\xab\x99"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(text(r.word), r.text) << r.word;
    // Every name in the table is one the C library rejects, and its target
    // is one it opens.
    const char *target = nullptr;
    for (size_t i = 0; const char *name = zt_charset::known_name_at(i, &target); ++i) {
        iconv_t cd = iconv_open("UTF-8", name);
        EXPECT_EQ(cd, reinterpret_cast<iconv_t>(-1)) << name << " needs no entry";
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
        cd = iconv_open("UTF-8", target);
        EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << name << " -> " << target;
        if (cd != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd);
    }
    EXPECT_EQ(zt_charset::known_name("no-such-charset"), nullptr);
}

TEST(EncodedWord, AliasRetry)
{
    EXPECT_EQ(std::string(aliases[0].name) + " " + aliases[0].target + " " + aliases[1].name + " " + aliases[1].target,
              "KS_C_5601-1987 CP949 ksc5601 CP949");
    EXPECT_EQ(aliases[2].name, nullptr);
    // The declared name opens (as Microsoft's Korean superset).
    EXPECT_EQ(text("=?ks_c_5601-1987?q?=B0=A1?="), "\xea\xb0\x80");
    const struct { const char *name, *target, *word, *text; } rows[] = {
        {"US-ASCII", "ISO-8859-1", "=?us-ascii?q?ab=E9c?=", "ab\xc3\xa9" "c"},  // all again from the start
        {"us-ascii", "ANSI_X3.4-1968", "=?US-ASCII?q?a=E9b=FF?=", "a?b?"},     // once, then "?"
        {"us-ascii", "x-no-such-charset", "=?us-ascii?q?ab=E9?=", "?b?"},     // positions reset all the same
    };
    for (const auto &r : rows) {
        aliases[2] = {r.name, r.target};
        EXPECT_EQ(text(r.word), r.text) << r.target;
        aliases[2] = {nullptr, nullptr};
    }
}

// Random words in more charsets than the converter cache holds: whatever
// shortcut the decoder takes, the text is what the one-shot decoders give,
// converted as the rules say.  The first words hold edge UTF-8 sequences,
// under a name with an alias whose failed attempt leaves stale output.
TEST(EncodedWord, RandomWordsMatchTheOneShotDecodersAndAFreshConverter)
{
    const char *charsets[] = {"UTF-8",  "utf8",   "US-ASCII",    "ISO-8859-1", "latin1", "windows-1252", "GB2312",
                              "KOI8-R", "UTF-16", "ISO-2022-JP", "Shift_JIS",  "EUC-JP", "x-nope",       "CP949"};
    const std::string edges[] = {"\xef\xbb\xbf" "bom", "\xf4\x8f\xbf\xbf", "\xf4\x90\x80\x80", "\xe0\x9f\xbf", "\xc0\xaf",
                                 "\xed\xa0\x80", "\xe2\x82", std::string("a\0b", 3), "\xc3\xa9\xc3\xa9\xc3\xa9\xff"};
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=_ .\t-";
    aliases[2] = {"utf8", "us-ascii"};
    std::mt19937 rng(11);
    for (size_t round = 0; round < 10000; ++round) {
        bool edge = round < std::size(edges), q = !edge && rng() % 2;
        std::string text = edge ? b64(edges[round]) : "", fed, bytes;
        for (int k = edge ? 0 : 1 + rng() % 12; k > 0; --k) {
            // Mostly letters, with 8-bit runs, some valid UTF-8 and a rare NUL.
            for (unsigned r = rng() % 8, n = 1 + rng() % 3; n > 0; --n, r = rng() % 8)
                bytes += char(r < 4 ? 'a' + rng() % 26 : r < 7 ? 0x80 + rng() % 128 : (rng() % 16 ? 0xc3 : 0));
            if (unsigned r = rng() % 10; q && r < 3)
                text += "=" + std::string(1, "0123456789ABCDEFabx"[rng() % 19]) + "0123456789abcDEF"[rng() % 16];
            else
                text += !q && r < 4 ? b64(std::exchange(bytes, "")) : alphabet.substr(rng() % alphabet.size(), 1);
        }
        for (char c : text)
            fed += q && c == '_' ? ' ' : c;
        const char *cs = edge ? "utf8" : charsets[rng() % std::size(charsets)];
        View in = make_view(fed), ref(q ? ztmime_qp_decode(in.get()) : ztmime_b64_decode(in.get()));
        std::string decoded = ref ? str(ref.get()) : "";
        auto [ok, got, n] = chunk("=?" + std::string(cs) + "?" + (q ? "q" : "b") + "?" + text + "?=");
        ASSERT_EQ(ok, ref != nullptr) << escaped(text);
        ASSERT_EQ(escaped(got), escaped(ok ? reference_convert(cs, decoded).value_or(decoded) : ""))
            << cs << " " << escaped(text);
        if (round % 2000 == 0)
            zt_charset::cache_clear();
    }
    aliases[2] = {nullptr, nullptr};
}

// Real texts in other charsets, as one long word each.
TEST(Conversion, CorpusTextsConvertToTheirUtf8Versions)
{
    const std::string dir = std::string(ZT_CORPUS_DIR) + "/gmime/data/filters/";
    bool ok;
    const std::string cyrillic = read_file(dir + "cyrillic.utf-8.txt", &ok), jp = read_file(dir + "japanese.utf-8.txt");
    if (!ok)
        GTEST_SKIP() << "corpus absent";
    for (auto [file, charset] : {std::pair{"cyrillic.koi8-r.txt", "KOI8-R"}, {"cyrillic.cp1251.txt", "windows-1251"},
                                 {"cyrillic.iso-8859-5.txt", "ISO-8859-5"}, {"japanese.shift-jis.txt", "Shift_JIS"}})
        EXPECT_EQ(text(word(charset, read_file(dir + file))), file[0] == 'c' ? cyrillic : jp) << file;
}

TEST(WholeText, WhitespaceRules)
{
    const std::string a = "=?utf-8?q?a?=", b = "=?utf-8?q?b?=";
    const std::pair<std::string, std::string> rows[] = {
        {a + " " + b, "ab"},     {a + "\r\n\t" + b, "ab"}, {"x " + a + " y", "x a y"}, {"  " + a, "a"},
        {"  x", "  x"},          {a + ", b", "a b"},       {"=?bad", "=?bad"},         {a + " \t", "a \t"},
        {"x\r\n y  ", "x\r\n y  "}, {"", ""},              {"caf\xe9 " + a, "caf\xe9 a"},
    };
    for (const auto &[in, want] : rows) {
        View v = make_view(in), out(ztmime_i18n(v.get()));
        EXPECT_EQ(out ? str(out.get()) : "<null>", want) << escaped(in);
        EXPECT_EQ(str(v.get()), in);
    }
    EXPECT_EQ(ztmime_i18n(nullptr), nullptr);
}

} // namespace
