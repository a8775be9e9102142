// Parser context lifecycle, the driver's state table and its edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "common/error.h"
#include "mime/ctx.h"
#include "parser_harness.h"
#include "zt_test.h"

using parser_test::Event;
using parser_test::Options;
using parser_test::run_parser;
using zt_test::make_view;
using zt_test::str;
using zt_test::View;

namespace {

struct Ctx {
    ztmime_ctx *ctx;
    explicit Ctx(uint32_t max_line = 0, uint32_t flags = 0) : ctx(ztmime_init(max_line, flags)) {}
    ~Ctx() { ztmime_destroy(ctx); }
    ztmime_ctx *operator->() const { return ctx; }
    void feed(const std::string &s) const
    {
        View v = make_view(s);
        ASSERT_EQ(ztmime_update(ctx, v.get()), 0);
    }
    // One call of ztmime_do; the view's bytes go to *bytes (has_view false
    // when no view came).
    int next(std::string *bytes = nullptr, bool *has_view = nullptr) const
    {
        ztview *out = reinterpret_cast<ztview *>(1);
        int ev = ztmime_do(ctx, &out);
        if (bytes)
            *bytes = str(out);
        if (has_view)
            *has_view = out != nullptr;
        ztview_destroy(out);
        return ev;
    }
    std::string input() const { return str(ctx->input); }
};

void push(ztmime_ctx *ctx, const char *value)
{
    if (!value) {
        ASSERT_EQ(ztmime_boundary_add(&ctx->part, nullptr), 0);
        return;
    }
    View v = make_view(value);
    ASSERT_EQ(ztmime_boundary_add(&ctx->part, v.get()), 0);
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST(ParserLifecycle, InitSetsUpAnEmptyContext)
{
    zt_set_error("stale");
    Ctx c(78, ZTMIME_FLAG_UUENCODE);
    ASSERT_NE(c.ctx, nullptr);
    EXPECT_STREQ(ztmime_strerror(), "");
    EXPECT_EQ(c->state, ZTMIME_HEADER);
    EXPECT_EQ(c->flags, ZTMIME_FLAG_UUENCODE);
    EXPECT_EQ(c->max_line, 78u);
    EXPECT_NE(c->input, nullptr);
    EXPECT_EQ(c->header, nullptr);
    EXPECT_EQ(c->scratch, nullptr);
    EXPECT_NE(c->part.filename, nullptr);
    EXPECT_NE(c->part.content_type, nullptr);
    EXPECT_EQ(c->part.depth, 0);
    EXPECT_EQ(c->part.boundaries.top, nullptr);
    EXPECT_EQ(c->rfc822_top, nullptr);
}

TEST(ParserLifecycle, TypeNames)
{
    EXPECT_STREQ(ztmime_type_to_str(-1), "ZTMIME_ERROR");
    EXPECT_STREQ(ztmime_type_to_str(0), "ZTMIME_NO_DATA");
    EXPECT_STREQ(ztmime_type_to_str(7), "ZTMIME_MSG_DONE");
    EXPECT_STREQ(ztmime_type_to_str(10), "ZTMIME_UUENCODE_BODY");
    EXPECT_STREQ(ztmime_type_to_str(12), "ZTMIME_BINHEX_HEADER");
    const char *a = ztmime_type_to_str(13);
    EXPECT_STREQ(a, "ZTMIME_UNKNOWN 13");
    const char *b = ztmime_type_to_str(-2);
    EXPECT_STREQ(b, "ZTMIME_UNKNOWN -2");
    EXPECT_EQ(a, b); // one static buffer
}

TEST(ParserLifecycle, LastErrorIsCutAt128Characters)
{
    std::string msg(200, 'x');
    zt_set_error("%s", msg.c_str());
    EXPECT_EQ(std::string(ztmime_strerror()), msg.substr(0, 128));
}

TEST(ParserLifecycle, NullArguments)
{
    EXPECT_EQ(ztmime_finish(nullptr), -1);
    ztmime_destroy(nullptr);
    EXPECT_EQ(ztmime_reset(nullptr), 0);
    EXPECT_EQ(ztmime_part_reset(nullptr), -1);
    EXPECT_EQ(ztmime_update(nullptr, nullptr), -1);
    EXPECT_EQ(ztmime_boundary_add(nullptr, nullptr), -1);
    EXPECT_EQ(ztmime_boundary_pop(nullptr), -1);

    ztview *out = reinterpret_cast<ztview *>(1);
    EXPECT_EQ(ztmime_do(nullptr, &out), ZTMIME_ERROR);
    EXPECT_EQ(out, nullptr);
    EXPECT_STREQ(ztmime_strerror(), "Invalid NULL parameters for ztmime_do");
    Ctx c;
    zt_set_error("x");
    EXPECT_EQ(ztmime_do(c.ctx, nullptr), ZTMIME_ERROR);
    EXPECT_STREQ(ztmime_strerror(), "Invalid NULL parameters for ztmime_do");
}

TEST(ParserLifecycle, UpdateFailsAfterMessageDoneUntilReset)
{
    Ctx c;
    c.feed("A: b\r\n\r\nbody");
    ztmime_finish(c.ctx);
    int ev;
    while ((ev = c.next()) != ZTMIME_MSG_DONE)
        ASSERT_NE(ev, ZTMIME_ERROR);
    EXPECT_EQ(c->input, nullptr);
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    View v = make_view("x");
    EXPECT_EQ(ztmime_update(c.ctx, v.get()), -1);
    EXPECT_EQ(ztmime_reset(c.ctx), 0);
    EXPECT_EQ(ztmime_update(c.ctx, v.get()), 0);
    EXPECT_EQ(c.input(), "x");
}

TEST(ParserLifecycle, ResetKeepsFinishSoTheNextMessageEndsAtItsInput)
{
    Ctx c;
    c.feed("A: b\r\n");
    ztmime_finish(c.ctx);
    EXPECT_EQ(ztmime_reset(c.ctx), 0);
    EXPECT_TRUE(c->flags & ZTMIME_FLAG_FINISH);
    EXPECT_EQ(c.input(), "");
    c.feed("C: d\r\n");
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_HEADER);
    EXPECT_EQ(s, "C: d\r\n");
    EXPECT_EQ(c.next(), ZTMIME_HEADERS_DONE);
    EXPECT_EQ(c.next(), ZTMIME_MSG_DONE);
}

TEST(ParserLifecycle, ResetClearsEverythingButOptions)
{
    Ctx c(10, ZTMIME_FLAG_DOT_END);
    c.feed("A: b\r\n");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA); // the field is pending
    ASSERT_NE(c->header, nullptr);
    push(c.ctx, "a");
    push(c.ctx, nullptr);
    push(c.ctx, "c");
    c->rfc822_top = ztmime_boundary_top(&c->part);
    c->long_header = 1;
    c->state = ZTMIME_PART_BODY;
    ztview_appends(c->part.content_type, "text/plain");
    ztview_appends(c->part.filename, "f");
    c->part.encoding = ZTMIME_ENC_BASE64;

