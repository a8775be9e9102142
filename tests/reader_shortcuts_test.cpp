// The message reader's shortcuts against its general readings: header
// values decoded without the general decoder, structured fields read
// without the tokenizer, fields read where they lie instead of copied.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reader/reader.h"
#include "reader_log.h"

using namespace std::string_literals;
using namespace zt_test;

namespace {

const unsigned char *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

std::string str(const zt_reader::ByteBuf &b, size_t from = 0)
{
    return std::string(reinterpret_cast<const char *>(b.p) + from, b.n - from);
}

// Random strings joined from pieces that the readers treat specially.
std::vector<std::string> random_joins(const std::vector<std::string> &pieces, const std::string &prefix, int rounds,
                                      unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::string> out;
    for (int round = 0; round < rounds; ++round) {
        std::string s = prefix;
        for (int k = rng() % 12; k > 0; --k)
            s += pieces[rng() % pieces.size()];
        out.push_back(s);
    }
    return out;
}

TEST(ReaderShortcuts, ValuesAgreeWithTheGeneralReading)
{
    const std::string long_text(40, 'a');
    std::vector<std::string> values = {
        "", " ", "\r\n", " plain\r\n", " a=b c\r\n", " x =\r\n", " =", " a=?b\r\n", " =\r\n\t?b\r\n",
        " =?utf-8?Q?a?=\r\n", " folded\r\n\tvalue\r\n", " folded\r\n =?utf-8?Q?w?=\r\n", " a\rb\n", " a\r\n\r\n b\n",
        " \r\n\tafter an empty first line\r\n", " \t\r\n \t x \t\r\n", " trailing\r\n \t\r\n", " a\r\n\xe9z\r\n",
        " a\r\n\0z\r\n"s, " a\r\n=?utf-8?Q?w?=\r\n", " x\r\n\t" + long_text + "\xe9\r\n", " x\r\n\t" + long_text + "\r\n",
        " " + long_text + "\r\n\t" + long_text + "=\r\n\t?" + long_text + "\r\n", " " + long_text + "=?x\r\n",
        " " + std::string(15, 'b') + "\xc3\xa9\r\n \r\n", " " + std::string(17, 'c') + "\0\r\n"s, "\r\n\r\n\r\n",
        " Jan\r\n\t2024 +0000 (UTC)\r\n", std::string(33, ' ') + "\r\n" + std::string(33, '\t'),
    };
    const std::vector<std::string> pieces = {" ", "\t", "\r\n", "\n", "\r", "=", "?", "=?", "?=", "=?utf-8?Q?a_b?=",
                                             "=?iso-8859-1?B?6Q==?=", "abc", "0123456789abcdef", "\xe9", "\xc3\xa9",
                                             std::string(1, '\0'), ";", "x"};
    for (const std::string &v : random_joins(pieces, "", 4000, 7))
        values.push_back(v);
    for (const std::string &v : values) {
        zt_reader::ByteBuf fast, general;
        ASSERT_TRUE(fast.append("<", 1) && general.append("<", 1));  // both append
        ASSERT_TRUE(zt_reader::decode_value(bytes(v), v.size(), fast));
        ASSERT_TRUE(zt_reader::decode_value_general(bytes(v), v.size(), general));
        EXPECT_EQ(escaped(str(fast)), escaped(str(general))) << escaped(v);
        fast.release();
        general.release();
    }
}

// Both readings of a field body as one comparable text.
std::string params_text(const zt_reader::Params &ps, uint32_t problems)
{
    std::string out = "main=" + escaped(str(ps.main)) + " problems=" + std::to_string(problems);
    for (size_t at = 0; at < ps.list.n;) {
        size_t nl, vl;
        std::memcpy(&nl, ps.list.p + at, sizeof nl);
        std::string name(reinterpret_cast<const char *>(ps.list.p) + at + sizeof nl, nl);
        at += sizeof nl + nl;
        std::memcpy(&vl, ps.list.p + at, sizeof vl);
        std::string value(reinterpret_cast<const char *>(ps.list.p) + at + sizeof vl, vl);
        at += sizeof vl + vl;
        out += " [" + escaped(name) + "=" + escaped(value) + "]";
    }
    return out;
}

// Field bodies, regular and not, for the structured-field shortcuts.
std::vector<std::string> param_bodies()
{
    std::vector<std::string> bodies = {
        " text/plain; charset=utf-8\r\n", " text/plain;charset=\"utf-8\"\r\n", " Text/HTML; CHARSET=ISO-8859-1; x=y;\r\n",
        " multipart/mixed; boundary=\"a b;c\"\r\n", " text/plain; ; ;charset=a;;\r\n", " text/plain ;\r\n\tname=x\r\n",
        " text/plain;\r\n charset=\"x\"\r\n", " text/plain; charset = x\r\n", " text/plain; charset=x y\r\n",
        " text/plain; charset=\"x\\\"y\"\r\n", " text/plain; charset=\"x\r\n", " text/plain (c); a=b\r\n",
        " \"text/plain\"; a=b\r\n", " text/plain; a=\r\n", " text/plain; =b\r\n", " text/plain; a\r\n",
        " text/plain; na\"me=b\r\n", " text/plain; n(a)me=b\r\n", " text/plain; a=b(c)\r\n", " text/plain; a=b\"c\"\r\n",
        " text/plain; a=\xe9\r\n", " text/plain; a=\"\xe9\"\r\n", " text/plain; a=b\0c\r\n"s, " text/plain", "", " ",
        " ;a=b", " attachment; filename*0*=utf-8''%41; filename*1=b\r\n", " inline; filename=\"a b.txt\"\r\n",
        " text/plain; a=b;c=d", " text/plain; a=b c=d\r\n", " text/plain; a=b\r\n c=d\r\n", " text/plain\t;\ta\t=\tb\r\n",
    };
    const std::vector<std::string> pieces = {" ", "\t", ";", "=", "\"", "\\", "(", ")", "\r\n", "\r\n ", "\n", "name",
                                             "charset", "utf-8", "NAME*", "x=y", "a", "/", "\xe9", std::string(1, '\0'),
                                             "<", "@", "'", "%41", "=\"q r\"", "=v", ";a=b", ";charset=\"u\""};
    for (const std::string &b : random_joins(pieces, " text/plain", 3000, 11))
        bodies.push_back(b);
    for (const std::string &b : random_joins(pieces, "", 1000, 13))
        bodies.push_back(b);
    return bodies;
}

TEST(ReaderShortcuts, ParamsAgreeWithTheTokenizer)
{
    const std::vector<std::string> bodies = param_bodies();
    int flat_read = 0;
    for (const std::string &b : bodies) {
        zt_reader::Params flat, slow;
        uint32_t problems = 0;
        int got = zt_reader::read_params_flat(bytes(b), b.size(), flat);
        ASSERT_TRUE(zt_reader::read_params(bytes(b), b.size(), slow, &problems));
        ASSERT_GE(got, 0);
        if (got == 0) {
            EXPECT_EQ(flat.list.n + flat.main.n, 0u) << escaped(b);  // declined: nothing kept
        } else {
            ++flat_read;
            EXPECT_EQ(params_text(flat, 0), params_text(slow, problems)) << escaped(b);
        }
        flat.release();
        slow.release();
    }
    EXPECT_GT(flat_read, 500);  // the shortcut is taken, not only declined
}

// The one-walk Content-Type reading against the parameter list: taken
// exactly when the list reads flat with no name parameter, and then with
// the list's first charset.
TEST(ReaderShortcuts, ContentTypeCharsetAgreesWithTheParameterList)
{
    std::vector<std::string> bodies = param_bodies();
    for (const char *b : {" text/plain; charset=a; charset=b\r\n", " text/plain; CharSet=\"A\"; x=y\r\n",
                          " text/plain; charsets=a; charset=b\r\n", " text/plain; charset*=utf-8''a\r\n",
                          " text/plain; xname=a; charset=b\r\n", " text/plain; NAMEx=a; charset=b\r\n",
                          " text/plain; nam=a; charset=\"\"\r\n", " text/plain; name*0=a\r\n", " text/plain\r\n"})
        bodies.push_back(b);
    int taken = 0, with_charset = 0;
    for (const std::string &b : bodies) {
        zt_reader::Params ps;
        const unsigned char *cs = bytes(b);
        size_t cl = 99;
        int fast = zt_reader::content_type_charset_flat(bytes(b), b.size(), &cs, &cl);
        int flat = zt_reader::read_params_flat(bytes(b), b.size(), ps);
        ASSERT_GE(flat, 0);
        EXPECT_EQ(fast, flat == 1 && !ps.any("name")) << escaped(b);
        if (fast) {
            ++taken;
            size_t vl = 0;
            const unsigned char *v = ps.get("charset", &vl);
            EXPECT_EQ(cs != nullptr, v != nullptr) << escaped(b);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(cs), cs ? cl : 0),
                      std::string(reinterpret_cast<const char *>(v), v ? vl : 0))
                << escaped(b);
            with_charset += v != nullptr;
            EXPECT_TRUE(!cs || (cs >= bytes(b) && cs + cl <= bytes(b) + b.size())) << escaped(b);
        }
        ps.release();
    }
    EXPECT_GT(taken, 300);
    EXPECT_GT(with_charset, 40);
}

