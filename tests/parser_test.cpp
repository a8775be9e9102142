// Parser context lifecycle, the driver's state table and its edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/error.h"
#include "mime/ctx.h"
#include "parser_harness.h"

using namespace parser_test;
using namespace zt_test;

namespace {

struct Ctx {
    ztmime_ctx *ctx;
    explicit Ctx(uint32_t max_line = 0, uint32_t flags = 0) : ctx(ztmime_init(max_line, flags)) {}
    ~Ctx() { ztmime_destroy(ctx); }
    ztmime_ctx *operator->() const { return ctx; }
    void feed(const std::string &s) const { ztmime_update(ctx, make_view(s).get()); }
    // Pushes a boundary entry; null pushes one without a value.
    void push(const char *v) const { ztmime_boundary_add(&ctx->part, v ? make_view(v).get() : nullptr); }
    // Drains the events until the parser waits.
    std::string log() const
    {
        RunLog run;
        drain(ctx, run);
        return format_log(run.events);
    }
};

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
    EXPECT_TRUE(c->input && c->part.filename && c->part.content_type);
    EXPECT_TRUE(!c->header && !c->scratch && !c->part.boundaries.top && !c->rfc822_top);
    EXPECT_STREQ(ztmime_type_to_str(-2), "ZTMIME_UNKNOWN -2");
}

TEST(ParserLifecycle, NullArguments)
{
    EXPECT_EQ(ztmime_finish(nullptr), -1);
    EXPECT_EQ(ztmime_part_reset(nullptr), -1);
    EXPECT_EQ(ztmime_update(nullptr, nullptr), -1);
    EXPECT_EQ(ztmime_boundary_add(nullptr, nullptr), -1);
    EXPECT_EQ(ztmime_boundary_pop(nullptr), -1);
    EXPECT_EQ(ztmime_reset(nullptr), 0);
    ztmime_destroy(nullptr);
    ztview *out = reinterpret_cast<ztview *>(1);
    EXPECT_EQ(ztmime_do(nullptr, &out), ZTMIME_ERROR);
    EXPECT_EQ(out, nullptr);
    EXPECT_STREQ(ztmime_strerror(), "Invalid NULL parameters for ztmime_do");
}

// After the end of a message only a reset lets input in again.  Reset
// empties everything but the options and keeps FINISH, so that the next
// message ends where its input does.
TEST(ParserLifecycle, ResetClearsEverythingButOptions)
{
    Ctx c(10, ZTMIME_FLAG_DOT_END);
    c.feed("A: b\r\n");
    ASSERT_EQ(c.log(), "");  // the field is pending
    c.push("a");
    c->rfc822_top = ztmime_boundary_top(&c->part);
    c->long_header = 1;
    c->state = ZTMIME_PART_BODY;
    ztview_appends(c->part.content_type, "text/plain");
    ztview_appends(c->part.filename, "f");
    c->part.encoding = ZTMIME_ENC_BASE64;
    ztmime_finish(c.ctx);
    EXPECT_EQ(ztmime_reset(c.ctx), 0);
    EXPECT_TRUE(!c->header && !c->part.boundaries.top && !c->rfc822_top);
    EXPECT_EQ(c->part.depth, 0);
    EXPECT_EQ(c->long_header, 0);
    EXPECT_EQ(c->part.encoding, 0);
    EXPECT_EQ(str(c->part.content_type), "");
    EXPECT_EQ(str(c->part.filename), "");
    EXPECT_EQ(str(c->input), "");
    EXPECT_EQ(c->flags, ZTMIME_FLAG_DOT_END | ZTMIME_FLAG_FINISH);
    EXPECT_EQ(c->max_line, 10u);
    c.feed("C: d\r\n");
    EXPECT_EQ(c.log(), "ZTMIME_HEADER \"C: d\\r\\n\"\nZTMIME_HEADERS_DONE\nZTMIME_MSG_DONE \"\"\n");
    EXPECT_EQ(c->input, nullptr);
    EXPECT_EQ(ztmime_update(c.ctx, make_view("x").get()), -1);
    EXPECT_EQ(ztmime_reset(c.ctx), 0);
    EXPECT_EQ(ztmime_update(c.ctx, make_view("x").get()), 0);
}