    EXPECT_EQ(ztmime_reset(c.ctx), 0);
    EXPECT_EQ(c->state, ZTMIME_HEADER);
    EXPECT_EQ(c->header, nullptr);
    EXPECT_EQ(c->part.depth, 0);
    EXPECT_EQ(c->part.boundaries.top, nullptr);
    EXPECT_EQ(c->rfc822_top, nullptr);
    EXPECT_EQ(c->long_header, 0);
    EXPECT_EQ(str(c->part.content_type), "");
    EXPECT_EQ(str(c->part.filename), "");
    EXPECT_EQ(c->part.encoding, 0);
    EXPECT_EQ(c->max_line, 10u);
    EXPECT_EQ(c->flags, ZTMIME_FLAG_DOT_END);
}

TEST(ParserLifecycle, BoundaryAddAndPop)
{
    Ctx c;
    push(c.ctx, "b1");
    ztmime_boundary *t = ztmime_boundary_top(&c->part);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(str(t->delimiter), "--b1");
    EXPECT_EQ(str(t->close_delimiter), "--b1--");
    EXPECT_EQ(c->part.depth, 1);
    push(c.ctx, nullptr);
    t = ztmime_boundary_top(&c->part);
    EXPECT_EQ(str(t->delimiter), "");
    EXPECT_EQ(str(t->close_delimiter), "");
    EXPECT_EQ(c->part.depth, 2);
    EXPECT_EQ(ztmime_boundary_pop(&c->part), 0);
    EXPECT_EQ(ztmime_boundary_pop(&c->part), 0);
    EXPECT_EQ(c->part.depth, 0);
    EXPECT_EQ(ztmime_boundary_pop(&c->part), -1);
}

// ---------------------------------------------------------------------------
// Allocation failures: each allocation of a call fails in turn; the call
// reports it and leaves nothing behind.

TEST(ParserAllocation, InitFailsCleanlyAtEveryAllocation)
{
    zt_alloc_fail_at(0);
    ztmime_destroy(ztmime_init(0, 0));
    long n = zt_alloc_fail_at(0);
    ASSERT_GT(n, 2);
    long live = ztview_live_count(nullptr);
    for (long i = 1; i <= n; ++i) {
        errno = 0;
        zt_alloc_fail_at(i);
        ztmime_ctx *ctx = ztmime_init(0, 0);
        zt_alloc_fail_at(0);
        EXPECT_EQ(ctx, nullptr) << "allocation " << i;
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_EQ(ztview_live_count(nullptr), live);
        ztmime_destroy(ctx);
    }
    zt_alloc_fail_at(1);
    EXPECT_EQ(ztmime_init(0, 0), nullptr);
    zt_alloc_fail_at(0);
    EXPECT_STREQ(ztmime_strerror(), "Unable allocate mime structure");
}

