// Header interpretation: content types and boundaries, transfer-encoding
// codes, file names (also RFC 2231), the results 0, 1, -1 and -2 with
// their messages, hostile fields, and whole messages through the parser.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zt_test.h"

using namespace zt_test;
using namespace std::string_literals;

namespace {

using Ctx = std::unique_ptr<ztmime_ctx, decltype(&ztmime_destroy)>;
Ctx make_ctx() { return Ctx(ztmime_init(0, 0), ztmime_destroy); }

// Feeds one field; `piece` > 0 gives it in segments of that many bytes.
int feed(ztmime_ctx *ctx, const std::string &field, std::string *normalized = nullptr, size_t piece = 0)
{
    View h = piece ? make_fragmented(field, piece) : make_view(field), out(normalized ? ztview_init() : nullptr);
    ztmime_last_error[0] = 0;
    int r = ztmime_parse_header(ctx, h.get(), out.get());
    EXPECT_EQ(str(h.get()), field) << "the field must stay unchanged";
    if (normalized)
        *normalized = str(out.get());
    return r;
}

// What the context recorded: type, open multiparts, the top entry's two
// delimiters, file name and transfer-encoding code.
std::string recorded(const ztmime_ctx *ctx)
{
    auto *top = reinterpret_cast<const ztmime_boundary *>(ctx->part.boundaries.top);
    return str(ctx->part.content_type) + " d" + std::to_string(ctx->part.depth) + " " +
           (top ? str(top->delimiter) + " " + str(top->close_delimiter) : "-") + " f=" + str(ctx->part.filename) +
           " e" + std::to_string(ctx->part.encoding);
}

// Fields fed in turn to one context ("reset" ends the header block); the
// last one's result and message, and what is recorded afterwards.
const struct Scenario { std::vector<std::string> fields; int result; std::string message, after; } kScenarios[] = {
    {{"Content-Type: multipart/mixed; boundary=\"b1\"\r\n"}, 0, "", "multipart/mixed d1 --b1 --b1-- f= e0"},
    {{"content-type: multipart/mixed;\r\n boundary=b1\r\n", "Content-Type: multipart/mixed; boundary=b1\r\n"}, 0, "",
     "multipart/mixed d1 --b1 --b1-- f= e0"},
    {{"Content-Type: multipart/mixed\r\n", "Content-Type: text/plain\r\n"}, -1,
     "Content-type mismatch 'text/plain' 'multipart/mixed'", "multipart/mixed d1   f= e0"},
    {{"Content-Type: multipart/mixed\r\n", "Content-Type: Multipart/Mixed\r\n"}, -1,
     "Content-type mismatch 'Multipart/Mixed' 'multipart/mixed'", "multipart/mixed d1   f= e0"},
    {{"CONTENT-TYPE: MULTIPART/ALTERNATIVE; BOUNDARY=x\r\n"}, 0, "", "MULTIPART/ALTERNATIVE d1 --x --x-- f= e0"},
    {{"Content-Type: application/pdf; name=\"a b.pdf\"\r\n"}, 0, "", "application/pdf d0 - f=a b.pdf e0"},
    {{"Content-Type: multipart/mixed; boundary=outer\r\n", "reset", "Content-Type: text/plain; boundary=in\r\n"}, 0, "",
     "text/plain d1 --in --in-- f= e0"},
    {{"Content-Type: text/plain; boundary=b\r\n"}, 0, "", "text/plain d0 - f= e0"},
    {{"Content-Type : text/plain\r\n"}, 0, "", " d0 - f= e0"},
    {{" Content-Type: text/plain\r\n"}, 0, "", " d0 - f= e0"},
    {{"Content-Type: \r\n"}, -1, "", " d0 - f= e0"},
    {{"Content-Type: \"text/plain\"\r\n"}, -1,
     "Header value contains invalid double quote character '\"text/plain\"'", " d0 - f= e0"},
    {{"Content-Type: text/plain; =x; name=\"abc\r\n"}, -2, "Attribute name is empty", "text/plain d0 - f=\"abc\r\n e0"},
    {{"Content-Type: text/plain; charset=a/b\r\n"}, -2, "Invalid special character '0x2f' inside MIME atom token",
     "text/plain d0 - f= e0"},
    {{"Content-Type: text/pl\xe9in; n\xe4me=\xff;==;=;a==b;=\r\n"}, -2, "Attribute name is empty",
     "text/pl\xe9in d0 - f= e0"},
    {{"Content-Type: text/plain; name=a\r\n", "Content-Type: text/plain; x; name=b\r\n"}, -1,
     "Filename mismatch 'b' 'a'", "text/plain d0 - f=a e0"},
    {{"Content-Type: text/plain; name=a.txt\r\n", "Content-Disposition: attachment; filename=a.txt\r\n"}, 0, "",
     "text/plain d0 - f=a.txt e0"},
    {{"Content-Type: text/plain; name=a.txt\r\n", "Content-Disposition: attachment; filename=\"b.txt\"\r\n"}, -1,
     "Filename mismatch 'b.txt' 'a.txt'", "text/plain d0 - f=a.txt e0"},
    {{"Content-Disposition: inline; size=10;\r\n name=\"x y\"; creation-date=z\r\n"}, 0, "", " d0 - f=x y e0"},
    // A disposition type the tokenizer refuses is dropped without a message.
    {{"Content-Disposition: \"attachment\"; filename=a.txt\r\n"}, 0, "", " d0 - f=a.txt e0"},
    {{"Content-Disposition: attach(ment); filename=a.txt\r\n"}, 0, "", " d0 - f=a.txt e0"},
    {{"Content-Transfer-Encoding: x-token\r\n", "content-transfer-encoding:\r\n\tbase64"}, 0, "", " d0 - f= e8"},
};

TEST(ParseHeader, ScenariosGiveTheStatedResultsAndRecords)
{
    for (const Scenario &s : kScenarios) {
        Ctx ctx = make_ctx();
        int r = 0;
        for (const std::string &f : s.fields)
            r = f == "reset" ? ztmime_part_reset(&ctx->part) : feed(ctx.get(), f);
        EXPECT_EQ(r, s.result) << escaped(s.fields.back());
        EXPECT_EQ(s.message.empty() && r == -1 ? "" : ztmime_strerror(), s.message) << escaped(s.fields.back());
        EXPECT_EQ(escaped(recorded(ctx.get())), escaped(s.after)) << escaped(s.fields.back());
    }
}

// The field names are matched ignoring case, byte for byte: a byte that
// only looks like a letter or the '-' once case is folded does not match.
TEST(ParseHeader, FieldNamesMatchIgnoringCaseOnly)
{
    const struct {
        std::string field, after;
    } cases[] = {
        {"cONTENT-tYPE: text/plain\r\n", "text/plain d0 - f= e0"},
        {"Content\rType: text/plain\r\n", " d0 - f= e0"},
        {"Content-Typ\x05: text/plain\r\n", " d0 - f= e0"},
        {"Con\x14" "ent-Type: text/plain\r\n", " d0 - f= e0"},
        {"CONTENT-TRANSFER-ENCODING: base64\r\n", " d0 - f= e8"},
        {"Content-Dispositio\x0e: attachment; filename=a\r\n", " d0 - f= e0"},
    };
    for (const auto &c : cases)
        for (size_t piece : {0, 3}) {
            Ctx ctx = make_ctx();
            feed(ctx.get(), c.field, nullptr, piece);
            EXPECT_EQ(escaped(recorded(ctx.get())), escaped(c.after)) << escaped(c.field) << " piece " << piece;
        }
}

// A field in one segment is read without the tokenizer; in many segments
// it is read with it.  Both must give the same result, message and record,
// also where the one-segment reader hands over to the tokenizer.
TEST(ParseHeader, OneSegmentAndManySegmentsAgree)
{
    std::vector<std::vector<std::string>> blocks;
    for (const Scenario &s : kScenarios)
        blocks.push_back(s.fields);
    const std::vector<std::vector<std::string>> more = {
        {"Content-Type:multipart/mixed;boundary=x;;", "Content-Type: multipart/mixed; boundary=\"y\""},
        {"Content-Type: multipart/mixed; boundary=\"a;b c=d\"; BOUNDARY=last ; name=\"\"; name=n\r\n"},
        {"Content-Type: multipart/mixed; boundary=\"a\\\"b\"\r\n"},
        {"Content-Type: multipart/mixed; boundary=a(c)b\r\n", "Content-Type: multipart/mixed; boundary= \r\n"},
        {"Content-Type: text/plain; name=\"a\"x; charset\r\n", "Content-Type: text/plain; name"},
        {"Content-Type: text/plain; name=a; name=a; filename=\"a\"", "Content-Type: text/plain; filename=b"},
        {"Content-Type: text/plain; name=\"\xe9\0x\"\r\n"s, "Content-Disposition: inline; filename=\"\xe9\0y\""s},
        {"Content-Type: text/plain (c); a=b", "Content-Type: text/plain\r\n\tcharset=x", "Content-Type:"},
        {"Content-Disposition: attachment; filename*=utf-8''%C3%A9; filename=x\r\n"},
        {"Content-Disposition: attachment; filename=x; filename*=utf-8''%C3%A9\r\n"},
        {"Content-Disposition: attachment; filename*=utf-8''%C3%A9; name=x; name=y\r\n"},
        {"Content-Disposition: a; filename*=iso-8859-1'en'" + std::string(300, 'z') + "%E9\r\n"},
        {"Content-Disposition", "Content-Disposition:", "Content-Dispositionx inline; name=q", "Content-Disposition: ;"},
        {"Content-Disposition: inline;; name=\"q\";\r\n", "Content-Disposition: inline name=q\r\n"},
        {"Content-Disposition:attachment;filename=\"a b\"   ;  size=1 \r\n \r\n"},
        {"Content-Transfer-Encoding:QUOTED-PRINTABLE", "Content-Transfer-Encoding", "Content-Transfer-Encoding:\r\n"},
        {"Content-Type: text/plain\r\n", "reset", "Content-Type: text/html; name=a\r\n", "Content-Type: text/plain\r\n"},
        {"Content-Type: text/plain\r\n", "reset", "Content-Type: multipart/mixed\r\n", "Content-Type: text/plain\r\n"},
    };
    blocks.insert(blocks.end(), more.begin(), more.end());
    // And random fields from pieces that each reader treats specially.
    const std::vector<std::string> names = {"Content-Type: ", "Content-Disposition: ", "content-type:"};
    const std::vector<std::string> pieces = {
        " ", "\t", ";", "=", "\"", "\\", "(", ")", "name", "filename", "filename*", "NAME", "boundary", "x=y",
        "multipart/mixed", "text/plain", "a", "b", "\r\n", "\r\n ", "utf-8''%41", "iso-8859-1'en'%E9", "'", "\xe9",
        std::string(1, '\0'), "/", "=\"q\"", "=a", ";name=a", ";filename=\"a\"", ";boundary=b"};
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> fields(1 + rng() % 3);
        for (std::string &f : fields) {
            f = names[rng() % names.size()];
            for (int k = rng() % 10; k > 0; --k)
                f += pieces[rng() % pieces.size()];
        }
        blocks.push_back(fields);
    }
    Ctx kept = make_ctx();
    for (const auto &fields : blocks) {
        std::string got[2], again[2];
        for (size_t piece : {0, 1}) {
            Ctx ctx = make_ctx();
            for (const std::string &f : fields) {
                int r = f == "reset" ? ztmime_part_reset(&ctx->part) : feed(ctx.get(), f, nullptr, piece);
                got[piece] += std::to_string(r) + " " + (r ? ztmime_strerror() : "") + " " + recorded(ctx.get()) + "\n";
            }
        }
        EXPECT_EQ(escaped(got[0]), escaped(got[1])) << escaped(fields.front());
        // One context for every block, each block twice: a reading may
        // start from what earlier fields left in the context, and must give
        // what a fresh context gives.
        for (std::string &log : again) {
            ztmime_reset(kept.get());
            for (const std::string &f : fields) {
                int r = f == "reset" ? ztmime_part_reset(&kept->part) : feed(kept.get(), f);
                log += std::to_string(r) + " " + (r ? ztmime_strerror() : "") + " " + recorded(kept.get()) + "\n";
            }
            EXPECT_EQ(escaped(log), escaped(got[0])) << escaped(fields.front());
        }
    }
}

