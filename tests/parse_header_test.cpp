// Header interpretation: content types and boundaries, transfer-encoding
// codes, file names (also RFC 2231), the results 0, 1, -1 and -2 with
// their messages, hostile fields, and whole messages through the parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/alloc.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

struct CtxDeleter {
    void operator()(ztmime_ctx *c) const { ztmime_destroy(c); }
};
using Ctx = std::unique_ptr<ztmime_ctx, CtxDeleter>;

Ctx make_ctx() { return Ctx(ztmime_init(0, 0)); }

int feed(ztmime_ctx *ctx, std::string_view field, std::string *normalized = nullptr)
{
    View h = make_view(field);
    View out(normalized ? ztview_init() : nullptr);
    int r = ztmime_parse_header(ctx, h.get(), out.get());
    EXPECT_EQ(str(h.get()), field) << "the field must stay unchanged";
    if (normalized)
        *normalized = str(out.get());
    return r;
}

const ztmime_boundary *top(const ztmime_ctx *ctx)
{
    return reinterpret_cast<const ztmime_boundary *>(ctx->part.boundaries.top);
}

// ---------------------------------------------------------------------------
// Content-Type
// ---------------------------------------------------------------------------

TEST(ContentType, MultipartPushesBoundaryWithDelimiters)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"), 0);
    EXPECT_EQ(str(ctx->part.content_type), "multipart/mixed");
    EXPECT_EQ(ctx->part.depth, 1);
    ASSERT_TRUE(top(ctx.get()));
    EXPECT_EQ(str(top(ctx.get())->delimiter), "--b1");
    EXPECT_EQ(str(top(ctx.get())->close_delimiter), "--b1--");
}

TEST(ContentType, SameFieldTwicePushesOnceAndMismatchFails)
{
    Ctx ctx = make_ctx();
    const std::string f = "content-type: multipart/mixed;\r\n boundary=b1\r\n";
    EXPECT_EQ(feed(ctx.get(), f), 0);
    EXPECT_EQ(feed(ctx.get(), f), 0);
    EXPECT_EQ(ctx->part.depth, 1);
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain\r\n"), -1);
    EXPECT_STREQ(ztmime_strerror(), "Content-type mismatch 'text/plain' 'multipart/mixed'");
    EXPECT_EQ(feed(ctx.get(), "Content-Type: Multipart/Mixed\r\n"), -1) << "case matters";
    EXPECT_EQ(str(ctx->part.content_type), "multipart/mixed");
}

TEST(ContentType, MultipartInCapitalsStillPushes)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "CONTENT-TYPE: MULTIPART/ALTERNATIVE; BOUNDARY=x\r\n"), 0);
    EXPECT_EQ(ctx->part.depth, 1);
    EXPECT_EQ(str(top(ctx.get())->delimiter), "--x");
}

TEST(ContentType, NameParameterIsAFileName)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "Content-Type: application/pdf; name=\"a b.pdf\"\r\n"), 0);
    EXPECT_EQ(str(ctx->part.filename), "a b.pdf");
    EXPECT_EQ(ctx->part.depth, 0);
}

TEST(ContentType, BoundaryOnANonMultipartActsOnTheEnclosingEntry)
{
    Ctx ctx = make_ctx();
    ASSERT_EQ(feed(ctx.get(), "Content-Type: multipart/mixed; boundary=outer\r\n"), 0);
    ztmime_part_reset(&ctx->part);
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain; boundary=inner\r\n"), 0);
    EXPECT_EQ(ctx->part.depth, 1);
    EXPECT_EQ(str(top(ctx.get())->delimiter), "--inner");
    EXPECT_EQ(str(top(ctx.get())->close_delimiter), "--inner--");
}

TEST(ContentType, BoundaryWithoutOpenMultipartChangesNothing)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain; boundary=b\r\n"), 0);
    EXPECT_EQ(ctx->part.depth, 0);
    EXPECT_EQ(str(ctx->part.content_type), "text/plain");
}

TEST(ContentType, MultipartWithoutBoundaryHasEmptyDelimiters)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "Content-Type: multipart/mixed\r\n"), 0);
    EXPECT_EQ(ctx->part.depth, 1);
    EXPECT_EQ(ztview_get_len(top(ctx.get())->delimiter), 0u);
    EXPECT_EQ(ztview_get_len(top(ctx.get())->close_delimiter), 0u);
}