// ---------------------------------------------------------------------------
// The driver's state table: one call from a prepared context.

struct StateCase {
    const char *name;
    int state;
    uint32_t flags, max_line;
    std::vector<const char *> boundaries;  // pushed in order; "" marks a null value
    bool rfc822_at_bottom;                 // rfc822_top = the first entry pushed
    const char *content_type;
    std::string input;
    bool finish;
    int want;
    const char *want_view;  // null: no view
    int want_state;
    std::string want_rest;
    int want_depth;  // -1: not checked
};

class DriverStateTable : public testing::TestWithParam<StateCase> {};

TEST_P(DriverStateTable, OneCall)
{
    const StateCase &tc = GetParam();
    Ctx c(tc.max_line, tc.flags);
    c->state = tc.state;
    for (const char *b : tc.boundaries) {
        c.push(*b ? b : nullptr);
        if (tc.rfc822_at_bottom && !c->rfc822_top)
            c->rfc822_top = ztmime_boundary_top(&c->part);
    }
    ztview_appends(c->part.content_type, tc.content_type);
    ztview_appends(c->part.filename, "f.txt");
    c->part.encoding = ZTMIME_ENC_BASE64;
    c.feed(tc.input);
    if (tc.finish)
        ztmime_finish(c.ctx);
    ztview *out = nullptr;
    EXPECT_STREQ(ztmime_type_to_str(ztmime_do(c.ctx, &out)), ztmime_type_to_str(tc.want));
    View got(out);
    EXPECT_EQ(out ? "view: " + str(out) : "none", tc.want_view ? "view: " + std::string(tc.want_view) : "none");
    EXPECT_EQ(c->state, tc.want_state);
    EXPECT_EQ(tc.want == ZTMIME_MSG_DONE ? tc.want_rest : str(c->input), tc.want_rest);
    EXPECT_EQ(tc.want_depth < 0 ? -1 : c->part.depth, tc.want_depth);
    // Leaving the end of a header block empties the part record; a
    // delimiter of an embedded message's entry forgets that message and
    // marks a following part as another one.
    if (tc.state == ZTMIME_PART_HEADERS_DONE && tc.want_state != tc.state) {
        EXPECT_EQ(str(c->part.content_type), "");
        EXPECT_EQ(str(c->part.filename), "");
        EXPECT_EQ(c->part.encoding, 0);
    }
    if (tc.rfc822_at_bottom && tc.want == ZTMIME_PART_DONE) {
        EXPECT_EQ(c->rfc822_top, nullptr);
        EXPECT_EQ(str(c->part.content_type), tc.want_state == ZTMIME_PART_HEADER ? "message/rfc822" : "");
    }
}

const uint32_t UU = ZTMIME_FLAG_UUENCODE, DOT = ZTMIME_FLAG_DOT_END, BIN = ZTMIME_FLAG_BINARY;
const std::string binhex = "(This file must be converted with BinHex 4.0)\r\n";