// The field names the parser acts on, told apart where they lie and across
// segments: names with one byte changed (its case bit flipped, one more, a
// NUL), each in one segment and in one-byte segments.
TEST(ParseHeader, NearNamesAgreeInOneAndManySegments)
{
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"Content-Type:", " multipart/mixed; boundary=b\r\n"},
        {"Content-Transfer-Encoding:", " base64\r\n"},
        {"Content-Disposition:", " attachment; filename=a\r\n"},
    };
    int acted = 0;
    for (const auto &[name, body] : fields) {
        std::vector<std::string> names = {name};
        for (size_t i = 0; i < name.size(); ++i) {
            for (int change : {0x20, 1, -1}) {
                std::string n = name;
                n[i] = static_cast<char>(change < 0 ? 0 : n[i] ^ change);
                names.push_back(n);
            }
        }
        for (const std::string &n : names) {
            std::string got[2];
            for (size_t piece : {0, 1}) {
                Ctx ctx = make_ctx();
                int r = feed(ctx.get(), n + body, nullptr, piece);
                got[piece] = std::to_string(r) + " " + recorded(ctx.get());
            }
            EXPECT_EQ(escaped(got[0]), escaped(got[1])) << escaped(n);
            acted += got[0] != "0  d0 - f= e0";
        }
    }
    EXPECT_GT(acted, 3 * 10);  // the names in other cases still count
}

