// The message reader: part tree, decoded data, header values, file names,
// mbox input, damaged input and allocation failures.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "mime4j_known.h"
#include "reader/reader.h"
#include "reader_log.h"

using namespace zt_test;

namespace {

const std::string corpus = ZT_CORPUS_DIR;

// The data of every leaf part, in tree order.
std::vector<std::string> leaves(std::string_view input, uint32_t flags = 0)
{
    std::vector<std::string> out;
    ztmime_reader *r = ztmime_reader_new(flags);
    ztmime_reader_feed(r, input.data(), input.size());
    ztmime_reader_finish(r);
    std::string data;
    for (;;) {
        const void *p;
        size_t n;
        ztmime_item it = ztmime_reader_next(r, &p, &n);
        if (it == ZTMIME_ITEM_NONE || it == ZTMIME_ITEM_ERROR)
            break;
        if (it == ZTMIME_ITEM_DATA)
            data.append(static_cast<const char *>(p), n);
        if (it == ZTMIME_ITEM_PART_END && !ztmime_reader_part(r)->container)
            out.push_back(std::exchange(data, ""));
    }
    ztmime_reader_destroy(r);
    return out;
}

void list_files(const std::string &dir, std::vector<std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        std::string path = dir + "/" + n;
        if (e->d_type == DT_DIR)
            list_files(path, out);
        else if (n.ends_with(".msg") || n.ends_with(".eml") || n.ends_with(".mbox") || n.ends_with(".mbox.txt"))
            out.push_back(path);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
}

TEST(ReaderCorpus, SameItemsAndBytesForEveryChunking)
{
    std::vector<std::string> files;
    list_files(corpus, files);
    if (files.empty())
        GTEST_SKIP() << "corpus absent: " << corpus;
    for (const std::string &f : files) {
        std::string msg = read_file(f);
        uint32_t flags = f.find(".mbox") != std::string::npos ? ZTMIME_READER_MBOX : 0;
        for (uint32_t text : {0u, unsigned(ZTMIME_READER_TEXT_UTF8)}) {
            ReaderRun whole = read_all(msg, 0, flags | text);
            ASSERT_FALSE(whole.error) << f;
            for (size_t chunk : {1, 7, 4096}) {
                if (chunk == 1 && msg.size() > 65536)
                    continue;  // one-byte feeding of the largest files adds nothing but time
                ReaderRun cut = read_all(msg, chunk, flags | text);
                EXPECT_EQ(cut.log, whole.log) << f << " chunk " << chunk << " flags " << (flags | text);
            }
        }
    }
}

// The decoded bodies that come with the mime4j messages, named in tree order
// in each message's _decoded.xml.
TEST(ReaderCorpus, Mime4jDecodedBodies)
{
    bool ok;
    std::string dir = corpus + "/mime4j/";
    std::string manifest = read_file(dir + "MANIFEST.tsv", &ok);
    if (!ok)
        GTEST_SKIP() << "corpus absent";
    int agree = 0, known = 0;
    for (size_t pos = manifest.find('\n') + 1; pos && pos < manifest.size(); pos = manifest.find('\n', pos) + 1) {
        std::string name = manifest.substr(pos, manifest.find('\t', pos) - pos);
        std::string base = name.substr(0, name.find('.'));
        std::string sub = base.substr(0, base.rfind('/') + 1);
        std::string xml = read_file(dir + base + "_decoded.xml");
        std::vector<std::string> want;
        for (size_t at = 0; (at = xml.find("-body name=\"", at)) != std::string::npos;) {
            at += 12;
            want.push_back(read_file(dir + sub + xml.substr(at, xml.find('"', at) - at)));
        }
        std::vector<std::string> got = leaves(read_file(dir + name));
        if (got == want) {
            ++agree;
            continue;
        }
        if (known_differences.count(name) || known_decoding_differences.count(name)) {
            ++known;
            continue;
        }
        ADD_FAILURE() << name << ": " << got.size() << " leaves, expected " << want.size();
        for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
            EXPECT_EQ(escaped(got[i]), escaped(want[i])) << name << " leaf " << i;
    }
    std::printf("mime4j decoded bodies: %d messages agree, %d differ for known reasons\n", agree, known);
}

// One ended part as the tests see it.
struct Ended {
    std::string path, type, charset, disposition, filename, data;
    uint32_t problems;
    uint64_t size;
    int container;
};

std::vector<Ended> ended(std::string_view input, uint32_t flags = 0, size_t chunk = 0)
{
    std::vector<Ended> out;
    std::string data;
    each_item(input, chunk, flags, [&](ztmime_reader *r, ztmime_item it, const void *p, size_t n) {
        if (it == ZTMIME_ITEM_DATA)
            data.append(static_cast<const char *>(p), n);
        if (it == ZTMIME_ITEM_PART_END) {
            const ztmime_part_info *i = ztmime_reader_part(r);
            out.push_back({i->path, i->content_type, i->charset, i->disposition, i->filename,
                           std::exchange(data, ""), i->problems, i->size, i->container});
        }
    });
    return out;
}

std::string multipart(const std::string &part_headers, const std::string &body = "x\r\n")
{
    return "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + part_headers + "\r\n" + body +
           "--b--\r\n";
}

struct NameCase {
    const char *headers;
    const char *want;
    uint32_t problems;
};

class ReaderFileNames : public testing::TestWithParam<NameCase> {};

TEST_P(ReaderFileNames, Decoded)
{
    const NameCase &c = GetParam();
    std::vector<Ended> parts = ended(multipart(c.headers));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].filename, c.want);
    EXPECT_EQ(parts[0].problems, c.problems);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderFileNames,
    testing::Values(
        NameCase{"Content-Disposition: attachment; filename*0*=utf-8''%E2%82%AC; filename*1=\" rate.txt\"\r\n",
                 "\xe2\x82\xac rate.txt", 0},
        NameCase{"Content-Disposition: attachment; filename*0=\"long \"; filename*1=name; filename*2=\".txt\"\r\n",
                 "long name.txt", 0},
        NameCase{"Content-Disposition: attachment; filename*=utf-8''a%20b%zz%4.txt\r\n", "a b%zz%4.txt", 0},
        NameCase{"Content-Disposition: attachment;\r\n filename*=iso-8859-1'fr'r%E9sum%E9.txt\r\n", "r\xc3\xa9sum\xc3\xa9.txt", 0},
        NameCase{"Content-Disposition: attachment; filename=\"=?utf-8?B?w6l0w6kucGRm?=\"\r\n", "\xc3\xa9t\xc3\xa9.pdf", 0},
        NameCase{"Content-Disposition: attachment; filename=\"=?iso-8859-1?Q?a=E9?= =?iso-8859-1?Q?b?=.txt\"\r\n",
                 "a\xc3\xa9" "b.txt", 0},
        NameCase{"Content-Type: text/plain; name=\"t.txt\"\r\nContent-Disposition: attachment; filename=\"d.txt\"\r\n",
                 "d.txt", ZTMIME_PROBLEM_HEADER},  // the two names differ
        NameCase{"Content-Type: text/plain; name*=utf-8''n%C3%A9.txt\r\nContent-Disposition: inline; filename=\"d.txt\"\r\n",
                 "d.txt", 0},
        NameCase{"Content-Type: text/plain; name*=utf-8''n%C3%A9.txt; name=\"plain.txt\"\r\n", "n\xc3\xa9.txt", 0},
        NameCase{"Content-Disposition: attachment; filename=\"plain.txt\"; filename*=utf-8''ext.txt\r\n", "ext.txt", 0},
        NameCase{"Content-Disposition: attachment; filename=\"\xc3\xa9t\xc3\xa9.txt\"\r\n", "\xc3\xa9t\xc3\xa9.txt", 0},
        NameCase{"Content-Disposition: attachment; filename=\"\xe9t\xe9.txt\"\r\n", "\xc3\xa9t\xc3\xa9.txt", 0},
        NameCase{"Content-Disposition: attachment; filename=\"a\\\"b.txt\"\r\n", "a\"b.txt", 0},
        NameCase{"Content-Disposition: attachment; filename*=no-such-charset''a%E9.txt\r\n", "a\xc3\xa9.txt",
                 ZTMIME_PROBLEM_CHARSET},
        NameCase{"Content-Disposition: attachment; filename*=utf-8''a%FF.txt\r\n", "a\xc3\xbf.txt", 0},
        NameCase{"Content-Type: application/pdf\r\n", "", 0}));