TEST(ParserAllocation, BoundaryAddFailsCleanlyAtEveryAllocation)
{
    Ctx c;
    View b = make_view("boundary-value");
    zt_alloc_fail_at(0);
    ASSERT_EQ(ztmime_boundary_add(&c->part, b.get()), 0);
    long n = zt_alloc_fail_at(0);
    ztmime_boundary_pop(&c->part);
    long live = ztview_live_count(nullptr);
    for (long i = 1; i <= n; ++i) {
        zt_alloc_fail_at(i);
        int rc = ztmime_boundary_add(&c->part, b.get());
        zt_alloc_fail_at(0);
        EXPECT_EQ(rc, -1) << "allocation " << i;
        EXPECT_EQ(c->part.depth, 0);
        EXPECT_EQ(c->part.boundaries.top, nullptr);
        EXPECT_EQ(ztview_live_count(nullptr), live);
    }
}

TEST(ParserAllocation, PartResetFailsWhenAViewCannotBeMade)
{
    ztmime_part part{};
    zt_alloc_fail_at(0);
    ASSERT_EQ(ztmime_part_reset(&part), 0);
    long n = zt_alloc_fail_at(0);
    ztview_destroy(part.filename);
    ztview_destroy(part.content_type);
    for (long i = 1; i <= n; ++i) {
        ztmime_part p{};
        zt_alloc_fail_at(i);
        EXPECT_EQ(ztmime_part_reset(&p), -1) << "allocation " << i;
        zt_alloc_fail_at(0);
        ztview_destroy(p.filename);
        ztview_destroy(p.content_type);
    }
}

// A failed allocation inside ztmime_do gives ZTMIME_ERROR and changes
// nothing: retrying the call gives the events an undisturbed run gives.
TEST(ParserAllocation, DriverRecoversFromEveryFailedAllocation)
{
    const std::string msg =
        "Subject: a\r\n folded\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "pre\rx\r\n--b\r\nX: y\r\n\r\nline\r\n--b--\r\nepi\r\n";
    Options opt;
    std::vector<Event> want = run_parser(msg, 0, opt).events;

    Ctx c;
    c.feed(msg);
    ztmime_finish(c.ctx);
    Options follow;
    std::vector<Event> got;
    for (int call = 0; call < 100; ++call) {
        int ev = ZTMIME_ERROR;
        ztview *out = nullptr;
        for (long fail = 1; fail < 50; ++fail) {
            zt_alloc_fail_at(fail);
            ev = ztmime_do(c.ctx, &out);
            zt_alloc_fail_at(0);
            if (ev != ZTMIME_ERROR)
                break;
            EXPECT_EQ(out, nullptr);
        }
        ASSERT_NE(ev, ZTMIME_ERROR);
        Event e{ev, out != nullptr, str(out)};
        ztview_destroy(out);
        if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
            parser_test::follow_header(c.ctx, e.bytes);
        got.push_back(e);
        if (ev == ZTMIME_MSG_DONE)
            break;
    }
    EXPECT_EQ(parser_test::format_log(parser_test::merged(got)),
              parser_test::format_log(parser_test::merged(want)));
}

// ---------------------------------------------------------------------------
// The driver's state table: one call from a prepared context.

struct StateCase {
    const char *name;
    int state;
    uint32_t flags;
    uint32_t max_line;
    std::vector<const char *> boundaries; // pushed in order; "" marks a null value
    bool rfc822_at_bottom;                // rfc822_top = the first entry pushed
    const char *content_type;
    std::string input;
    bool finish;
    int want;
    const char *want_view;  // null: no view
    int want_state;
    std::string want_rest;
    int want_depth;         // -1: not checked
};

std::ostream &operator<<(std::ostream &os, const StateCase &c) { return os << c.name; }

class DriverStateTable : public testing::TestWithParam<StateCase> {};