TEST(ParseHeader, TransferEncodingCodesByPrefix)
{
    const std::pair<std::string, int> cases[] = {
        {"BASE64", ZTMIME_ENC_BASE64}, {"quoted-printable; junk", ZTMIME_ENC_QP}, {"7bitx", ZTMIME_ENC_7BIT},
        {"8BIT", ZTMIME_ENC_8BIT},     {"binary", ZTMIME_ENC_BINARY},             {"x-uuencode", ZTMIME_ENC_UUENCODE},
        {"base6", ZTMIME_ENC_OTHER},   {"", ZTMIME_ENC_OTHER}};
    Ctx ctx = make_ctx();
    for (const auto &[value, code] : cases) {
        EXPECT_EQ(feed(ctx.get(), "Content-Transfer-Encoding: " + value + "\r\n"), 0);
        EXPECT_EQ(ctx->part.encoding, code) << value;
    }
}

TEST(ParseHeader, ExtendedFilenameReplacesTheFileName)
{
    const struct { std::string value, before, after; } cases[] = {
        {"ISO-8859-1''%E9t%E9", "", "\xc3\xa9t\xc3\xa9"}, {"ISO-8859-1''%E9t%E9", "old", "\xc3\xa9t\xc3\xa9"},
        {"UTF-8'en'caf%C3%A9.txt", "", "caf\xc3\xa9.txt"}, {"koi8-r''%F0%d2", "x", "\xd0\x9f\xd1\x80"},
        {"x-nope''abc", "keep", "keep"},                  {"utf-8''ab%FFcd", "x", "ab"},
        {"utf-8''ab%00cd", "x", "ab"},                    {"utf-8''%4G%G4", "x", "@\x04"},
        {"utf-8''ab%", "x", "ab"},                        {"utf-8''a%4", "x", "a@"},
        {"utf-8", "x", ""}};
    for (const auto &c : cases) {
        Ctx ctx = make_ctx();
        feed(ctx.get(), "Content-Type: text/plain; name=" + c.before + "\r\n");
        EXPECT_EQ(feed(ctx.get(), "Content-Disposition: attachment; filename*=" + c.value + "\r\n"), 0);
        EXPECT_EQ(escaped(str(ctx->part.filename)), escaped(c.after)) << c.value;
    }
}