// The memo gives what the walk gives, for the body it is asked about and
// not the one before: each body is asked twice, from a copy at another
// address the second time, and bodies differing in one byte follow one
// another.
TEST(ReaderShortcuts, ContentTypeMemoAgreesWithTheWalk)
{
    std::vector<std::string> bodies = param_bodies();
    for (const char *b : {" text/plain; charset=utf-8\r\n", " text/plain; charset=utf-9\r\n", " text/plain; charset=utf-9\n",
                          " text/plain; charset=utf-9\n", " text/plain; name=utf-9\n", " text/plain; charset=utf-9\n"})
        bodies.push_back(b);
    bodies.push_back(" text/plain; charset=" + std::string(60, 'x') + "\r\n");
    bodies.push_back(" text/plain; charset=" + std::string(60, 'x') + "\r\n");
    zt_reader::CharsetMemo memo;
    int repeats = 0;
    for (const std::string &b : bodies) {
        for (int round = 0; round < 2; ++round) {
            const std::string copy = b;  // another address
            const std::string &body = round ? copy : b;
            const unsigned char *want_cs, *got_cs;
            size_t want_n, got_n;
            int want = zt_reader::content_type_charset_flat(bytes(body), body.size(), &want_cs, &want_n);
            repeats += round && memo.valid && memo.n == body.size();
            int got = memo.read(bytes(body), body.size(), &got_cs, &got_n);
            ASSERT_EQ(got, want) << escaped(body);
            if (got) {
                EXPECT_EQ(got_cs, want_cs) << escaped(body);
                EXPECT_EQ(got_n, want_n) << escaped(body);
            }
        }
    }
    EXPECT_GT(repeats, 500);
}