TEST_P(DriverStateTable, OneCall)
{
    const StateCase &tc = GetParam();
    Ctx c(tc.max_line, tc.flags);
    c->state = tc.state;
    ztmime_boundary *bottom = nullptr;
    for (const char *b : tc.boundaries) {
        push(c.ctx, *b ? b : nullptr);
        if (!bottom)
            bottom = ztmime_boundary_top(&c->part);
    }
    if (tc.rfc822_at_bottom)
        c->rfc822_top = bottom;
    ztview_appends(c->part.content_type, tc.content_type);
    c.feed(tc.input);
    if (tc.finish)
        ztmime_finish(c.ctx);
    std::string got;
    bool has_view;
    EXPECT_STREQ(ztmime_type_to_str(c.next(&got, &has_view)), ztmime_type_to_str(tc.want));
    if (tc.want_view) {
        EXPECT_TRUE(has_view);
        EXPECT_EQ(zt_test::escaped(got), zt_test::escaped(tc.want_view));
    } else {
        EXPECT_FALSE(has_view) << zt_test::escaped(got);
    }
    EXPECT_EQ(c->state, tc.want_state);
    if (tc.want != ZTMIME_MSG_DONE) {
        EXPECT_EQ(zt_test::escaped(c.input()), zt_test::escaped(tc.want_rest));
    }
    if (tc.want_depth >= 0) {
        EXPECT_EQ(c->part.depth, tc.want_depth);
    }
}

const uint32_t UU = ZTMIME_FLAG_UUENCODE, DOT = ZTMIME_FLAG_DOT_END, BIN = ZTMIME_FLAG_BINARY;
const std::string binhex = "(This file must be converted with BinHex 4.0)\r\n";