TEST(ParseHeader, NormalisedCopyAndNullArguments)
{
    Ctx ctx = make_ctx();
    std::string norm;
    EXPECT_EQ(feed(ctx.get(), "Subject: =?utf-8?q?caf=C3=A9?=\r\n =?utf-8?q?!?=\r\n", &norm), 0);
    EXPECT_EQ(norm, "Subject: caf\xc3\xa9!");
    // The recorded file name is the raw value, not the decoded one.
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain; name==?utf-8?q?a?=\r\n", &norm), -2);
    EXPECT_EQ(norm, "Content-Type: text/plain; name=a");
    EXPECT_EQ(str(ctx->part.filename), "=?utf-8?q?a?=");
    View h = make_view("Content-Type: text/plain\r\n");
    EXPECT_EQ(ztmime_parse_header(nullptr, h.get(), nullptr), 1);
    EXPECT_EQ(ztmime_parse_header(ctx.get(), nullptr, nullptr), 1);
}

// A loop that rescans the field per parameter would run far past the test
// timeout on these.
TEST(Hostile, HundredsOfThousandsOfParametersAreLinear)
{
    std::string ct = "Content-Type: multipart/mixed", cd = "Content-Disposition: attachment";
    for (int i = 0; i < 200000; ++i)
        ct += "; p" + std::to_string(i) + "=v", cd += i % 3 ? "; =;" : "; x";
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), ct + "; boundary=last\r\n"), 0);
    EXPECT_EQ(recorded(ctx.get()), "multipart/mixed d1 --last --last-- f= e0");
    EXPECT_EQ(feed(ctx.get(), cd), -2);
}