// A part's type text from the parser's record: the one-segment walk and
// the general reading agree, and so does a record in one-byte segments.
TEST(ReaderShortcuts, TypeTextAgreesWithTheGeneralReading)
{
    const std::vector<std::string> types = {
        "", "text/plain", "TEXT/Plain", "text", "/plain", "text/", "/", "//", "a/b", "a//b", "x/y/z",
        "Message/RFC822", "text/pl\0ain"s, "\0/x"s, "text/\0"s,
        "Multipart/Mixed", "application/VND.MS-Excel", std::string(200, 'A') + "/" + std::string(70, 'Z'),
        "t\xc3\x89xt/pl\xe4in", "@[\\]^/`{|}"};
    for (const std::string &t : types) {
        View one = make_view(t), many = make_fragmented(t);
        ASSERT_EQ(ztview_segment_count(many.get()), t.size());
        zt_reader::ByteBuf want, got, split;
        // Appended after what the buffer holds.
        ASSERT_TRUE(want.push('x') && got.push('x') && split.push('x'));
        bool want_typed = false, got_typed = true, split_typed = true;
        ASSERT_TRUE(zt_reader::type_text_general(one.get(), want, &want_typed));
        ASSERT_TRUE(zt_reader::type_text(one.get(), got, &got_typed));
        ASSERT_TRUE(zt_reader::type_text(many.get(), split, &split_typed));
        EXPECT_EQ(str(got), str(want)) << escaped(t);
        EXPECT_EQ(str(split), str(want)) << escaped(t);
        EXPECT_EQ(got_typed, want_typed) << escaped(t);
        EXPECT_EQ(split_typed, want_typed) << escaped(t);
        want.release(), got.release(), split.release();
    }
}