struct ResultCase {
    const char *name;
    std::string field;
    int result;
    const char *message;  // null: not checked
    const char *content_type;
};

class ContentTypeResult : public testing::TestWithParam<ResultCase> {};

TEST_P(ContentTypeResult, GivesStatedResult)
{
    const ResultCase &c = GetParam();
    Ctx ctx = make_ctx();
    ztmime_last_error[0] = 0;
    EXPECT_EQ(feed(ctx.get(), c.field), c.result);
    if (c.message) {
        EXPECT_STREQ(ztmime_strerror(), c.message);
    }
    EXPECT_EQ(str(ctx->part.content_type), c.content_type);
}

const ResultCase result_cases[] = {
    {"plain", "Content-Type: text/plain; charset=us-ascii\r\n", 0, "", "text/plain"},
    {"blank_before_colon_unrecognised", "Content-Type : text/plain\r\n", 0, "", ""},
    {"leading_blank_unrecognised", " Content-Type: text/plain\r\n", 0, "", ""},
    {"other_field", "Subject: Content-Type: x/y\r\n", 0, "", ""},
    {"empty_value", "Content-Type: \r\n", -1, nullptr, ""},
    {"quoted_value", "Content-Type: \"text/plain\"\r\n", -1,
     "Header value contains invalid double quote character '\"text/plain\"'", ""},
    {"comment_value", "Content-Type: text/(c)plain\r\n", -1, "Header value contains comments'text/(c)plain'", ""},
    {"empty_parameter_name", "Content-Type: text/plain; =x\r\n", -2, "Attribute name is empty", "text/plain"},
    {"missing_equals", "Content-Type: text/plain; charset\r\n", -2, "Invalid attribute. character '=' expected",
     "text/plain"},
    {"special_in_value", "Content-Type: text/plain; charset=a/b\r\n", -2,
     "Invalid special character '0x2f' inside MIME atom token", "text/plain"},
    {"unclosed_quote", "Content-Type: text/plain; name=\"abc\r\n", 0, "", "text/plain"},
    {"unclosed_comment", "Content-Type: text/plain; name=(abc\r\n", 0, "", "text/plain"},
    {"equals_everywhere", "Content-Type: text/plain;==;=;a==b;=\r\n", -2, nullptr, "text/plain"},
    {"eight_bit_bytes", "Content-Type: text/pl\xe9in; n\xe4me=\xff\r\n", 0, "", "text/pl\xe9in"},
    {"controls", "Content-Type: text/plain; a=\x01x\x02\r\n", -2,
     "Invalid controll character '0x2' inside MIME atom token", "text/plain"},
};
INSTANTIATE_TEST_SUITE_P(ContentType, ContentTypeResult, testing::ValuesIn(result_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ContentType, MalformedThenMismatchGivesMinusOne)
{
    Ctx ctx = make_ctx();
    ASSERT_EQ(feed(ctx.get(), "Content-Type: text/plain; name=a\r\n"), 0);
    // The first parameter is malformed (-2), the second a different file
    // name (-1): -1 wins.
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain; x; name=b\r\n"), -1);
    EXPECT_STREQ(ztmime_strerror(), "Filename mismatch 'b' 'a'");
}

// ---------------------------------------------------------------------------
// Content-Transfer-Encoding
// ---------------------------------------------------------------------------

TEST(TransferEncoding, CodesByPrefix)
{
    const std::pair<std::string, int> cases[] = {
        {"BASE64", ZTMIME_ENC_BASE64},      {"quoted-printable; junk", ZTMIME_ENC_QP},
        {"7bit", ZTMIME_ENC_7BIT},          {"8BIT", ZTMIME_ENC_8BIT},
        {"binary", ZTMIME_ENC_BINARY},      {"x-uuencode", ZTMIME_ENC_UUENCODE},
        {"x-token", ZTMIME_ENC_OTHER},      {"", ZTMIME_ENC_OTHER},
        {"\r\n\tbase64", ZTMIME_ENC_BASE64}, {"base6", ZTMIME_ENC_OTHER},
        {"7bitx", ZTMIME_ENC_7BIT},
    };
    Ctx ctx = make_ctx();
    for (const auto &[value, code] : cases) {
        EXPECT_EQ(feed(ctx.get(), "Content-Transfer-Encoding: " + value + "\r\n"), 0);
        EXPECT_EQ(ctx->part.encoding, code) << value;
    }
    // A later field overwrites; the field name is matched in any case.
    EXPECT_EQ(feed(ctx.get(), "content-transfer-encoding:base64"), 0);
    EXPECT_EQ(ctx->part.encoding, ZTMIME_ENC_BASE64);
}

// ---------------------------------------------------------------------------
// Content-Disposition and file names
// ---------------------------------------------------------------------------

TEST(Disposition, FirstFileNameWinsAndADifferentOneFails)
{
    Ctx ctx = make_ctx();
    ASSERT_EQ(feed(ctx.get(), "Content-Type: text/plain; name=a.txt\r\n"), 0);
    EXPECT_EQ(feed(ctx.get(), "Content-Disposition: attachment; filename=a.txt\r\n"), 0);
    EXPECT_EQ(feed(ctx.get(), "Content-Disposition: attachment; filename=\"b.txt\"\r\n"), -1);
    EXPECT_STREQ(ztmime_strerror(), "Filename mismatch 'b.txt' 'a.txt'");
    EXPECT_EQ(str(ctx->part.filename), "a.txt");
}

TEST(Disposition, NameParameterAndOtherParameters)
{
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), "Content-Disposition: inline; size=10;\r\n name=\"x y\"; creation-date=z\r\n"), 0);
    EXPECT_EQ(str(ctx->part.filename), "x y");
}