const StateCase state_cases[] = {
    // Header blocks.
    {"FieldAtEnd", 1, 0, 0, {}, false, "", "A: 1\r\n", true, ZTMIME_HEADER, "A: 1\r\n", 1, "", -1},
    {"BlankCrLfEndsBlock", 1, 0, 0, {}, false, "", "\r\nbody", false, ZTMIME_HEADERS_DONE, "\r\n", 4, "body", -1},
    {"NonFieldLineStays", 1, 0, 0, {}, false, "", "From x\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 4, "From x\r\n", -1},
    {"LeadingSpaceStays", 1, 0, 0, {}, false, "", " x: y\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 4, " x: y\r\n", -1},
    {"PartBlockEnds", 3, 0, 0, {}, false, "", "\r\nx", false, ZTMIME_PART_HEADERS_DONE, "\r\n", 4, "x", -1},
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
    {"EmbeddedEntryItselfCloses", 5, 0, 0, {"o"}, true, "", "--o--\r\n", false, ZTMIME_PART_DONE, "--o--\r\n", 5, "", 0},
    {"EmbeddedDelimiter", 5, 0, 0, {"o", "i"}, true, "", "--o\r\n", false, ZTMIME_PART_DONE, "--o\r\n", 3, "", 1},
    // Uuencode and BinHex.
    {"UuBeginCapitals", 5, UU, 0, {}, false, "", "BEGIN 644 f\r\nx\r\n", false, ZTMIME_UUENCODE_HEADER, "BEGIN 644 f\r\n", 10, "x\r\n", -1},
    {"UuBeginWaitsForALineEnd", 5, UU, 0, {}, false, "", "begin 644 f\r\nM", false, ZTMIME_NO_DATA, nullptr, 5, "begin 644 f\r\nM", -1},
    {"UuBeginLastLineAtEnd", 5, UU, 0, {}, false, "", "begin 644 f\r\n", true, ZTMIME_UUENCODE_HEADER, "begin 644 f\r\n", 10, "", -1},
    {"UuBeginWithoutFlagIsBody", 5, 0, 0, {}, false, "", "begin 644 f\r\n", false, ZTMIME_PART_BODY, "begin 644 f\r\n", 5, "", -1},
    {"UuEnd", 10, 0, 0, {}, false, "", "END\r\nx", false, ZTMIME_UUENCODE_DONE, "END\r\n", 5, "x", -1},
    {"UuLine", 10, 0, 0, {"b"}, false, "", "--b\r\n", false, ZTMIME_PART_BODY, "--b\r\n", 10, "", 1},
    {"BinHex", 5, 0, 0, {}, false, "", binhex + "x\r\n", false, ZTMIME_BINHEX_HEADER, binhex.c_str(), 5, "x\r\n", -1},
    // End of input.
    {"LineAfterEndInBody", 6, 0, 0, {}, false, "", "x\r\n", true, ZTMIME_ERROR, nullptr, 6, "x\r\n", -1},
    // Length limit.
    {"ElevenCharsLf", 5, 0, 10, {}, false, "", "12345678901\nx", false, ZTMIME_LONG_LINE, "12345678901\n", 5, "x", -1},
    {"TenCharsCrLf", 5, 0, 10, {}, false, "", "1234567890\r\nx", false, ZTMIME_LONG_LINE, "1234567890\r\n", 5, "x", -1},
    {"TenCharsLf", 5, 0, 10, {}, false, "", "1234567890\n", false, ZTMIME_PART_BODY, "1234567890\n", 5, "", -1},
    {"TenCharsCrLfInBatch", 5, 0, 10, {}, false, "", "a\r\n1234567890\r\nc\r\n", false, ZTMIME_PART_BODY, "a\r\n1234567890\r\nc\r\n", 5, "", -1},
    {"ElevenCharsEndBatch", 5, 0, 10, {}, false, "", "a\r\n12345678901\r\n", false, ZTMIME_PART_BODY, "a\r\n", 5, "12345678901\r\n", -1},
    {"UnterminatedOverLongBody", 5, 0, 10, {}, false, "", "123456789012345", false, ZTMIME_LONG_LINE, "123456789012345", 5, "", -1},
    {"UnterminatedOverLongHeaderWaits", 1, 0, 10, {}, false, "", "123456789012345", false, ZTMIME_NO_DATA, nullptr, 1, "123456789012345", -1},
    // Dot end (the rest is in the golden messages).
    {"DotEndInHeader", 1, DOT, 0, {}, false, "", ".\r\n", false, ZTMIME_HEADERS_DONE, nullptr, 2, ".\r\n", -1},
    // Binary mode.
    {"BinaryFiftyBytesWait", 5, BIN, 0, {}, false, "", std::string(50, 'x'), false, ZTMIME_NO_DATA, nullptr, 5, std::string(50, 'x'), -1},
    {"BinaryFiftyOneBytes", 1, BIN, 0, {}, false, "", std::string(51, 'x'), false, ZTMIME_PART_BODY, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 1, "", -1},
    {"BinaryLineEndsAtBareCr", 5, BIN, 0, {}, false, "", "a\rb\r\n", false, ZTMIME_PART_BODY, "a\r", 5, "b\r\n", -1},
    {"BinaryHasNoLimit", 5, BIN, 2, {}, false, "", "abcdef\n", false, ZTMIME_PART_BODY, "abcdef\n", 5, "", -1},
};

INSTANTIATE_TEST_SUITE_P(States, DriverStateTable, testing::ValuesIn(state_cases),
                         [](const testing::TestParamInfo<StateCase> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Sequences over several calls.

// Lines that cross segments everywhere (field names, folded fields, body
// batches) give the log the input in one piece gives.  The last field
// names are long enough for the sixteen-byte name test of whole lines.
TEST(DriverSequences, FragmentedInputGivesTheSameLog)
{
    for (const char *bad : {"X-Long-Name\x7f" "With-DEL: q\r\n", "Bad field name x: q\r\n"}) {
        std::string msg = "Subject: a fairly long subject\r\n\tfolded\r\n more\r\nX-Y: z\r\n";
        msg += bad;
        for (int i = 0; i < 50; ++i)
            msg += "line " + std::to_string(i) + "\r\n";
        for (size_t piece : {1, 3, 7}) {
            Ctx c;
            View frag = zt_test::make_fragmented(msg + "-stop\r\n", piece);
            // Moved in (not copied) so the input keeps the small segments.
            ztview_move(c->input, frag.get(), ztview_get_len(frag.get()));
            ASSERT_GT(ztview_segment_count(c->input), msg.size() / piece);
            ztmime_finish(c.ctx);
            EXPECT_EQ(c.log(), format_log(run_parser(msg + "-stop\r\n", 0).events)) << "piece " << piece;
        }
    }
}

// Header fields handed over within one call (ztmime_do_fields, as the
// message reader pulls them) give the events, bytes and states that
// ztmime_do gives, call by call; a field the taker refuses comes back with
// its event and the next call goes on after it.  With `spans`, fields are
// also offered as bytes before any cut (and refused as often).
RunLog run_fields(const std::string &msg, size_t chunk, const Options &opt, unsigned refuse_every,
                  bool spans = false)
{
    struct Taker {
        ztmime_ctx *ctx;
        RunLog *run;
        unsigned refuse_every, seen;
    };
    RunLog run;
    ztmime_ctx *ctx = ztmime_init(opt.max_line, opt.flags);
    Taker t{ctx, &run, refuse_every, 0};
    auto take = [](void *arg, ztview *v) noexcept {
        auto *t = static_cast<Taker *>(arg);
        if (t->refuse_every && ++t->seen % t->refuse_every == 0)
            return false;
        int ev = t->ctx->state == ZTMIME_PART_HEADER ? ZTMIME_PART_HEADER : ZTMIME_HEADER;
        t->run->events.push_back({ev, true, zt_test::str(v), t->ctx->state});
        ztview_destroy(v);
        follow_header(t->ctx, t->run->events.back().bytes);
        return true;
    };
    auto span = [](void *arg, ztview *input, const unsigned char *p, size_t n) noexcept {
        auto *t = static_cast<Taker *>(arg);
        if (t->refuse_every && ++t->seen % t->refuse_every == 0)
            return 0;
        std::string bytes(reinterpret_cast<const char *>(p), n);
        // The offer is the input's first n bytes, and the taker takes them off.
        if (ztview_get_len(input) < n || zt_test::str(input).compare(0, n, bytes) != 0)
            bytes = "<not the input's front>";
        int ev = t->ctx->state == ZTMIME_PART_HEADER ? ZTMIME_PART_HEADER : ZTMIME_HEADER;
        t->run->events.push_back({ev, true, bytes, t->ctx->state});
        ztview_seek(input, n, ZTVIEW_SEEK_FRONT);
        follow_header(t->ctx, bytes);
        return 1;
    };
    auto drain = [&] {
        for (;;) {
            ztview *out = nullptr;
            int ev = spans ? ztmime_do_fields(ctx, &out, take, &t, span) : ztmime_do_fields(ctx, &out, take, &t);
            if (ev == ZTMIME_NO_DATA)
                return true;
            run.events.push_back({ev, out != nullptr, zt_test::str(out), ctx->state});
            ztview_destroy(out);
            if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER)
                follow_header(ctx, run.events.back().bytes);
            if (ev == ZTMIME_ERROR || ev == ZTMIME_MSG_DONE)
                return false;
        }
    };
    bool going = true;
    for (size_t off = 0; going && off < msg.size(); off += chunk ? chunk : msg.size()) {
        View v = zt_test::make_view(msg.substr(off, chunk ? chunk : msg.size()));
        ztmime_update(ctx, v.get());
        going = drain();
    }
    ztmime_finish(ctx);
    if (going)
        drain();
    ztmime_destroy(ctx);
    return run;
}

TEST(DriverSequences, FieldsWithinOneCallGiveTheSameLog)
{
    std::vector<std::string> msgs;
    for (const std::string &n : golden_names())
        msgs.push_back(zt_test::read_file(golden_dir + n + ".eml"));
    ASSERT_FALSE(msgs.empty());
    msgs.push_back("A: 1\r\nB: 2\r\n\tfolded\r\n more\r\nC: a line longer than the limit of forty bytes\r\n"
                   "D: 4\r\n cont line longer than the limit of forty bytes\r\nE: 5\rF: 6\r\n.\r\nG: 7\r\n\r\nbody\r\n");
    msgs.push_back("Content-Type: multipart/mixed; boundary=\"b\"\nX: 1\n\n--b\nP: 1\nQ: 2\n\tq\n\nbody\n--b--\n");
    const Options opts[] = {{0, 0}, {40, 0}, {40, ZTMIME_FLAG_BINARY}, {0, ZTMIME_FLAG_DOT_END}};
    for (size_t m = 0; m < msgs.size(); ++m)
        for (const Options &opt : opts)
            for (size_t chunk : {0, 1, 5, 64})
                for (unsigned refuse : {0u, 3u}) {
                    const std::string want = format_log(run_parser(msgs[m], chunk, opt).events);
                    ASSERT_EQ(format_log(run_fields(msgs[m], chunk, opt, refuse).events), want)
                        << "message " << m << " chunk " << chunk << " flags " << opt.flags << " max_line "
                        << opt.max_line << " refusing every " << refuse;
                }
}

// Fields offered as bytes before the cut (the reader's path for a field in
// the input's front segment) give the same log, over inputs where the line
// after a field decides late: continuation lines in later pieces, a field
// running to the end of a piece or of the input, bare CRs, over-long lines,
// the dot end line, Content- fields that change the parse.
TEST(DriverSequences, FieldsTakenAsBytesGiveTheSameLog)
{
    std::vector<std::string> msgs = {
        "A: 1\r\nB: 2\r\n\tfolded\r\n more\r\nC: 3\r\n\r\nbody\r\n",
        "A: 1\nB: 2\n x\nC: 3",
        "A: 1\r\nB: two\r\n",
        "A: 1\r\n\tcont\r",
        "A: 1\rB: 2\r\n\r\nb\r\n",
        "A: 1\r\n\tx\ry\r\nB: 2\r\n\r\n",
        "A: a line longer than the limit of forty bytes\r\nB: 2\r\n\tshort\r\nC: 3\r\n\r\n",
        "A: 1\r\n\ta continuation longer than the limit of forty\r\nB: 2\r\n\r\n",
        "A: 1\r\n.\r\nB: 2\r\n\r\n",
        "A: 1\r\nnot a field\r\nB: 2\r\n",
        "Content-Type: multipart/mixed; boundary=\"q\"\r\nCc: x\r\n\r\n--q\r\nP: 1\r\n\tp\r\n"
        "Content-Type: message/rfc822\r\n\r\nM: 1\r\nN: 2\r\n\r\ninner\r\n--q--\r\n",
    };
    for (const std::string &n : golden_names())
        msgs.push_back(zt_test::read_file(golden_dir + n + ".eml"));
    const Options opts[] = {{0, 0}, {40, 0}, {0, ZTMIME_FLAG_DOT_END}, {40, ZTMIME_FLAG_BINARY}};
    for (size_t m = 0; m < msgs.size(); ++m)
        for (const Options &opt : opts)
            for (size_t chunk : {0, 1, 3})
                for (unsigned refuse : {0u, 2u}) {
                    const std::string want = format_log(run_parser(msgs[m], chunk, opt).events);
                    ASSERT_EQ(format_log(run_fields(msgs[m], chunk, opt, refuse, true).events), want)
                        << "message " << m << " chunk " << chunk << " flags " << opt.flags << " max_line "
                        << opt.max_line << " refusing every " << refuse;
                }
}

// Storage the input used may come back holding other bytes (a block freed
// and handed out again by the allocator; here the host's own buffer): what
// an earlier call learnt about the old bytes must not be applied to them.
TEST(DriverSequences, ReusedStorageIsScannedAfresh)
{
    Ctx c;
    c.push("b");
    c->state = ZTMIME_PART_BODY;
    char buf[16];
    const char *steps[][2] = {{"ab\r\n", "ZTMIME_PART_BODY \"ab\\r\\n\"\n"},
                              {"--b\r\n", "ZTMIME_PART_DONE \"--b\\r\\n\"\n"}};
    for (const auto &step : steps) {
        std::strcpy(buf, step[0]);
        View v(_ztview_from_buf(buf, std::strlen(buf), 0, "host", __LINE__));
        ztview_move(c->input, v.get(), ztview_get_len(v.get()));
        EXPECT_EQ(c.log(), step[1]);
    }
}

// The scratch view appears with the first continuation line, holds the last
// one read until the next complete line is examined, and is emptied then;
// a continuation line dropped after an over-long one stays in it.
TEST(DriverSequences, ScratchHoldsTheLastContinuationLine)
{
    const struct {
        const char *input;
        bool finish;
        uint32_t max_line;
        const char *want;  // null: no scratch view
    } cases[] = {
        {"A: 1\r\n\r\nbody\r\n", false, 0, nullptr},
        {"A: 1\r\n b\r\nC: 2\r\n", false, 0, ""},
        {"A: 1\r\n b\r\n", true, 0, " b\r\n"},
        {"A: 1\r\n b\r\n\tc\r\nX", false, 0, "\tc\r\n"},
        {"A: 1\r\n b\r\n c\r\n\r\nbody\r\n", false, 0, ""},
        {"A: 1\r\n bbbbbbbbbbbb\r\n", false, 10, " bbbbbbbbbbbb\r\n"},
    };
    for (const auto &tc : cases) {
        for (size_t piece : {0, 1, 3}) {
            Ctx c(tc.max_line);
            std::string in = tc.input;
            for (size_t off = 0; off < in.size(); off += piece ? piece : in.size()) {
                c.feed(in.substr(off, piece ? piece : in.size()));
                c.log();
            }
            if (tc.finish) {
                ztmime_finish(c.ctx);
                c.log();
            }
            EXPECT_EQ(c->scratch ? "view: " + str(c->scratch) : "none", tc.want ? "view: " + std::string(tc.want) : "none")
                << escaped(tc.input) << " in pieces of " << piece;
        }
    }
}

// A field whose next line is already complete goes out in the call that
// cuts it; fed a byte at a time, the next line is still incomplete then,
// and the field goes out in a later call.  Both give the same log for
// every kind of line that can follow a field, under each option.
TEST(DriverSequences, FieldEndedByACompleteLineGivesTheSameLog)
{
    const char *inputs[] = {
        "A: 1\r\nB: 2\r\n\r\nbody\r\n",
        "A: 1\nB: 2\n\nbody\n",
        "A: 1\r\n b\r\n\tc\r\nB: 2\r\n\r\nx\r\n",
        "A: 1\r\n.\r\n",  // nothing after the end line: that goes out as it came
        "A: 1\r\nB\rC: 2\r\n\r\n",
        "A: 1\r\n bbbbbbbbbbbbbbbbbbbb\r\n c\r\nB: 2\r\n\r\n",
        "A: 1\r\nnot a field\r\nbody\r\n",
        "A: 1\r\n\r",
    };
    const Options options[] = {{0, 0}, {0, ZTMIME_FLAG_DOT_END}, {0, ZTMIME_FLAG_BINARY}, {10, 0}};
    for (const char *in : inputs) {
        for (const Options &opt : options) {
            const std::string whole = format_log(body_joined(run_parser(in, 0, opt).events));
            for (size_t piece : {1, 2})
                EXPECT_EQ(format_log(body_joined(run_parser(in, piece, opt).events)), whole)
                    << escaped(in) << " in pieces of " << piece << ", flags " << opt.flags << ", max_line "
                    << opt.max_line;
        }
    }
}

// ---------------------------------------------------------------------------
// The uuencode begin-line check.

TEST(ParseUuHeader, Table)
{
    const char *cases[][2] = {
        {"begin 644 file.txt\r\n", "file.txt"}, {"begin  name with spaces\n", "name with spaces"},
        {"begin 0644 x", "x"}, {"begin 0 file.txt\r\n", ""}, {"begin abc f\r\n", ""},
        {"begin 644\r\n", ""}, {"begin 644 \r\n", ""}, {"begin ", ""}, {"", ""},
    };
    for (const auto &tc : cases) {
        View line = make_view(tc[0]), name(ztview_init());
        int want = *tc[1] ? 1 : 0;
        EXPECT_EQ(ztmime_parse_uu_header(line.get(), name.get()), want) << tc[0];
        EXPECT_EQ(str(name.get()) + "|" + str(line.get()), std::string(tc[1]) + "|" + tc[0]);
    }
    EXPECT_EQ(ztmime_parse_uu_header(nullptr, nullptr), 0);
}

// A line that arrives in many pieces is scanned once, not once per piece.
// Each piece here stays a segment of its own, so a scan that walked the
// segments from the first one on every call would take hours; so would
// checking a waiting uuencode begin line, or the bytes after it, afresh.
TEST(ParserLongLines, LineInManyPiecesTakesLinearTime)
{
    const struct {
        const char *head;
        uint32_t flags;
    } kinds[] = {{"Subject: ", 0}, {"A: b\r\n\r\n", 0}, {"A: b\r\n\r\nbegin 644 f\r\n", ZTMIME_FLAG_UUENCODE}};
    const size_t pieces = 100000;
    for (const auto &k : kinds) {
        Ctx c(0, k.flags);
        c.feed(k.head);
        RunLog run;
        drain(c.ctx, run);
        for (size_t i = 0; i < pieces; ++i) {
            View piece = make_view("x");
            ztview_move(c->input, piece.get(), 1);
            ztview *out = nullptr;
            ASSERT_EQ(ztmime_do(c.ctx, &out), ZTMIME_NO_DATA) << k.head << " piece " << i;
        }
        ASSERT_GE(ztview_segment_count(c->input), pieces);
        c.feed("\n");
        ztmime_finish(c.ctx);
        drain(c.ctx, run);
        size_t longest = 0;
        for (const Event &e : run.events)
            longest = std::max(longest, e.bytes.size());
        EXPECT_GE(longest, pieces) << k.head << ": the long line comes out whole";
        EXPECT_TRUE(run.reached_done);
    }
}

} // namespace