// Every header field of every announced part, and the part's facts.
std::string header_log(std::string_view input, size_t chunk, int *split_fields)
{
    std::string log;
    each_item(input, chunk, ZTMIME_READER_MBOX, [&](ztmime_reader *r, ztmime_item it, const void *, size_t) {
        if (it != ZTMIME_ITEM_PART)
            return;
        const ztmime_part_info *i = ztmime_reader_part(r);
        log += "PART " + std::string(i->path) + " " + i->content_type + " charset=" + i->charset +
               " file=" + escaped(i->filename) + " problems=" + std::to_string(i->problems) + "\n";
        const char *name, *value;
        for (size_t k = 0; ztmime_reader_header_at(r, k, &name, &value) == 0; ++k) {
            log += "  " + escaped(name) + ": " + escaped(value) + "\n";
            *split_fields += ztview_segment_count(r->shown.get(k)) > 1;
        }
    });
    return log;
}

TEST(ReaderShortcuts, OneSegmentAndManySegmentsAgree)
{
    const std::string msg =
        "From a@b Mon Jan  1 00:00:00 2024\r\n"
        "Received: from relay.example.net (relay [192.0.2.1])\r\n\tby mx.example.org with id 1\r\n"
        "\tfor <u@example.org>; Mon, 1 Jan 2024 00:00:00 +0000\r\n"
        "Subject: =?utf-8?Q?caf=C3=A9?=\r\n =?utf-8?Q?_au_lait?= and a=b\r\n"
        "X-Latin: caf\xe9 cr\xe8me\r\n"
        "X-Folded-Latin: a\r\n\tcaf\xe9\r\n"
        "Content-Type: multipart/mixed; boundary=\"sep\"; charset=US-ASCII\r\n\r\n"
        "--sep\r\n"
        "Content-Type: text/plain; charset=\"ISO-8859-1\"; name=\"=?utf-8?Q?n=C3=A9?=.txt\"\r\n"
        "Content-Disposition: attachment;\r\n\tfilename*0*=utf-8''%C3%A9t%C3%A9; filename*1=\".txt\"\r\n\r\n"
        "body\r\n"
        "--sep\r\n"
        "Content-Type: text/html (comment); charset=utf-8\r\n\r\n"
        "<p>x</p>\r\n"
        "--sep--\r\n"
        "From c@d Mon Jan  1 00:00:00 2024\r\n"
        "Content-Type: text/plain; charset=utf-8\r\nX-Empty:\r\n\r\nhi\r\n";
    int whole_split = 0, split = 0;
    const std::string want = header_log(msg, 0, &whole_split);
    EXPECT_NE(want.find("caf\\xc3\\xa9 au lait and a=b"), std::string::npos) << want;
    EXPECT_NE(want.find("file=\\xc3\\xa9t\\xc3\\xa9.txt"), std::string::npos) << want;
    EXPECT_NE(want.find("\n  Received: from relay.example.net (relay [192.0.2.1]) by mx.example.org with id 1 for "
                        "<u@example.org>; Mon, 1 Jan 2024 00:00:00 +0000\n"),
              std::string::npos)
        << want;
    EXPECT_NE(want.find("\n  Content-Disposition: attachment; filename*0*="), std::string::npos) << want;
    for (size_t chunk : {1, 2, 3, 7, 64})
        EXPECT_EQ(header_log(msg, chunk, &split), want) << "chunk " << chunk;
    EXPECT_GT(split, 0);  // some fields did arrive in pieces
}

} // namespace
