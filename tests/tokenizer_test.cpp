// Header tokenizer: values, parameter names and values, general tokens.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "zt_test.h"

using zt_test::make_fragmented;
using zt_test::make_view;
using zt_test::str;

namespace {

const char kUntouched[] = "(untouched)";
enum Fn { kValue, kName, kAttr, kToken };

struct Outcome {
    int rc = 0;
    std::string out, rest, msg;
    int kind = -1;
    bool operator==(const Outcome &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
    return os << "rc=" << o.rc << " out='" << zt_test::escaped(o.out) << "' rest='"
              << zt_test::escaped(o.rest) << "' msg='" << o.msg << "' kind=" << o.kind;
}

int call(Fn fn, ztview *src, ztview **out, int *kind)
{
    switch (fn) {
    case kValue: return ztmime_header_get_value(src, out);
    case kName: return ztmime_header_get_attribute_name(src, out);
    case kAttr: return ztmime_header_get_attribute_value(src, out);
    default: return ztmime_header_get_token(src, out, kind);
    }
}

// One call on `src`; `reuse` passes a handle to a view that already holds
// bytes instead of a null handle.
Outcome run(Fn fn, ztview *src, bool reuse = false)
{
    std::strcpy(ztmime_last_error, kUntouched);
    ztview *out = reuse ? ztview_from_buf("stale", 5) : nullptr;
    Outcome o;
    o.rc = call(fn, src, &out, fn == kToken ? &o.kind : nullptr);
    o.out = str(out), o.rest = str(src), o.msg = ztmime_last_error;
    ztview_destroy(out);
    return o;
}

// ---------------------------------------------------------------------------
// Reference model of the two scanners over a plain string.
// ---------------------------------------------------------------------------

bool in(const char *set, unsigned char c) { return c && std::strchr(set, c); }
std::string hexmsg(const char *fmt, unsigned char c)
{
    char buf[129];
    std::snprintf(buf, sizeof buf, fmt, unsigned(c));
    return buf;
}

Outcome reference(Fn fn, const std::string &s)
{
    Outcome r{0, "", "", kUntouched, ZTMIME_TOKEN_NONE};
    size_t i = 0, n = s.size();
    auto done = [&](size_t rest, int kind) {
        r.rest = s.substr(std::min(rest, n));
        r.kind = fn == kToken ? kind : -1;
        return r;
    };
    while (i < n && in(" \t\r\n", s[i]))
        ++i;
    if (fn == kAttr) {
        if (i == n || s[i++] != '=')
            return {-2, "", s.substr(i), "Invalid attribute. character '=' expected", -1};
        while (i < n && in(" \t", s[i]))
            ++i;
    }
    if (fn == kToken && i < n && s[i] == ';')
        return done(i + 1, ZTMIME_TOKEN_NONE);
    bool atom = false; // inside an atom, or between pieces
    size_t atom_len = 0;
    for (; i < n; ++i) {
        unsigned char c = s[i];
        if (c == '"' && !atom) {
            size_t j = i + 1;
            std::string content;
            for (; j < n && s[j] != '"'; ++j) {
                if (s[j] == '\\' && j + 1 < n)
                    content += s[j++];
                content += s[j];
            }
            r.out += j >= n ? s.substr(i) : content;
            if (fn == kToken || j >= n)
                return done(j + 1, ZTMIME_TOKEN_QUOTED);
            i = j;
        } else if (c == '(') {
            size_t j = s.find(')', i);
            if (j == std::string::npos)
                return r.out += s.substr(i), done(n, ZTMIME_TOKEN_COMMENT);
            i = j, atom = true, atom_len = 0;
        } else if (in(fn == kAttr ? ";\r\n" : ";\r\n \t", c)) {
            bool take = fn == kAttr && (!atom || atom_len > 0);
            return done(take ? i + 1 : i, ZTMIME_TOKEN_ATOM);
        } else if (in(" \t", c)) {
            atom = false; // parameter values only: blanks between pieces
        } else {
            if (fn == kAttr && (c < 0x20 || c == 0x7f))
                r.rc = -2, r.msg = hexmsg(atom ? "Invalid controll character '0x%x' inside MIME atom token"
                                               : "Invalid character '0x%x' inside MIME token", c);
            else if (fn == kAttr && atom && in("()<>@,;:\\\"/[]?=", c))
                r.rc = -2, r.msg = hexmsg("Invalid special character '0x%x' inside MIME atom token", c);
            atom_len = atom ? atom_len + 1 : 1, atom = true;
            r.out += char(c);
        }
    }
    return done(n, atom ? ZTMIME_TOKEN_ATOM : ZTMIME_TOKEN_NONE);
}

// ---------------------------------------------------------------------------
// Tables: each case runs on a whole source, on 1- and 3-byte segments, and
// with a null or a reused output handle.
// ---------------------------------------------------------------------------

struct Case {
    Fn fn;
    std::string src;
    Outcome want;
};

const std::string Q = "\"";
const char *kDq = "Header value contains invalid double quote character '";
const char *kSpecial = "Invalid special character '0x%x' inside MIME atom token";
const char *kNoEq = "Invalid attribute. character '=' expected";

const Case kCases[] = {
    {kValue, "multipart/mixed; boundary=x", {0, "multipart/mixed", "; boundary=x", kUntouched}},
    {kValue, "", {0, "", "", kUntouched}},
    {kValue, " \r\n\ttext/plain\tx", {0, "text/plain", "\tx", kUntouched}},
    {kValue, Q + "q" + Q + "; a=b", {-1, "", "; a=b", kDq + Q + "q" + Q + "'"}},
    {kValue, "a(b" + Q + " x", {-1, "", " x", kDq + ("a(b" + Q) + "'"}},
    {kValue, "text(c)/plain\r\n", {-1, "", "\r\n", "Header value contains comments'text(c)/plain'"}},
    {kName, "; charset=us-ascii", {0, "charset", "=us-ascii", kUntouched}},
    {kName, ";=x", {-2, "", "=x", "Attribute name is empty"}},
    {kName, "\r\n\t", {-2, "", "", "Attribute name is empty"}},
    {kName, " a" + Q + "b=c", {-2, "a" + Q + "b", "=c", "Attribute contains invalid double quote character 'a\"b'"}},
    {kName, "na(me) ;x", {0, "na(me)", " ;x", kUntouched}},
    {kAttr, "=atom", {0, "atom", "", kUntouched}},
    {kAttr, " \r\n= \tatom; next=1", {0, "atom", " next=1", kUntouched}},
    {kAttr, "=" + Q + "a;b\r\n" + Q + " ; c", {0, "a;b\r\n", " c", kUntouched}},
    {kAttr, "=a b (c) d(e)f", {0, "abdf", "", kUntouched}},
    {kAttr, "=a/b", {-2, "a/b", "", hexmsg(kSpecial, '/')}},
    {kAttr, "=/ab", {0, "/ab", "", kUntouched}},
    {kAttr, "=a/b@c\x01" "d=", {-2, "a/b@c\x01" "d=", "", hexmsg(kSpecial, '=')}},
    {kAttr, "=a=\x01", {-2, "a=\x01", "", "Invalid controll character '0x1' inside MIME atom token"}},
    {kAttr, "=\x7f" "a", {-2, "\x7f" "a", "", "Invalid character '0x7f' inside MIME token"}},
    {kAttr, "; x", {-2, "", " x", kNoEq}},
    {kAttr, "", {-2, "", "", kNoEq}},
    {kAttr, "=\rnext", {0, "", "next", kUntouched}},
    {kAttr, "=a(c);x", {0, "a", ";x", kUntouched}},
    {kAttr, "=a;x", {0, "a", "x", kUntouched}},
    {kAttr, "=(c) ;x", {0, "", "x", kUntouched}},
    {kAttr, "=" + Q + "a\\" + Q + Q + ";", {0, "a\\" + Q, "", kUntouched}},
    {kAttr, "=x " + Q + "ab\\", {0, "x" + Q + "ab\\", "", kUntouched}},
    {kAttr, "=x(a;b", {0, "x(a;b", "", kUntouched}},
    {kAttr, "=\x80\xff", {0, "\x80\xff", "", kUntouched}},
    {kToken, "  " + Q + "q s" + Q + " rest", {0, "q s", " rest", kUntouched, ZTMIME_TOKEN_QUOTED}},
    {kToken, "(c) atom", {0, "", " atom", kUntouched, ZTMIME_TOKEN_ATOM}},
    {kToken, "(a)(b)x(y)z\r\n", {0, "xz", "\r\n", kUntouched, ZTMIME_TOKEN_ATOM}},
    {kToken, "a" + Q + "b/c" + Q + "=d\tx", {0, "a\"b/c\"=d", "\tx", kUntouched, ZTMIME_TOKEN_ATOM}},
    {kToken, Q + "abc", {0, Q + "abc", "", kUntouched, ZTMIME_TOKEN_QUOTED}},
    {kToken, "ab(cd", {0, "ab(cd", "", kUntouched, ZTMIME_TOKEN_COMMENT}},
    {kToken, " \r\n\t", {0, "", "", kUntouched, ZTMIME_TOKEN_NONE}},
    {kToken, ";x", {0, "", "x", kUntouched, ZTMIME_TOKEN_NONE}},
    {kToken, Q + "a\\" + Q + Q + "x", {0, "a\\" + Q, "x", kUntouched, ZTMIME_TOKEN_QUOTED}},
};

TEST(Tokenizer, TableWholeFragmentedNullAndReusedHandle)
{
    for (const Case &c : kCases) {
        for (size_t piece : {size_t(0), size_t(1), size_t(3)})
            for (bool reuse : {false, true}) {
                zt_test::View src = piece ? make_fragmented(c.src, piece) : make_view(c.src);
                Outcome want = c.want;
                want.kind = c.fn == kToken ? want.kind : -1;
                EXPECT_EQ(run(c.fn, src.get(), reuse), want)
                    << c.fn << " '" << zt_test::escaped(c.src) << "' piece " << piece << " reuse " << reuse;
            }
        if (c.fn == kAttr || c.fn == kToken) { // the model used below agrees with the table
            EXPECT_EQ(reference(c.fn, c.src), c.want) << zt_test::escaped(c.src);
        }
    }
}

TEST(Tokenizer, TokenSequenceAndNullKind)
{
    zt_test::View src = make_view("a;b");
    const Outcome seq[] = {{0, "a", ";b", kUntouched, 3}, {0, "", "b", kUntouched, 0},
                           {0, "b", "", kUntouched, 3}, {0, "", "", kUntouched, 0}};
    for (const Outcome &want : seq)
        EXPECT_EQ(run(kToken, src.get()), want);
    ztview *out = nullptr;
    EXPECT_EQ(ztmime_header_get_token(src.get(), &out, nullptr), 0);
    ztview_destroy(out);
}

TEST(Tokenizer, NullOutputAddressConsumesNothing)
{
    for (Fn fn : {kValue, kName, kAttr, kToken}) {
        zt_test::View src = make_view(" =a;b");
        std::strcpy(ztmime_last_error, kUntouched);
        int kind = 7;
        EXPECT_EQ(call(fn, src.get(), nullptr, &kind), -1);
        EXPECT_EQ(str(src.get()), " =a;b");
        EXPECT_STREQ(ztmime_last_error, kUntouched);
    }
}

// ---------------------------------------------------------------------------
// Every byte in every position.
// ---------------------------------------------------------------------------

TEST(Tokenizer, EveryByteInEveryPositionFollowsTheTables)
{
    const char *templates[] = {"=@", "=a@", "=a@c", "=\"a@\"x", "=(a@)x", "=a @", "=(a)@", "@a b"};
    for (int b = 0; b < 256; ++b)
        for (std::string t : templates) {
            t[t.find('@')] = char(b);
            for (Fn fn : {kAttr, kToken}) {
                zt_test::View src = make_fragmented(t, 2);
                EXPECT_EQ(run(fn, src.get()), reference(fn, t)) << fn << " '" << zt_test::escaped(t) << "'";
            }
            // The value and the name stop at their own delimiters, wherever they are.
            for (Fn fn : {kValue, kName}) {
                const std::string stop = fn == kValue ? " \t\r\n;" : "=; \t\r\n";
                size_t from = std::min(t.find_first_not_of(fn == kValue ? " \t\r\n" : "; \t\r\n"), t.size());
                size_t to = std::min(t.find_first_of(stop, from), t.size());
                std::string piece = t.substr(from, to - from), rest = t.substr(to);
                std::string shown = ztview_copy_data_escaped(make_view(piece).get(), 1, 0);
                bool quote = piece.find('"') != std::string::npos;
                Outcome want{0, piece, rest, kUntouched};
                if (fn == kValue && (quote || piece.find('(') != std::string::npos))
                    want = {-1, "", rest, (quote ? kDq : "Header value contains comments'") + shown + "'"};
                else if (fn == kName && piece.empty())
                    want = {-2, "", rest, "Attribute name is empty"};
                else if (fn == kName && quote)
                    want = {-2, piece, rest, "Attribute contains invalid double quote character '" + shown + "'"};
                zt_test::View src = make_fragmented(t, 3);
                EXPECT_EQ(run(fn, src.get()), want) << fn << " '" << zt_test::escaped(t) << "'";
            }
        }
}

// ---------------------------------------------------------------------------
// Walking whole field bodies the way header interpretation does.
// ---------------------------------------------------------------------------

struct Walk {
    std::string value;
    std::vector<std::string> params; // "name=value/rc"
    bool progressed = true;
};

Walk walk(ztview *body)
{
    Walk w;
    ztview *name = nullptr, *value = nullptr;
    ztmime_header_get_value(body, &value);
    w.value = str(value);
    while (ztview_get_len(body) > 0) {
        size_t before = ztview_get_len(body);
        int rn = ztmime_header_get_attribute_name(body, &name);
        ztview_skip_while(body, " \t");
        int rv = ztmime_header_get_attribute_value(body, &value);
        w.params.push_back(str(name) + "=" + str(value) + "/" + std::to_string(std::min(rn, rv)));
        ztview_skip_while(body, " \t\r\n;");
        if (ztview_get_len(body) >= before)
            w.progressed = false;
        if (rn == -1 || rv == -1 || !w.progressed)
            break;
    }
    ztview_destroy(name);
    ztview_destroy(value);
    return w;
}

TEST(Tokenizer, WalksContentTypeAndDispositionBodies)
{
    zt_test::View ct = make_fragmented(
        " multipart/mixed;\r\n\tboundary=\"----=_Part;1\" (inner);charset=us-ascii ;\r\n name=a\x01(x)b", 3);
    Walk w = walk(ct.get());
    EXPECT_EQ(w.value, "multipart/mixed");
    EXPECT_EQ(w.params, (std::vector<std::string>{"boundary=----=_Part;1/0", "charset=us-ascii/0",
                                                  "name=a\x01" "b/-2"}));
    zt_test::View cd = make_fragmented("attachment; filename*=utf-8''a%20b; size=12;=x;", 2);
    w = walk(cd.get());
    EXPECT_EQ(w.value, "attachment");
    EXPECT_EQ(w.params, (std::vector<std::string>{"filename*=utf-8''a%20b/0", "size=12/0", "=x/-2"}));
    std::string body = "text/plain"; // a long list is walked to its end
    for (int i = 0; i < 20000; ++i)
        body += i % 2 ? "; p=\"v;\" (c)" : ";\r\n\tp=v";
    zt_test::View list = make_fragmented(body, 7);
    w = walk(list.get());
    EXPECT_EQ(w.params.size(), 20000u);
    EXPECT_EQ(w.params.back(), "p=v;/0");
}

TEST(Tokenizer, RandomBodiesAlwaysProgressAndMatchTheModel)
{
    std::mt19937 rng(20240601);
    const long live = ztview_live_count(nullptr);
    const std::string alphabet = "ab=;\"()\\ \t\r\n/\x01\x80";
    for (int round = 0; round < 3000; ++round) {
        std::string body;
        for (size_t len = rng() % 40; body.size() < len;)
            body += rng() % 8 ? alphabet[rng() % alphabet.size()] : char(rng());
        zt_test::View src = make_fragmented(body, 1 + rng() % 4);
        Walk w = walk(src.get());
        EXPECT_TRUE(w.progressed) << zt_test::escaped(body);
        EXPECT_EQ(ztview_get_len(src.get()), 0u);
        EXPECT_EQ(ztview_live_count(nullptr), live + 1);
        // Token and value calls agree with the model on every suffix.
        size_t cut = rng() % (body.size() + 1);
        for (Fn fn : {kAttr, kToken}) {
            zt_test::View s = make_fragmented(body.substr(cut), 1 + rng() % 3);
            ASSERT_EQ(run(fn, s.get(), rng() & 1), reference(fn, body.substr(cut))) << zt_test::escaped(body);
        }
    }
}

// ---------------------------------------------------------------------------
// Allocation failures: every allocation of each call fails in turn.
// ---------------------------------------------------------------------------

// Scanner failures destroy the output; value and name failures leave the
// handle as it was.  The first allocation of a scanner with a null handle is
// its output view, and then nothing is consumed.
TEST(Tokenizer, AllocationFailuresLeaveNothingHalfMade)
{
    for (Fn fn : {kValue, kName, kAttr, kToken})
        for (bool reuse : {false, true}) {
            const std::string body = fn == kAttr ? "= a (c) \"q\\\"s\" b;x" : " text/pl (c) \"q\" b;x";
            zt_test::View whole = make_view(body);
            const Outcome ok = run(fn, whole.get());
            for (long nth = 1; nth < 1000; ++nth) {
                zt_test::View src = make_fragmented(body, 1);
                ztview *given = reuse ? ztview_init() : nullptr, *out = given;
                std::strcpy(ztmime_last_error, kUntouched);
                errno = 0;
                zt_alloc_fail_at(nth);
                int rc = call(fn, src.get(), &out, nullptr);
                long used = zt_alloc_fail_at(0);
                SCOPED_TRACE(testing::Message() << fn << " reuse " << reuse << " nth " << nth);
                if (rc != -1) {
                    EXPECT_EQ((Outcome{rc, str(out), str(src.get()), ok.msg, ok.kind}), ok);
                } else {
                    EXPECT_EQ(errno, ENOMEM);
                    EXPECT_EQ(out, fn == kValue || fn == kName ? given : nullptr);
                    EXPECT_TRUE(!std::strcmp(ztmime_last_error, kUntouched) ||
                                !std::strcmp(ztmime_last_error, "Unable allocate memory"));
                    if (!reuse && nth == 1 && (fn == kAttr || fn == kToken)) {
                        EXPECT_EQ(str(src.get()), body);
                    }
                }
                ztview_destroy(out);
                if (used < nth) // this call no longer reaches the failing allocation
                    break;
            }
        }
}

} // namespace