// Items as a compact line: M and / for a message, [path type for a part
// and ] at its end (with its problem bits when there are any).
std::string outline(std::string_view input, uint32_t flags = 0)
{
    std::string out;
    ztmime_reader *r = ztmime_reader_new(flags);
    ztmime_reader_feed(r, input.data(), input.size());
    ztmime_reader_finish(r);
    const void *p;
    size_t n;
    for (ztmime_item it; (it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE;) {
        const ztmime_part_info *i = ztmime_reader_part(r);
        if (it == ZTMIME_ITEM_MESSAGE)
            out += "M ";
        else if (it == ZTMIME_ITEM_MESSAGE_END)
            out += "/ ";
        else if (it == ZTMIME_ITEM_PART)
            out += "[" + std::string(i->path) + " " + i->content_type + " ";
        else if (it == ZTMIME_ITEM_PART_END)
            out += (i->problems ? std::to_string(i->problems) : std::string()) + "] ";
    }
    ztmime_reader_destroy(r);
    return out;
}

struct TreeCase {
    const char *name, *input, *want;
};

class ReaderTree : public testing::TestWithParam<TreeCase> {};

TEST_P(ReaderTree, Outline) { EXPECT_EQ(outline(GetParam().input), GetParam().want); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderTree,
    testing::Values(
        TreeCase{"plain", "Subject: x\r\n\r\nbody\r\n", "M [ text/plain ] / "},
        TreeCase{"empty", "", "M [ text/plain ] / "},
        TreeCase{"nested",
                 "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\n\r\na\r\n--o\r\n"
                 "Content-Type: message/rfc822\r\n\r\nContent-Type: multipart/alternative; boundary=i\r\n\r\n"
                 "--i\r\nContent-Type: text/plain\r\n\r\nb\r\n--i\r\nContent-Type: TEXT/HTML\r\n\r\nc\r\n--i--\r\n"
                 "--o\r\nContent-Type: image/png\r\n\r\nd\r\n--o--\r\n",
                 "M [ multipart/mixed [1 text/plain ] [2 message/rfc822 [2.1 multipart/alternative "
                 "[2.1.1 text/plain ] [2.1.2 text/html ] ] ] [3 image/png ] ] / "},
        TreeCase{"digest",
                 "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n\r\nx\r\n"
                 "--d\r\nContent-Type: text/plain\r\n\r\ny\r\n--d--\r\n",
                 "M [ multipart/digest [1 message/rfc822 [1.1 text/plain ] ] [2 text/plain ] ] / "},
        TreeCase{"embedded message ended by the outer delimiter",
                 "Content-Type: multipart/mixed; boundary=o\r\n\r\n--o\r\nContent-Type: message/rfc822\r\n\r\n"
                 "Content-Type: multipart/mixed; boundary=i\r\n\r\n--i\r\n\r\nb\r\n--o--\r\n",
                 "M [ multipart/mixed [1 message/rfc822 [1.1 multipart/mixed [1.1.1 text/plain ] ] ] ] / "},
        TreeCase{"no boundary", "Content-Type: multipart/mixed\r\n\r\n--x\r\n\r\ny\r\n", "M [ multipart/mixed 8] / "},
        TreeCase{"no subtype", "Content-Type: text\r\n\r\ny\r\n", "M [ text/plain 8] / "},
        TreeCase{"cut before the close delimiter",
                 "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nhello",
                 "M [ multipart/mixed [1 text/plain 4] 4] / "},
        TreeCase{"part header block cut",
                 "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: text/pl",
                 "M [ multipart/mixed [1 text/pl 4] 4] / "},
        TreeCase{"message header block cut", "Subject: hel", "M [ text/plain 4] / "},
        TreeCase{"unknown encoding", "Content-Transfer-Encoding: x-zip\r\n\r\nq\r\n", "M [ text/plain 1] / "}),
    [](const testing::TestParamInfo<TreeCase> &i) {
        std::string n = i.param.name;
        std::replace_if(n.begin(), n.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return n;
    });

struct DataCase {
    const char *name, *input, *want;
    uint32_t flags, problems;
};

class ReaderData : public testing::TestWithParam<DataCase> {};

// The data and problems of the first leaf, the same for every chunking.
TEST_P(ReaderData, FirstLeaf)
{
    const DataCase &c = GetParam();
    for (size_t chunk : {0, 1, 7}) {
        std::vector<Ended> parts = ended(c.input, c.flags, chunk);
        auto leaf = std::find_if(parts.begin(), parts.end(), [](const Ended &e) { return !e.container; });
        ASSERT_NE(leaf, parts.end());
        EXPECT_EQ(escaped(leaf->data), escaped(c.want)) << "chunk " << chunk;
        EXPECT_EQ(leaf->size, leaf->data.size());
        EXPECT_EQ(leaf->problems, c.problems) << "chunk " << chunk;
    }
}

#define MP(headers, body) "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" headers "\r\n" body "--b--\r\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, ReaderData,
    testing::Values(
        DataCase{"break_before_delimiter", MP("", "one\r\ntwo\r\n\r\n"), "one\r\ntwo\r\n", 0, 0},
        DataCase{"last_line_without_end", "Subject: x\r\n\r\none\r\ntwo", "one\r\ntwo", 0, 0},
        DataCase{"top_level_keeps_last_break", "Subject: x\n\none\n", "one\n", 0, 0},
        DataCase{"qp", MP("Content-Transfer-Encoding: quoted-printable\r\n", "caf=C3=A9 =\r\nau lait=\r\n"),
                 "caf\xc3\xa9 au lait", 0, 0},
        DataCase{"base64", MP("Content-Transfer-Encoding: base64\r\n", "QUJD\r\nREVG\r\n"), "ABCDEF", 0, 0},
        DataCase{"base64_junk_line", MP("Content-Transfer-Encoding: base64\r\n", "QUJD\r\n!!junk!!\r\nREVG\r\nR0hJ\r\n"),
                 "ABCDEFGHI", 0, ZTMIME_PROBLEM_DECODE},
        DataCase{"base64_cut_group", MP("Content-Transfer-Encoding: base64\r\n", "QUJDRA\r\n"), "ABC", 0,
                 ZTMIME_PROBLEM_DECODE},
        DataCase{"uuencode", MP("Content-Transfer-Encoding: x-uuencode\r\n", "begin 644 f.txt\r\n#86)C\r\n`\r\nend\r\n"),
                 "abc", 0, 0},
        DataCase{"latin1_to_utf8", MP("Content-Type: text/plain; charset=ISO-8859-1\r\n", "caf\xe9\r\n"),
                 "caf\xc3\xa9", ZTMIME_READER_TEXT_UTF8, 0},
        DataCase{"shift_jis_to_utf8", MP("Content-Type: text/plain; charset=shift_jis\r\n", "\x82\xa0\x82\xa2\r\n"),
                 "\xe3\x81\x82\xe3\x81\x84", ZTMIME_READER_TEXT_UTF8, 0},
        DataCase{"bad_utf8_replaced", MP("Content-Type: text/plain; charset=utf-8\r\n", "a\xff" "b\xe2\x82\r\n"),
                 "a\xef\xbf\xbd" "b\xef\xbf\xbd", ZTMIME_READER_TEXT_UTF8, ZTMIME_PROBLEM_CHARSET},
        DataCase{"unknown_charset", MP("Content-Type: text/plain; charset=x-nothing\r\n", "ok\r\n"), "ok",
                 ZTMIME_READER_TEXT_UTF8, ZTMIME_PROBLEM_CHARSET},
        DataCase{"binary_not_converted", MP("Content-Type: application/octet-stream\r\n", "\xff\r\n"), "\xff",
                 ZTMIME_READER_TEXT_UTF8, 0},
        DataCase{"mbox_unquoting", "From a\nSubject: 1\n\n>From here\n>>From there\n>Fromage\n\nFrom b\n\nx\n",
                 "From here\n>From there\n>Fromage\n", ZTMIME_READER_MBOX, 0}),
    [](const testing::TestParamInfo<DataCase> &i) { return std::string(i.param.name); });

TEST(ReaderMbox, EveryFromLineSeparates)
{
    std::string mbox = "From a@x Mon Jan 1\nSubject: 1\n\nbody1\n\nFrom b@x\nSubject: 2\n\nbody2\nFrom c\r\n"
                       "Subject: 3\r\n\r\nx";
    for (size_t chunk : {0, 1, 3, 7}) {
        std::vector<Ended> parts = ended(mbox, ZTMIME_READER_MBOX, chunk);
        ASSERT_EQ(parts.size(), 3u) << chunk;
        EXPECT_EQ(parts[0].data, "body1\n");  // the blank line before "From " separates
        EXPECT_EQ(parts[1].data, "body2\n");
        EXPECT_EQ(parts[2].data, "x");
        EXPECT_EQ(outline(mbox, ZTMIME_READER_MBOX), "M [ text/plain ] / M [ text/plain ] / M [ text/plain ] / ");
    }
    EXPECT_EQ(outline("", ZTMIME_READER_MBOX), "");
    EXPECT_EQ(outline("Subject: before\n\nx\nFrom a\n\ny\n", ZTMIME_READER_MBOX),
              "M [ text/plain ] / M [ text/plain ] / ");
}

// The blank line before an envelope line separates; every other blank
// line is data, however the input is cut.
TEST(ReaderMbox, BlankLinesAroundEnvelopes)
{
    struct {
        const char *mbox;
        std::vector<std::string> data;
    } cases[] = {
        {"From a\n\nx\n\n\nFrom b\n\ny\n", {"x\n\n", "y\n"}},
        {"From a\r\n\r\nx\r\n\r\nFrom b\r\n\r\ny\r\n\r\n", {"x\r\n", "y\r\n"}},
        {"From a\n\n\n\nFrom b\n\n\n", {"\n", ""}},
        {"\nFrom a\n\n>From\n>>From x\n\n>\n", {">From\n>From x\n\n>\n"}},
        {"From a\n\nx\nFrom b\n\nFrom", {"x\n", "From"}},  // "From" without a space is text
    };
    for (const auto &c : cases) {
        for (size_t chunk : {0, 1, 2, 3, 5, 7}) {
            std::vector<Ended> parts = ended(c.mbox, ZTMIME_READER_MBOX, chunk);
            std::vector<std::string> data;
            for (const Ended &e : parts)
                data.push_back(e.data);
            EXPECT_EQ(data, c.data) << escaped(c.mbox) << " chunk " << chunk;
        }
    }
}

// The messages of one fed piece are stored together: no field of theirs
// is split between storage blocks, so none needs the reader's copy of a
// split field (which the fields of a message cut by the end of a piece do).
TEST(ReaderMbox, MessagesOfOnePieceKeepTheirFieldsWhole)
{
    std::string mbox;
    for (int i = 0; i < 400; ++i)
        mbox += "From s@x Mon Jan  1 00:00:00 2024\nReceived: from relay.example.net\n\tby mx.example.org\n"
                "Subject: message " + std::to_string(i) + "\nContent-Type: text/plain\n" +
                std::string(1 + i % 50, 'X') + ": " + std::string(300, 'v') + "\nTo: u@x\nFrom: s@x\n\nshort\n\n";
    size_t split = 0, parts = 0;
    each_item(mbox, 64 << 10, ZTMIME_READER_MBOX, [&](ztmime_reader *r, ztmime_item it, const void *, size_t) {
        if (it != ZTMIME_ITEM_PART)
            return;
        ++parts;
        const void *f;
        size_t n;
        for (size_t i = 0; ztmime_reader_field_at(r, i, &f, &n) == 0; ++i)
            ;
        split += r->raw_ready;
    });
    EXPECT_EQ(parts, 400u);
    EXPECT_LE(split, mbox.size() / (64 << 10) + 1);  // at most the message cut by each piece's end
}

TEST(ReaderHeaders, ValuesDecodedToUtf8)
{
    std::string m = "Subject: =?utf-8?Q?caf=C3=A9?= =?utf-8?Q?_au?=\r\n lait\r\nFrom: J\xc3\xb6rg <j@x>\r\n"
                    "To: J\xf6rg <j@x>\r\nX-Empty:\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                    "--b\r\nX-Part: =?iso-8859-1?q?=E9t=E9?=\r\n\r\nbody\r\n--b--\r\n";
    ztmime_reader *r = ztmime_reader_new(0);
    ztmime_reader_feed(r, m.data(), m.size());
    ztmime_reader_finish(r);
    const void *p;
    size_t n;
    EXPECT_EQ(ztmime_reader_header(r, "subject"), nullptr);  // no part announced yet
    ASSERT_EQ(ztmime_reader_next(r, &p, &n), ZTMIME_ITEM_MESSAGE);
    ASSERT_EQ(ztmime_reader_next(r, &p, &n), ZTMIME_ITEM_PART);
    const char *subject = ztmime_reader_header(r, "SUBJECT");
    ASSERT_NE(subject, nullptr);
    EXPECT_STREQ(subject, "caf\xc3\xa9 au lait");
    EXPECT_STREQ(ztmime_reader_header(r, "from"), "J\xc3\xb6rg <j@x>");
    EXPECT_STREQ(ztmime_reader_header(r, "to"), "J\xc3\xb6rg <j@x>");
    EXPECT_STREQ(ztmime_reader_header(r, "x-empty"), "");
    EXPECT_EQ(ztmime_reader_header(r, "x-part"), nullptr);
    const char *name, *value;
    ASSERT_EQ(ztmime_reader_header_at(r, 1, &name, &value), 0);
    EXPECT_STREQ(name, "From");
    EXPECT_EQ(ztmime_reader_header_at(r, 5, &name, &value), -1);
    std::string kept = subject;
    ASSERT_EQ(ztmime_reader_next(r, &p, &n), ZTMIME_ITEM_PART);
    EXPECT_STREQ(ztmime_reader_header(r, "x-part"), "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(ztmime_reader_header(r, "subject"), nullptr);
    ASSERT_EQ(ztmime_reader_next(r, &p, &n), ZTMIME_ITEM_DATA);
    EXPECT_EQ(std::string(static_cast<const char *>(p), n), "body");
    ztmime_reader_destroy(r);
}

// Raw fields: whatever the chunking, they are the input's header block
// byte for byte, and decoding one without the reader gives what
// ztmime_reader_header_at gives.
TEST(ReaderHeaders, RawFieldsDecodeAsTheReaderDoes)
{
    std::string m = "Subject: =?utf-8?Q?caf=C3=A9?= =?utf-8?Q?_au?=\r\n lait\r\nTo: J\xf6rg <j@x>\r\n"
                    "X-Empty:\r\nX-Trail:  value \t\r\nContent-Type: multipart/mixed;\r\n\tboundary=b\r\n"
                    "\r\n--b\r\nX-Part: =?iso-8859-1?q?=E9t=E9?=\n\nbody\r\n--b--\r\n";
    for (size_t chunk : {size_t(0), size_t(1), size_t(3)}) {
        std::vector<std::string> blocks;
        each_item(m, chunk, 0, [&](ztmime_reader *r, ztmime_item it, const void *, size_t) {
            if (it != ZTMIME_ITEM_PART)
                return;
            std::string block;
            const void *raw;
            size_t len;
            for (size_t i = 0; ztmime_reader_field_at(r, i, &raw, &len) == 0; ++i) {
                block.append(static_cast<const char *>(raw), len);
                const char *name, *value;
                ASSERT_EQ(ztmime_reader_header_at(r, i, &name, &value), 0);
                size_t value_at = 0;
                char small[2];
                size_t need = ztmime_reader_decode_field(raw, len, small, sizeof small, &value_at);
                ASSERT_GT(need, sizeof small);
                std::string out(need, '\xff');
                EXPECT_EQ(ztmime_reader_decode_field(raw, len, out.data(), out.size(), nullptr), need);
                EXPECT_STREQ(out.c_str(), name) << i << " chunk " << chunk;
                EXPECT_STREQ(out.c_str() + value_at, value) << i << " chunk " << chunk;
                EXPECT_EQ(out.back(), '\0');
            }
            blocks.push_back(block);
        });
        std::string top_raw = m.substr(0, m.find("\r\n\r\n") + 2);
        EXPECT_EQ(blocks, (std::vector<std::string>{top_raw, "X-Part: =?iso-8859-1?q?=E9t=E9?=\n"})) << chunk;
    }
    char out[4] = "xyz";
    EXPECT_EQ(ztmime_reader_decode_field(nullptr, 0, out, sizeof out, nullptr), 2u);
    EXPECT_EQ(std::string(out, 2), std::string(2, '\0'));
    errno = 0;
    EXPECT_EQ(ztmime_reader_decode_field(nullptr, 1, out, sizeof out, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
}

// The raw fields of each part, whatever piece of the input their bytes
// arrived in, and still the same at every item up to the next PART (the
// bytes of whole fields are held by their block, not by a view each).
TEST(ReaderHeaders, RawFieldsLastUntilTheNextPart)
{
    struct Case {
        uint32_t flags;
        std::string input;
        std::vector<std::string> want;  // per PART: its path, then each field in <>
    };
    const Case cases[] = {
        {ZTMIME_READER_MBOX,
         "From a\nReceived: from x\n\tby y\n\tfor z\nCc: c\nSubject: s\nContent-Type: text/plain\n\nhi\n"
         "From b\r\nA: 1\r\n\r\nFrom c\nB: 2\n \n",
         {":<Received: from x\n\tby y\n\tfor z\n><Cc: c\n><Subject: s\n><Content-Type: text/plain\n>",
          ":<A: 1\r\n>", ":<B: 2\n \n>"}},
        {0,
         "Content-Type: multipart/mixed; boundary=q\r\nX: 1\r\n\r\n--q\r\nP: 1\r\n\tp\r\nQ: 2\r\n\r\n"
         "one\r\n--q\r\nContent-Type: message/rfc822\r\n\r\nM: 1\rN: 2\r\n\r\ninner\r\n--q--\r\n",
         {":<Content-Type: multipart/mixed; boundary=q\r\n><X: 1\r\n>", "1:<P: 1\r\n\tp\r\n><Q: 2\r\n>",
          "2:<Content-Type: message/rfc822\r\n>", "2.1:<M: 1\r\n><N: 2\r\n>"}},
        {0, "A: 1\r\n\tx\r\nB: 2", {":<A: 1\r\n\tx\r\n><B: 2>"}},
    };
    for (const Case &c : cases)
        for (size_t chunk : {size_t(0), size_t(1), size_t(3)}) {
            std::vector<std::string> got;
            std::vector<std::string> fields;
            each_item(c.input, chunk, c.flags, [&](ztmime_reader *r, ztmime_item it, const void *, size_t) {
                const void *raw;
                size_t len;
                if (it == ZTMIME_ITEM_PART) {
                    fields.clear();
                    std::string line = std::string(ztmime_reader_part(r)->path) + ":";
                    for (size_t i = 0; ztmime_reader_field_at(r, i, &raw, &len) == 0; ++i) {
                        fields.emplace_back(static_cast<const char *>(raw), len);
                        line += "<" + fields.back() + ">";
                    }
                    got.push_back(line);
                    return;
                }
                for (size_t i = 0; i < fields.size(); ++i) {
                    ASSERT_EQ(ztmime_reader_field_at(r, i, &raw, &len), 0);
                    EXPECT_EQ(std::string(static_cast<const char *>(raw), len), fields[i]) << i << " chunk " << chunk;
                }
            });
            EXPECT_EQ(got, c.want) << c.input << " chunk " << chunk;
        }
}

// Raw values (what follows the colon, with the line end) and what they
// decode to: unfolding, trimming, encoded words and the blanks between
// them, stray '=', 8-bit text on either side of a run of ASCII, NUL bytes.
struct ValueCase {
    std::string raw, want;
};

class ReaderValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ReaderValues, Decoded)
{
    zt_reader::ByteBuf out;
    ASSERT_TRUE(out.append("x", 1));  // decoding appends
    const std::string &raw = GetParam().raw;
    ASSERT_TRUE(zt_reader::decode_value(reinterpret_cast<const unsigned char *>(raw.data()), raw.size(), out));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(out.p) + 1, out.n - 1), GetParam().want);
    out.release();
}

INSTANTIATE_TEST_SUITE_P(
    All, ReaderValues,
    ::testing::Values(ValueCase{" plain value\r\n", "plain value"}, ValueCase{" no line end", "no line end"},
                      ValueCase{"\r\n", ""}, ValueCase{" folded\r\n\tvalue\r\n", "folded value"},
                      ValueCase{" a\r\n\r\n b\n", "a b"}, ValueCase{" a\rb\n", "a"},
                      ValueCase{" \t =?utf-8?B?w6k=?=\r\n \r\n", "\xc3\xa9"},
                      ValueCase{" =?utf-8?Q?caf=C3=A9?=  =?utf-8?Q?_au?=\r\n lait\r\n", "caf\xc3\xa9 au lait"},
                      ValueCase{" =?utf-8?Q?a?=\r\n =?utf-8?Q?b?=\r\n", "ab"},
                      ValueCase{" =?utf-8?Q?a?= x =?utf-8?Q?b?=\r\n", "a x b"},
                      ValueCase{" a=b == =?utf-8?Q?c?= =\r\n", "a=b == c ="},
                      ValueCase{" =?nope =?utf-8?Q?c?=\n", "=?nope c"},
                      ValueCase{" caf\xe9 au lait, then more\r\n", "caf\xc3\xa9 au lait, then more"},
                      ValueCase{" 12345678\xc3\xa9 after a word\r\n", "12345678\xc3\xa9 after a word"},
                      ValueCase{" 12345678\xc3 cut\r\n", "12345678\xc3\x83 cut"},
                      ValueCase{std::string(" nul\0inside a value\r\n", 21), "nulinside a value"},
                      ValueCase{" \t a plain value, longer than a word \t\r\n", "a plain value, longer than a word"},
                      ValueCase{" 1234567=x\r\n", "1234567=x"}, ValueCase{" 12345678\r\n\r\n", "12345678"}));

// A message that takes every path: multipart, base64, quoted-printable,
// an embedded message, an extended file name, text conversion.
const char kRich[] =
    "Subject: =?utf-8?B?w6l0w6k=?=\r\nContent-Type: multipart/mixed; boundary=o\r\n\r\npre\r\n--o\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
    "caf=E9 =\r\nau lait\r\n--o\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename*0*=utf-8''r%C3%A9; filename*1=.pdf\r\n\r\nQUJD\r\n!!\r\nREVG\r\n"
    "--o\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nhello\r\n--o--\r\nepilogue\r\n";

TEST(ReaderAlloc, EveryFailureStopsCleanly)
{
    for (uint32_t flags : {0u, unsigned(ZTMIME_READER_TEXT_UTF8), unsigned(ZTMIME_READER_MBOX)}) {
        std::string input = flags == ZTMIME_READER_MBOX ? std::string("From x\n") + kRich + "From y\n" + kRich : kRich;
        zt_alloc_fail_at(0);
        ReaderRun good = read_all(input, 7, flags);
        long count = zt_alloc_fail_at(0);
        ASSERT_FALSE(good.error);
        for (long n = 1; n <= count; ++n) {
            zt_alloc_fail_at(n);
            ReaderRun bad = read_all(input, 7, flags);
            zt_alloc_fail_at(0);
            EXPECT_TRUE(bad.error) << "failing allocation " << n << " of " << count << " went unnoticed, flags " << flags;
        }
    }
}

// Decoding header values on request: a failed allocation gives null with
// ENOMEM, leaks nothing, and the next request succeeds.
TEST(ReaderAlloc, HeaderValuesOnRequest)
{
    for (long n = 1;; ++n) {
        ztmime_reader *r = ztmime_reader_new(0);
        ztmime_reader_feed(r, kRich, sizeof kRich - 1);
        const void *p;
        size_t len;
        while (ztmime_reader_next(r, &p, &len) != ZTMIME_ITEM_PART) {
        }
        zt_alloc_fail_at(n);
        errno = 0;
        const char *v = ztmime_reader_header(r, "subject");
        bool failed = zt_alloc_fail_at(0) >= n;
        if (!v) {
            EXPECT_EQ(errno, ENOMEM) << n;
        }
        const char *again = ztmime_reader_header(r, "subject");
        ASSERT_NE(again, nullptr) << n;
        EXPECT_STREQ(again, "\xc3\xa9t\xc3\xa9");
        ztmime_reader_destroy(r);
        if (!failed)
            break;
    }
}

// Raw fields split across pieces are copied on request, and decoding one
// allocates: a failure gives -1 or 0 with ENOMEM, and the next call works.
TEST(ReaderAlloc, RawFieldsOnRequest)
{
    for (long n = 1;; ++n) {
        ztmime_reader *r = ztmime_reader_new(0);
        for (size_t at = 0; at < sizeof kRich - 1; at += 5)
            ztmime_reader_feed(r, kRich + at, std::min<size_t>(5, sizeof kRich - 1 - at));
        const void *p;
        size_t len;
        while (ztmime_reader_next(r, &p, &len) != ZTMIME_ITEM_PART) {
        }
        zt_alloc_fail_at(n);
        errno = 0;
        int rc = ztmime_reader_field_at(r, 0, &p, &len);
        size_t need = rc == 0 ? ztmime_reader_decode_field(p, len, nullptr, 0, nullptr) : 0;
        bool failed = zt_alloc_fail_at(0) >= n;
        if (rc != 0 || need == 0) {
            EXPECT_EQ(errno, ENOMEM) << n;
        }
        ASSERT_EQ(ztmime_reader_field_at(r, 0, &p, &len), 0) << n;
        EXPECT_EQ(std::string(static_cast<const char *>(p), len), "Subject: =?utf-8?B?w6l0w6k=?=\r\n");
        EXPECT_EQ(ztmime_reader_decode_field(p, len, nullptr, 0, nullptr), sizeof "Subject" + sizeof "\xc3\xa9t\xc3\xa9");
        ztmime_reader_destroy(r);
        if (!failed)
            break;
    }
}

TEST(ReaderAlloc, ResetAfterFailure)
{
    ReaderRun good = read_all(kRich, 0);
    ztmime_reader *r = ztmime_reader_new(0);
    ASSERT_NE(r, nullptr);
    zt_alloc_fail_at(3);
    ztmime_reader_feed(r, kRich, sizeof kRich - 1);
    ztmime_reader_finish(r);
    const void *p;
    size_t n;
    ztmime_item it;
    while ((it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE) {
    }
    zt_alloc_fail_at(0);
    EXPECT_EQ(it, ZTMIME_ITEM_ERROR);
    EXPECT_STREQ(ztmime_reader_error(r), "out of memory");
    ztmime_reader_reset(r);
    EXPECT_STREQ(ztmime_reader_error(r), "");
    ztmime_reader_feed(r, kRich, sizeof kRich - 1);
    ztmime_reader_finish(r);
    int parts = 0;
    while ((it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE)
        parts += it == ZTMIME_ITEM_PART;
    EXPECT_EQ(it, ZTMIME_ITEM_NONE);
    EXPECT_EQ(parts, 5);
    ztmime_reader_destroy(r);
}

// Hostile sizes: what the reader keeps stays bounded whatever the input.
struct Drained {
    std::string data;
    uint32_t problems = 0;
    std::vector<std::string> fields;  // name: value of the first block
};

// Feeds `input` in pieces of `chunk` bytes; `each` runs after every drain.
Drained drain_all(ztmime_reader *r, std::string_view input, size_t chunk, const std::function<void()> &each = {})
{
    Drained d;
    auto drain = [&] {
        const void *p;
        size_t n;
        for (ztmime_item it; (it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE;) {
            if (it == ZTMIME_ITEM_DATA)
                d.data.append(static_cast<const char *>(p), n);
            if (it == ZTMIME_ITEM_PART_END)
                d.problems |= ztmime_reader_part(r)->problems;
            const char *name, *value;
            if (it == ZTMIME_ITEM_PART && d.fields.empty()) {
                for (size_t i = 0; ztmime_reader_header_at(r, i, &name, &value) == 0; ++i)
                    d.fields.push_back(std::string(name) + ": " + value);
            }
        }
        if (each)
            each();
    };
    for (size_t off = 0; off < input.size(); off += chunk) {
        EXPECT_EQ(ztmime_reader_feed(r, input.data() + off, std::min(chunk, input.size() - off)), 0);
        drain();
    }
    ztmime_reader_finish(r);
    drain();
    return d;
}

TEST(ReaderLimits, RunOfQuotesInMboxKeepsOneByteBack)
{
    const size_t run = 1 << 20;
    std::string input = "From a\nSubject: q\n\n" + std::string(run, '>') + "From x\nmore\n";
    ztmime_reader *r = ztmime_reader_new(ZTMIME_READER_MBOX);
    size_t most = 0;
    Drained d = drain_all(r, input, 4096, [&] { most = std::max(most, r->line_head.cap); });
    EXPECT_LE(most, 64u);
    EXPECT_EQ(d.data, std::string(run - 1, '>') + "From x\nmore\n");
    ztmime_reader_destroy(r);
}

TEST(ReaderLimits, HeaderBlockKeepsBoundedFields)
{
    struct Case {
        std::string block;
        std::vector<std::string> kept;  // empty: only count them
        size_t count;
    };
    std::string many;
    for (size_t i = 0; i < zt_reader::kMaxFields + 5; ++i)
        many += "X-F: v\r\n";
    const std::string big(600 << 10, 'a');
    const std::string over(zt_reader::kMaxLine + 10, 'b');
    const Case cases[] = {
        {many + "Subject: late\r\n", {}, zt_reader::kMaxFields},
        {"A: " + big + "\r\nB: " + big + "\r\nC: c\r\n", {"A: " + big, "C: c"}, 2},
        {"X-Long: " + over + "\r\n folded\r\nSubject: s\r\n", {"Subject: s"}, 1},
    };
    for (const Case &c : cases) {
        ztmime_reader *r = ztmime_reader_new(0);
        Drained d = drain_all(r, c.block + "\r\nbody\r\n", 64 << 10);
        EXPECT_EQ(d.fields.size(), c.count);
        if (!c.kept.empty()) {
            EXPECT_EQ(d.fields, c.kept);
        }
        EXPECT_TRUE(d.problems & ZTMIME_PROBLEM_HEADER);
        EXPECT_EQ(d.data, "body\r\n");
        ztmime_reader_destroy(r);
    }
}

// A body line without end comes out in pieces as it arrives.
TEST(ReaderLimits, LongBodyLineStreams)
{
    const size_t body = 3 * zt_reader::kMaxLine, chunk = 64 << 10;
    std::string input = "Content-Type: text/plain\r\n\r\n" + std::string(body, 'x');
    ztmime_reader *r = ztmime_reader_new(0);
    size_t most = 0;
    Drained d = drain_all(r, input, chunk, [&] { most = std::max(most, ztview_get_len(r->ctx->input)); });
    EXPECT_LE(most, zt_reader::kMaxLine + chunk);
    EXPECT_EQ(d.data.size(), body);
    EXPECT_EQ(d.problems, 0u);
    ztmime_reader_destroy(r);
}

// Embedded messages nested ever deeper: what each level holds must not grow
// with the depth (each path is a prefix of the next).
TEST(ReaderLimits, DeepNestingCostsLittlePerLevel)
{
    const size_t levels = 3000;
    std::string input;
    for (size_t i = 0; i < levels; ++i)
        input += "Content-Type: message/rfc822\r\n\r\n";
    input += "Subject: deepest\r\n\r\nbody\r\n";
    ztmime_reader *r = ztmime_reader_new(0);
    size_t most = 0, parts = 0;
    std::string deepest;
    ztmime_reader_feed(r, input.data(), input.size());
    ztmime_reader_finish(r);
    const void *p;
    size_t n;
    for (ztmime_item it; (it = ztmime_reader_next(r, &p, &n)) > ZTMIME_ITEM_NONE;) {
        if (it != ZTMIME_ITEM_PART)
            continue;
        size_t held = r->paths.cap;
        for (size_t i = 0; i < r->nnodes; ++i)
            held += r->nodes[i].text.cap;
        most = std::max(most, held / r->nnodes);
        ++parts;
        deepest = ztmime_reader_part(r)->path;
    }
    ztmime_reader_destroy(r);
    EXPECT_EQ(parts, levels + 1);
    EXPECT_LE(most, 256u);
    std::string want = "1";
    for (size_t i = 1; i < levels; ++i)
        want += ".1";
    EXPECT_EQ(deepest, want);
}

} // namespace