struct ExtCase {
    const char *name;
    std::string value;
    std::string before, after;
};

class ExtendedFilename : public testing::TestWithParam<ExtCase> {};

TEST_P(ExtendedFilename, ReplacesTheFileName)
{
    const ExtCase &c = GetParam();
    Ctx ctx = make_ctx();
    if (!c.before.empty()) {
        ASSERT_EQ(feed(ctx.get(), "Content-Type: text/plain; name=" + c.before + "\r\n"), 0);
    }
    EXPECT_EQ(feed(ctx.get(), "Content-Disposition: attachment; filename*=" + c.value + "\r\n"), 0);
    EXPECT_EQ(escaped(str(ctx->part.filename)), escaped(c.after));
}

const ExtCase ext_cases[] = {
    {"latin1", "ISO-8859-1''%E9t%E9", "", "\xc3\xa9t\xc3\xa9"},
    {"replaces_earlier", "ISO-8859-1''%E9t%E9", "old", "\xc3\xa9t\xc3\xa9"},
    {"utf8_with_language", "UTF-8'en'caf%C3%A9.txt", "", "caf\xc3\xa9.txt"},
    {"koi8", "koi8-r''%F0%D2", "x", "\xd0\x9f\xd1\x80"},
    {"unknown_charset_ignored", "x-nope''abc", "keep", "keep"},
    {"invalid_utf8_stops", "utf-8''ab%FFcd", "x", "ab"},
    {"nul_ends", "utf-8''ab%00cd", "x", "ab"},
    {"bad_hex_counts_as_zero", "utf-8''%4G%G4", "x", "@\x04"},
    {"percent_at_end", "utf-8''ab%", "x", "ab"},
    {"empty_text", "utf-8''", "x", ""},
    {"no_quotes_at_all", "utf-8", "x", ""},
};
INSTANTIATE_TEST_SUITE_P(Disposition, ExtendedFilename, testing::ValuesIn(ext_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Normalised copy and arguments
// ---------------------------------------------------------------------------

TEST(ParseHeader, NormalisedCopyAndNullArguments)
{
    Ctx ctx = make_ctx();
    std::string norm;
    EXPECT_EQ(feed(ctx.get(), "Subject: =?utf-8?q?caf=C3=A9?=\r\n =?utf-8?q?!?=\r\n", &norm), 0);
    EXPECT_EQ(norm, "Subject: caf\xc3\xa9!");
    EXPECT_EQ(feed(ctx.get(), "Content-Type: text/plain; name==?utf-8?q?a?=\r\n", &norm), -2);
    EXPECT_EQ(norm, "Content-Type: text/plain; name=a");
    // The recorded file name is the raw value, not the decoded one.
    EXPECT_EQ(str(ctx->part.filename), "=?utf-8?q?a?=");
    View h = make_view("Content-Type: text/plain\r\n");
    EXPECT_EQ(ztmime_parse_header(nullptr, h.get(), nullptr), 1);
    EXPECT_EQ(ztmime_parse_header(ctx.get(), nullptr, nullptr), 1);
}

TEST(ParseHeader, OutOfMemoryAtEveryPoint)
{
    const std::vector<std::string> fields = {
        "Content-Type: multipart/mixed; boundary=\"b\"; name=x\r\n",
        "Content-Disposition: attachment; filename*=ISO-8859-1''%E9t%E9\r\n",
        "Content-Transfer-Encoding: base64\r\n", "Subject: =?utf-8?q?a?= b\r\n"};
    for (const std::string &f : fields) {
        long n;
        {
            Ctx ctx = make_ctx();
            View out(ztview_init());
            View h = make_view(f);
            zt_alloc_fail_at(0);
            ztmime_parse_header(ctx.get(), h.get(), out.get());
            n = zt_alloc_fail_at(0);
        }
        for (long k = 1; k <= n; ++k) {
            Ctx ctx = make_ctx();
            View out(ztview_init());
            View h = make_view(f);
            zt_alloc_fail_at(k);
            int r = ztmime_parse_header(ctx.get(), h.get(), out.get());
            zt_alloc_fail_at(0);
            EXPECT_TRUE(r == 0 || r == -1 || r == -2) << f << " " << k;
        }
    }
}

// ---------------------------------------------------------------------------
// Hostile fields
// ---------------------------------------------------------------------------

TEST(Hostile, ThousandsOfParametersAreLinear)
{
    // 200k parameters; a loop that rescans the field per parameter would
    // run far past the test timeout.
    std::string f = "Content-Type: multipart/mixed";
    for (int i = 0; i < 200000; ++i)
        f += "; p" + std::to_string(i) + "=v";
    f += "; boundary=last\r\n";
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), f), 0);
    EXPECT_EQ(str(top(ctx.get())->delimiter), "--last");
}