// The part structure the parser finds with header interpretation: one line
// per header block ("H depth type encoding file"), per part end ("D depth
// body-bytes") and at the end ("M bytes").
std::string structure(std::string_view msg, size_t chunk, int *bad)
{
    std::string log;
    size_t body = 0;
    drive(msg, chunk, [&](ztmime_ctx *ctx, int ev, const ztview *v) {
        const ztmime_part &p = ctx->part;
        if (ev == ZTMIME_HEADERS_DONE || ev == ZTMIME_PART_HEADERS_DONE)
            log += "H " + std::to_string(p.depth) + " " + str(p.content_type) + " " + std::to_string(p.encoding) + " " +
                   str(p.filename) + "\n", body = 0;
        else if (ev == ZTMIME_PART_BODY || ev == ZTMIME_LONG_LINE)
            body += ztview_get_len(v);
        else if (ev == ZTMIME_PART_DONE)
            log += "D " + std::to_string(p.depth) + " " + std::to_string(std::exchange(body, 0)) + "\n";
        else if (ev == ZTMIME_MSG_DONE || ev == ZTMIME_ERROR)
            log += ev == ZTMIME_ERROR ? "E\n" : "M " + std::to_string(ztview_get_len(v)) + "\n";
    }, bad);
    return log;
}

TEST(WholeMessage, NestedMultipartsAndEmbeddedMessageInAnyChunking)
{
    const std::string msg =
        "From: a@example.org\r\nSubject: =?utf-8?q?caf=C3=A9?=\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed;\r\n boundary=\"outer\"\r\n\r\npreamble\r\n"
        "--outer\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nhello\r\n"
        "--outer\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n"
        "--inner\r\nContent-Type: text/plain\r\n\r\nalt1\r\n"
        "--inner\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n<p>alt2</p>\r\n"
        "--inner--\r\n"
        "--outer\r\nContent-Type: message/rfc822\r\n\r\nSubject: embedded\r\nContent-Type: text/plain\r\n\r\n"
        "inner body\r\n"
        "--outer\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.bin\r\n\r\nAAECAw==\r\n"
        "--outer--\r\nepilogue\r\n";
    const std::string expect = "H 1 multipart/mixed 0 \nD 1 10\nH 1 text/plain 0 \nD 1 7\n"
                               "H 2 multipart/alternative 0 \nD 2 0\nH 2 text/plain 0 \nD 2 6\nH 2 text/html 16 \n"
                               "D 1 13\nD 1 0\nH 1 message/rfc822 0 \nH 1 text/plain 0 \nD 1 12\n"
                               "H 1 application/octet-stream 8 r\xc3\xa9sum\xc3\xa9.bin\nD 0 10\nD 0 10\nM 0\n";
    for (size_t chunk : {1, 2, 3, 7, 64, 4096, 1 << 30}) {
        int bad = 0;
        EXPECT_EQ(structure(msg, chunk, &bad), expect) << "chunk " << chunk;
        EXPECT_EQ(bad, 0);
    }
    // A second, different Content-Type in a block fails; the first stays.
    int bad = 0;
    EXPECT_EQ(structure("Content-Type: multipart/mixed; boundary=b\r\nContent-Type: text/plain\r\n\r\n--b\r\n\r\nx\r\n"
                        "--b--\r\n", 5, &bad).substr(0, 22), "H 1 multipart/mixed 0 ");
    EXPECT_EQ(bad, 1);
}

TEST(Hostile, TwentyThousandNestedMultipartsOrPartsAreLinear)
{
    // A stack walked per line, or recursion, would not survive this.
    std::string nested, flat = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 20000; ++i) {
        std::string n = std::to_string(i);
        nested += "Content-Type: multipart/mixed; boundary=b" + n + "\r\n\r\n--b" + n + "\r\n";
        flat += "--b\r\nContent-Type: text/plain; name=f" + n + "\r\n\r\nx\r\n";
    }
    nested += "Content-Type: text/plain\r\n\r\nleaf\r\n";
    for (int i = 20000 - 1; i >= 0; --i)
        nested += "--b" + std::to_string(i) + "--\r\n";
    int bad = 0;
    std::string log = structure(nested, 65536, &bad);
    EXPECT_NE(log.find("H 20000 text/plain 0 \nD 19999 6\n"), std::string::npos);
    EXPECT_NE(log.find("D 0 0\nD 0 0\nM 0\n"), std::string::npos);
    EXPECT_NE(structure(flat + "--b--\r\n", 4096, &bad).find("H 1 text/plain 0 f19999\nD 0 3\n"), std::string::npos);
}

} // namespace