const StateCase state_cases[] = {
    // Header blocks.
    {"FieldNeedsTheNextLine", 1, 0, 0, {}, false, "", "A: 1\r\n", false, ZTMIME_NO_DATA, nullptr, 1, "", -1},
    {"FieldComplete", 1, 0, 0, {}, false, "", "A: 1\r\nB: 2\r\n", false, ZTMIME_HEADER, "A: 1\r\n", 1, "B: 2\r\n", -1},
    {"FieldAtEnd", 1, 0, 0, {}, false, "", "A: 1\r\n", true, ZTMIME_HEADER, "A: 1\r\n", 1, "", -1},
    {"ColonFirstIsAField", 1, 0, 0, {}, false, "", ":x\r\n\r\n", false, ZTMIME_HEADER, ":x\r\n", 1, "\r\n", -1},
    {"BlankCrLfEndsBlock", 1, 0, 0, {}, false, "", "\r\nbody", false, ZTMIME_HEADERS_DONE, "\r\n", 4, "body", -1},
    {"BlankLfEndsBlock", 1, 0, 0, {}, false, "", "\nbody", false, ZTMIME_HEADERS_DONE, "\n", 4, "body", -1},
    {"NonFieldLineStays", 1, 0, 0, {}, false, "", "From x\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 4, "From x\r\n", -1},
    {"LeadingSpaceStays", 1, 0, 0, {}, false, "", " x: y\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 4, " x: y\r\n", -1},
    {"PartBlockEnds", 3, 0, 0, {}, false, "", "\r\nx", false, ZTMIME_PART_HEADERS_DONE, "\r\n", 4, "x", -1},
    {"PartField", 3, 0, 0, {}, false, "", "X: y\r\n\r\n", false, ZTMIME_PART_HEADER, "X: y\r\n", 3, "\r\n", -1},
    {"HeaderEndOfInput", 1, 0, 0, {}, false, "", "", true, ZTMIME_HEADERS_DONE, nullptr, 2, "", -1},
    // After a header block.
    {"EmbeddedMessage", 4, 0, 0, {"o"}, false, "Message/RFC822", "A: b\r\n\r\n", false, ZTMIME_HEADER, "A: b\r\n", 1, "\r\n", 1},
    {"BodyFollows", 4, 0, 0, {}, false, "text/plain", "body\r\n", false, ZTMIME_PART_BODY, "body\r\n", 5, "", -1},
    {"OverLongBeforeBody", 4, 0, 3, {}, false, "", "body\r\n", false, ZTMIME_LONG_LINE, "body\r\n", 4, "", -1},
    // Delimiters.
    {"Delimiter", 5, 0, 0, {"b"}, false, "", "--b\r\nX", false, ZTMIME_PART_DONE, "--b\r\n", 3, "X", 1},
    {"CloseDelimiter", 5, 0, 0, {"a", "b"}, false, "", "--b--\r\nX", false, ZTMIME_PART_DONE, "--b--\r\n", 5, "X", 1},
    {"DelimiterIsAPrefixMatch", 5, 0, 0, {"b"}, false, "", "--bx\r\n", false, ZTMIME_PART_DONE, "--bx\r\n", 3, "", 1},
    {"OuterDelimiterIsBody", 5, 0, 0, {"a", "b"}, false, "", "--a\r\n", false, ZTMIME_PART_BODY, "--a\r\n", 5, "", 2},
    {"EmptyDelimiterMatchesNothing", 5, 0, 0, {""}, false, "", "--\r\n", false, ZTMIME_PART_BODY, "--\r\n", 5, "", 1},
    {"EmbeddedCloseDelimiter", 5, 0, 0, {"o", "i"}, true, "", "--o--\r\n", false, ZTMIME_PART_DONE, "--o--\r\n", 5, "", 1},
    {"EmbeddedDelimiter", 5, 0, 0, {"o", "i"}, true, "", "--o\r\n", false, ZTMIME_PART_DONE, "--o\r\n", 3, "", 1},
    // Uuencode and BinHex.
    {"UuBegin", 5, UU, 0, {}, false, "", "begin 644 f\r\nM\r\n", false, ZTMIME_UUENCODE_HEADER, "begin 644 f\r\n", 10, "M\r\n", -1},
    {"UuBeginCapitals", 5, UU, 0, {}, false, "", "BEGIN 644 f\r\nx\r\n", false, ZTMIME_UUENCODE_HEADER, "BEGIN 644 f\r\n", 10, "x\r\n", -1},
    {"UuBeginWaitsForALineEnd", 5, UU, 0, {}, false, "", "begin 644 f\r\nM", false, ZTMIME_NO_DATA, nullptr, 5, "begin 644 f\r\nM", -1},
    {"UuBeginLastLineAtEnd", 5, UU, 0, {}, false, "", "begin 644 f\r\n", true, ZTMIME_UUENCODE_HEADER, "begin 644 f\r\n", 10, "", -1},
    {"UuBeginModeZeroIsBody", 5, UU, 0, {}, false, "", "begin 0 f\r\nx\r\n", false, ZTMIME_PART_BODY, "begin 0 f\r\nx\r\n", 5, "", -1},
    {"UuBeginWithoutFlagIsBody", 5, 0, 0, {}, false, "", "begin 644 f\r\n", false, ZTMIME_PART_BODY, "begin 644 f\r\n", 5, "", -1},
    {"UuEnd", 10, 0, 0, {}, false, "", "END\r\nx", false, ZTMIME_UUENCODE_DONE, "END\r\n", 5, "x", -1},
    {"UuLine", 10, 0, 0, {"b"}, false, "", "--b\r\n", false, ZTMIME_PART_BODY, "--b\r\n", 10, "", 1},
    {"BinHex", 5, 0, 0, {}, false, "", binhex + "x\r\n", false, ZTMIME_BINHEX_HEADER, binhex.c_str(), 5, "x\r\n", -1},
    // End of input.
    {"BodyEndOfInput", 5, 0, 0, {}, false, "", "", true, ZTMIME_PART_DONE, nullptr, 6, "", -1},
    {"UnterminatedBodyAtEnd", 5, 0, 0, {}, false, "", "abc", true, ZTMIME_PART_DONE, nullptr, 6, "abc", -1},
    {"MessageDone", 6, 0, 0, {}, false, "", "abc", true, ZTMIME_MSG_DONE, "abc", 6, "", -1},
    {"MessageDoneAfterPartHeader", 3, 0, 0, {}, false, "", "", true, ZTMIME_MSG_DONE, "", 3, "", -1},
    {"MessageDoneInUuBlock", 10, 0, 0, {}, false, "", "x", true, ZTMIME_MSG_DONE, "x", 10, "", -1},
    {"LineAfterEndInHeader", 2, 0, 0, {}, false, "", "x\r\n", false, ZTMIME_ERROR, nullptr, 2, "x\r\n", -1},
    {"LineAfterEndInBody", 6, 0, 0, {}, false, "", "x\r\n", true, ZTMIME_ERROR, nullptr, 6, "x\r\n", -1},
    // Length limit.
    {"ElevenCharsLf", 5, 0, 10, {}, false, "", "12345678901\nx", false, ZTMIME_LONG_LINE, "12345678901\n", 5, "x", -1},
    {"TenCharsCrLf", 5, 0, 10, {}, false, "", "1234567890\r\nx", false, ZTMIME_LONG_LINE, "1234567890\r\n", 5, "x", -1},
    {"TenCharsLf", 5, 0, 10, {}, false, "", "1234567890\n", false, ZTMIME_PART_BODY, "1234567890\n", 5, "", -1},
    {"TenCharsCrLfInBatch", 5, 0, 10, {}, false, "", "a\r\n1234567890\r\nc\r\n", false, ZTMIME_PART_BODY, "a\r\n1234567890\r\nc\r\n", 5, "", -1},
    {"ElevenCharsEndBatch", 5, 0, 10, {}, false, "", "a\r\n12345678901\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "12345678901\r\n", -1},
    {"UnterminatedOverLongBody", 5, 0, 10, {}, false, "", "123456789012345", false, ZTMIME_LONG_LINE, "123456789012345", 5, "", -1},
    {"UnterminatedOverLongHeaderWaits", 1, 0, 10, {}, false, "", "123456789012345", false, ZTMIME_NO_DATA, nullptr, 1, "123456789012345", -1},
    // Batches.
    {"BatchStopsAtDash", 5, 0, 0, {}, false, "", "a\r\n-x\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "-x\r\n", -1},
    {"BatchStopsAtLowerB", 5, 0, 0, {}, false, "", "a\r\nbx\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "bx\r\n", -1},
    {"BatchTakesUpperB", 5, 0, 0, {}, false, "", "a\r\nBx\r\n", false, ZTMIME_PART_BODY, "a\r\nBx\r\n", 5, "", -1},
    {"BatchStopsAtParen", 5, 0, 0, {}, false, "", "a\r\n(x\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "(x\r\n", -1},
    {"BatchStopsAtBlankCrLf", 5, 0, 0, {}, false, "", "a\r\n\r\nc\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "\r\nc\r\n", -1},
    {"BatchTakesBlankLf", 5, 0, 0, {}, false, "", "a\n\nc\n", false, ZTMIME_PART_BODY, "a\n\nc\n", 5, "", -1},
    {"BatchTakesDotWithoutDotEnd", 5, 0, 0, {}, false, "", "a\r\n.x\r\n", false, ZTMIME_PART_BODY, "a\r\n.x\r\n", 5, "", -1},
    {"BatchStopsAtDotWithDotEnd", 5, DOT, 0, {}, false, "", "a\r\n.x\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, ".x\r\n", -1},
    {"BatchStopsAtIncompleteLine", 5, 0, 0, {}, false, "", "a\r\nxyz", false, ZTMIME_PART_BODY, "a\r\n", 5, "xyz", -1},
    {"BatchStopsAtTrailingCr", 5, 0, 0, {}, false, "", "a\r\nx\r", false, ZTMIME_PART_BODY, "a\r\n", 5, "x\r", -1},
    {"BatchStopsAtBareCr", 5, 0, 0, {}, false, "", "a\r\nx\ry\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "x\ry\r\n", -1},
    // Dot end.
    {"DotEnd", 5, DOT, 0, {}, false, "", ".\r\nafter", false, ZTMIME_PART_DONE, nullptr, 6, ".\r\nafter", -1},
    {"DotLfIsBody", 5, DOT, 0, {}, false, "", ".\n", false, ZTMIME_PART_BODY, ".\n", 5, "", -1},
    {"TwoDotsAreBody", 5, DOT, 0, {}, false, "", "..\r\n", false, ZTMIME_PART_BODY, "..\r\n", 5, "", -1},
    {"DotEndInHeader", 1, DOT, 0, {}, false, "", ".\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 2, ".\r\n", -1},
    // Binary mode.
    {"BinaryFiftyBytesWait", 5, BIN, 0, {}, false, "", std::string(50, 'x'), false, ZTMIME_NO_DATA, nullptr, 5, std::string(50, 'x'), -1},
    {"BinaryFiftyOneBytes", 1, BIN, 0, {}, false, "", std::string(51, 'x'), false, ZTMIME_PART_BODY, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 1, "", -1},
    {"BinaryLineEndsAtBareCr", 5, BIN, 0, {}, false, "", "a\rb\r\n", false, ZTMIME_PART_BODY, "a\r", 5, "b\r\n", -1},
    {"BinaryHasNoLimit", 5, BIN, 2, {}, false, "", "abcdef\n", false, ZTMIME_PART_BODY, "abcdef\n", 5, "", -1},
    // Bare CR repair.
    {"BareCrBecomesCrLf", 5, 0, 0, {}, false, "", "a\rx\r\n", false, ZTMIME_PART_BODY, "a\r\nx\r\n", 5, "", -1},
    {"DoubleCrBecomesOne", 5, 0, 0, {}, false, "", "a\r\r\nc\n", false, ZTMIME_PART_BODY, "a\r\nc\n", 5, "", -1},
    {"LeadingCrDropped", 5, 0, 0, {}, false, "", "\rab\n", false, ZTMIME_PART_BODY, "ab\n", 5, "", -1},
    {"TrailingCrWaits", 5, 0, 0, {}, false, "", "ab\r", false, ZTMIME_NO_DATA, nullptr, 5, "ab\r", -1},
    {"BareCrInHeader", 1, 0, 0, {}, false, "", "A: b\rC: d\r\n", true, ZTMIME_HEADER, "A: b\r\n", 1, "C: d\r\n", -1},
};

INSTANTIATE_TEST_SUITE_P(States, DriverStateTable, testing::ValuesIn(state_cases),
                         [](const testing::TestParamInfo<StateCase> &info) { return info.param.name; });

TEST(DriverStateTable, EmbeddedDelimiterPopsDownAndMarksTheNextPart)
{
    Ctx c;
    push(c.ctx, "o");
    c->rfc822_top = ztmime_boundary_top(&c->part);
    push(c.ctx, "i1");
    push(c.ctx, "i2");
    c->state = ZTMIME_PART_BODY;
    c.feed("--o\r\n");
    EXPECT_EQ(c.next(), ZTMIME_PART_DONE);
    EXPECT_EQ(c->part.depth, 1);
    EXPECT_EQ(str(ztmime_boundary_top(&c->part)->delimiter), "--o");
    EXPECT_EQ(c->rfc822_top, nullptr);
    EXPECT_EQ(str(c->part.content_type), "message/rfc822");
    EXPECT_EQ(c->state, ZTMIME_PART_HEADER);
}

TEST(DriverStateTable, ClosingTheEmbeddedEntryItselfClearsIt)
{
    Ctx c;
    push(c.ctx, "o");
    c->rfc822_top = ztmime_boundary_top(&c->part);
    c->state = ZTMIME_PART_BODY;
    c.feed("--o--\r\n");
    EXPECT_EQ(c.next(), ZTMIME_PART_DONE);
    EXPECT_EQ(c->part.depth, 0);
    EXPECT_EQ(c->rfc822_top, nullptr);
}

TEST(DriverStateTable, EndOfHeaderBlockEmptiesThePartRecord)
{
    Ctx c;
    push(c.ctx, "o");
    c->state = ZTMIME_PART_HEADERS_DONE;
    ztview_appends(c->part.content_type, "message/rfc822; x");
    ztview_appends(c->part.filename, "f.txt");
    c->part.encoding = ZTMIME_ENC_BASE64;
    c.feed("A: b\r\n");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    EXPECT_EQ(c->state, ZTMIME_HEADER);
    EXPECT_EQ(c->rfc822_top, ztmime_boundary_top(&c->part));
    EXPECT_EQ(str(c->part.content_type), "");
    EXPECT_EQ(str(c->part.filename), "");
    EXPECT_EQ(c->part.encoding, 0);
}

// ---------------------------------------------------------------------------
// Sequences over several calls.

TEST(DriverSequences, SingleHeaderLineThenFinish)
{
    Ctx c;
    c.feed("Subject: x\r\n");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    ztmime_finish(c.ctx);
    std::string s;
    bool v;
    EXPECT_EQ(c.next(&s), ZTMIME_HEADER);
    EXPECT_EQ(s, "Subject: x\r\n");
    EXPECT_EQ(c.next(&s, &v), ZTMIME_HEADERS_DONE);
    EXPECT_FALSE(v);
    EXPECT_EQ(c->state, ZTMIME_HEADERS_DONE);
    EXPECT_EQ(c.next(&s, &v), ZTMIME_MSG_DONE);
    EXPECT_TRUE(v);
    EXPECT_EQ(s, "");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
}

TEST(DriverSequences, FoldedFieldBlankLineAndBody)
{
    Ctx c;
    c.feed("Subject: a\r\n b\r\n\r\nbody\r\n");
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_HEADER);
    EXPECT_EQ(s, "Subject: a\r\n b\r\n");
    EXPECT_EQ(c.next(&s), ZTMIME_HEADERS_DONE);
    EXPECT_EQ(s, "\r\n");
    EXPECT_EQ(c.next(&s), ZTMIME_PART_BODY);
    EXPECT_EQ(s, "body\r\n");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
}

TEST(DriverSequences, FieldSplitOverThreeUpdates)
{
    Ctx c;
    c.feed("Subj");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    c.feed("ect: hel");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    c.feed("lo\r\n");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    c.feed("\r\n");
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_HEADER);
    EXPECT_EQ(s, "Subject: hello\r\n");
}

TEST(DriverSequences, CrAtTheEndWaitsForTheNextByte)
{
    Ctx c;
    c->state = ZTMIME_PART_BODY;
    c.feed("ab\r");
    EXPECT_EQ(c.next(), ZTMIME_NO_DATA);
    c.feed("c\n");
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_PART_BODY);
    EXPECT_EQ(s, "ab\r\nc\n");
}

TEST(DriverSequences, OverLongFirstLineOfAField)
{
    Ctx c(10);
    c.feed("Subject: far too long\r\n more\r\nA: b\r\n\r\n");
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_LONG_LINE);
    EXPECT_EQ(s, "Subject: far too long\r\n"); // the continuation line is dropped
    EXPECT_EQ(c.next(&s), ZTMIME_HEADER);
    EXPECT_EQ(s, "A: b\r\n");
    EXPECT_EQ(c.next(&s), ZTMIME_HEADERS_DONE);
}

TEST(DriverSequences, SecondContinuationAfterDropEndsTheBlock)
{
    Ctx c(10);
    c.feed("A: b\r\n this line is long\r\n c\r\n\r\n");
    std::string s;
    bool v;
    EXPECT_EQ(c.next(&s), ZTMIME_LONG_LINE);
    EXPECT_EQ(s, "A: b\r\n");
    EXPECT_EQ(c.next(&s, &v), ZTMIME_HEADERS_DONE);
    EXPECT_FALSE(v);
    EXPECT_EQ(c.input(), " c\r\n\r\n");
}

TEST(DriverSequences, DotEndEndsWithoutFinish)
{
    Ctx c(0, ZTMIME_FLAG_DOT_END);
    c.feed("A: b\r\n\r\nhello\r\n.\r\nnext");
    std::vector<int> evs;
    std::string s;
    int ev;
    while ((ev = c.next(&s)) != ZTMIME_NO_DATA) {
        evs.push_back(ev);
        if (ev == ZTMIME_MSG_DONE)
            break;
    }
    EXPECT_EQ(evs, (std::vector<int>{ZTMIME_HEADER, ZTMIME_HEADERS_DONE, ZTMIME_PART_BODY,
                                     ZTMIME_PART_DONE, ZTMIME_MSG_DONE}));
    EXPECT_EQ(s, ".\r\nnext");
}

TEST(DriverSequences, BodyCutAcrossSegments)
{
    // The input's lines cross segment boundaries everywhere.
    Ctx c;
    c->state = ZTMIME_PART_BODY;
    std::string body;
    for (int i = 0; i < 50; ++i)
        body += "line " + std::to_string(i) + "\r\n";
    View frag = zt_test::make_fragmented(body + "-stop\r\n", 3);
    // Moved in (not copied) so the input keeps the small segments.
    ztview_move(c->input, frag.get(), ztview_get_len(frag.get()));
    ASSERT_GT(ztview_segment_count(c->input), 100u);
    std::string s;
    EXPECT_EQ(c.next(&s), ZTMIME_PART_BODY);
    EXPECT_EQ(s, body);
}

// ---------------------------------------------------------------------------
// The uuencode begin-line check.

struct UuCase {
    const char *line;
    int want;
    const char *name;
};

TEST(ParseUuHeader, Table)
{
    const UuCase cases[] = {
        {"begin 644 file.txt\r\n", 1, "file.txt"},
        {"begin  name with spaces\n", 1, "name with spaces"},
        {"begin 0644 x", 1, "x"},
        {"begin 0 file.txt\r\n", 0, ""},
        {"begin abc file.txt\r\n", 0, ""},
        {"begin 644\r\n", 0, ""},
        {"begin 644 \r\n", 0, ""},
        {"begin ", 0, ""},
        {"begin", 0, ""},
        {"", 0, ""},
    };
    for (const UuCase &tc : cases) {
        View line = make_view(tc.line);
        View name(ztview_init());
        EXPECT_EQ(ztmime_parse_uu_header(line.get(), name.get()), tc.want) << tc.line;
        EXPECT_EQ(str(name.get()), tc.name) << tc.line;
        EXPECT_EQ(str(line.get()), tc.line); // the line is not changed
        EXPECT_EQ(ztmime_parse_uu_header(line.get(), nullptr), tc.want) << tc.line;
    }
    EXPECT_EQ(ztmime_parse_uu_header(nullptr, nullptr), 0);
}

// A line that arrives in thousands of chunks is scanned once, not once per
// chunk: scanning it again from its start every call would take hours here.
TEST(ParserLongLines, UnterminatedLineGrowsInLinearTime)
{
    for (const char *head : {"Subject: ", "A: b\r\n\r\n"}) {
        ztmime_ctx *ctx = ztmime_init(0, 0);
        ASSERT_NE(ctx, nullptr);
        std::string piece(4096, 'x');
        zt_test::View chunk = zt_test::make_view(head);
        ASSERT_EQ(ztmime_update(ctx, chunk.get()), 0);
        chunk = zt_test::make_view(piece);
        ztview *out = nullptr;
        size_t handed = 0;
        for (int i = 0; i < 8192; ++i) {
            ASSERT_EQ(ztmime_update(ctx, chunk.get()), 0);
            ztmime_type t;
            while ((t = ztmime_do(ctx, &out)) != ZTMIME_NO_DATA) {
                ASSERT_NE(t, ZTMIME_ERROR);
                ztview_destroy(out);
            }
        }
        zt_test::View end = zt_test::make_view("\n");
        ztmime_update(ctx, end.get());
        ztmime_finish(ctx);
        ztmime_type t;
        while ((t = ztmime_do(ctx, &out)) != ZTMIME_MSG_DONE) {
            ASSERT_NE(t, ZTMIME_ERROR);
            handed = std::max(handed, ztview_get_len(out));
            ztview_destroy(out);
        }
        ztview_destroy(out);
        EXPECT_GE(handed, 8192u * 4096u) << "the long line comes out whole";
        ztmime_destroy(ctx);
    }
}

} // namespace