TEST(Hostile, ManyMalformedParametersAreLinear)
{
    std::string f = "Content-Disposition: attachment";
    for (int i = 0; i < 100000; ++i)
        f += i % 3 ? "; =;" : "; x";
    Ctx ctx = make_ctx();
    EXPECT_EQ(feed(ctx.get(), f), -2);
}

} // namespace

// ---------------------------------------------------------------------------
// Whole messages through the parser
// ---------------------------------------------------------------------------

namespace {

// Drives a message through the parser in chunks, calling
// ztmime_parse_header on every header event, and logs the part structure:
// one line per header block ("H depth type encoding file") and one per
// part end ("D depth body-bytes").
std::string structure(std::string_view msg, size_t chunk, int *parse_results = nullptr)
{
    Ctx ctx = make_ctx();
    std::string log;
    size_t body = 0;
    int bad = 0;
    auto drain = [&](bool finishing) {
        for (;;) {
            ztview *raw = nullptr;
            ztmime_type t = ztmime_do(ctx.get(), &raw);
            View v(raw);
            switch (t) {
            case ZTMIME_NO_DATA:
                return;
            case ZTMIME_HEADER:
            case ZTMIME_PART_HEADER:
                if (ztmime_parse_header(ctx.get(), v.get(), nullptr) != 0)
                    ++bad;
                break;
            case ZTMIME_HEADERS_DONE:
            case ZTMIME_PART_HEADERS_DONE:
                log += "H " + std::to_string(ctx->part.depth) + " " + str(ctx->part.content_type) + " " +
                       std::to_string(ctx->part.encoding) + " " + str(ctx->part.filename) + "\n";
                body = 0;
                break;
            case ZTMIME_PART_BODY:
            case ZTMIME_LONG_LINE:
                body += ztview_get_len(v.get());
                break;
            case ZTMIME_PART_DONE:
                log += "D " + std::to_string(ctx->part.depth) + " " + std::to_string(body) + "\n";
                body = 0;
                break;
            case ZTMIME_MSG_DONE:
                log += "M " + std::to_string(ztview_get_len(v.get())) + "\n";
                return;
            case ZTMIME_ERROR:
                log += "E\n";
                return;
            default:
                break;
            }
            if (finishing && t == ZTMIME_MSG_DONE)
                return;
        }
    };
    for (size_t off = 0; off < msg.size(); off += chunk) {
        View c = make_view(msg.substr(off, chunk));
        ztmime_update(ctx.get(), c.get());
        drain(false);
    }
    ztmime_finish(ctx.get());
    drain(true);
    if (parse_results)
        *parse_results = bad;
    return log;
}

const size_t chunk_sizes[] = {1, 2, 3, 7, 64, 4096, 1 << 30};

const std::string nested_message =
    "From: a@example.org\r\n"
    "Subject: =?utf-8?q?caf=C3=A9?=\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed;\r\n boundary=\"outer\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--outer\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "hello\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=inner\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "alt1\r\n"
    "--inner\r\n"
    "Content-Type: text/html\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<p>alt2</p>\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "Subject: embedded\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "inner body\r\n"
    "--outer\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-Disposition: attachment; filename*=UTF-8''r%C3%A9sum%C3%A9.bin\r\n"
    "\r\n"
    "AAECAw==\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

} // namespace

TEST(WholeMessage, NestedMultipartsAndEmbeddedMessage)
{
    int bad = 0;
    const std::string expect = "H 1 multipart/mixed 0 \n"
                               "D 1 10\n"
                               "H 1 text/plain 0 \n"
                               "D 1 7\n"
                               "H 2 multipart/alternative 0 \n"
                               "D 2 0\n"
                               "H 2 text/plain 0 \n"
                               "D 2 6\n"
                               "H 2 text/html 16 \n"
                               "D 1 13\n"
                               "D 1 0\n"
                               "H 1 message/rfc822 0 \n"
                               "H 1 text/plain 0 \n"
                               "D 1 12\n"
                               "H 1 application/octet-stream 8 r\xc3\xa9sum\xc3\xa9.bin\n"
                               "D 0 10\n"
                               "D 0 10\n"
                               "M 0\n";
    for (size_t chunk : chunk_sizes) {
        EXPECT_EQ(structure(nested_message, chunk, &bad), expect) << "chunk " << chunk;
        EXPECT_EQ(bad, 0);
    }
}

TEST(WholeMessage, SecondDifferentContentTypeInABlockFails)
{
    const std::string msg = "Content-Type: multipart/mixed; boundary=b\r\n"
                            "Content-Type: text/plain\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n";
    int bad = 0;
    std::string log = structure(msg, 5, &bad);
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(log.substr(0, 22), "H 1 multipart/mixed 0 ");
}

TEST(Hostile, ThousandsOfNestedMultipartsAreLinear)
{
    // 20000 levels, each opened by its own Content-Type and closed in turn:
    // a stack walked per line, or recursion, would not survive this.
    const int levels = 20000;
    std::string msg;
    for (int i = 0; i < levels; ++i)
        msg += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
               std::to_string(i) + "\r\n";
    msg += "Content-Type: text/plain\r\n\r\nleaf\r\n";
    for (int i = levels - 1; i >= 0; --i)
        msg += "--b" + std::to_string(i) + "--\r\n";
    std::string log = structure(msg, 65536);
    EXPECT_NE(log.find("H 20000 text/plain 0 \nD 19999 6\n"), std::string::npos);
    EXPECT_NE(log.find("D 0 0\nD 0 0\nM 0\n"), std::string::npos);
}

TEST(Hostile, ThousandsOfPartsInOneMultipart)
{
    std::string msg = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
    for (int i = 0; i < 20000; ++i)
        msg += "--b\r\nContent-Type: text/plain; name=f" + std::to_string(i) + "\r\n\r\nx\r\n";
    msg += "--b--\r\n";
    std::string log = structure(msg, 4096);
    EXPECT_NE(log.find("H 1 text/plain 0 f19999\nD 0 3\n"), std::string::npos);
}
