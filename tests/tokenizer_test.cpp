// Header tokenizer: values, parameter names and values, general tokens.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "zt_test.h"

using namespace zt_test;

namespace {

const char kUntouched[] = "(untouched)";
enum Fn { kValue, kName, kAttr, kToken };

// Result, output, rest of the source, message, kind (-1: not reported).
using Outcome = std::tuple<int, std::string, std::string, std::string, int>;

int call(Fn fn, ztview *src, ztview **out, int *kind)
{
    return fn == kValue ? ztmime_header_get_value(src, out)
           : fn == kName ? ztmime_header_get_attribute_name(src, out)
           : fn == kAttr ? ztmime_header_get_attribute_value(src, out)
                         : ztmime_header_get_token(src, out, kind);
}

// One call on `s`, whole or cut into `piece`-byte segments; `reuse` passes
// a handle to a view that already holds bytes, and no place for the kind.
Outcome run(Fn fn, const std::string &s, size_t piece, bool reuse = false)
{
    View src = piece ? make_fragmented(s, piece) : make_view(s);
    std::strcpy(ztmime_last_error, kUntouched);
    ztview *out = reuse ? ztview_from_buf("stale", 5) : nullptr;
    int kind = -1, rc = call(fn, src.get(), &out, fn == kToken && !reuse ? &kind : nullptr);
    Outcome o{rc, str(out), str(src.get()), ztmime_last_error, kind};
    ztview_destroy(out);
    return o;
}

std::string hexmsg(const char *fmt, unsigned char c)
{
    char buf[129];
    return std::string(buf, std::snprintf(buf, sizeof buf, fmt, unsigned(c)));
}

bool in(const char *set, char c) { return c && std::strchr(set, c); }

// Reference model of the parameter-value and token scanners over a string.
Outcome reference(Fn fn, const std::string &s)
{
    Outcome r{0, "", "", kUntouched, -1};
    auto &[rc, out, rest, msg, kind] = r;
    size_t n = s.size(), i = std::min(s.find_first_not_of(" \t\r\n"), n), atom_len = 0;
    auto done = [&](size_t at, int k) { return rest = s.substr(std::min(at, n)), kind = fn == kToken ? k : -1, r; };
    if (fn == kAttr && (i == n || s[i++] != '='))
        return {-2, "", s.substr(i), "Invalid attribute. character '=' expected", -1};
    if (fn == kAttr)
        i = std::min(s.find_first_not_of(" \t", i), n);
    if (fn == kToken && i < n && s[i] == ';')
        return done(i + 1, ZTMIME_TOKEN_NONE);
    bool atom = false;  // inside an atom, or between pieces
    for (; i < n; ++i) {
        unsigned char c = s[i];
        if (c == '"' && !atom) {
            size_t j = i + 1;
            std::string content;
            for (; j < n && s[j] != '"'; ++j)
                content += s[j] == '\\' && j + 1 < n ? s.substr(j++, 2) : s.substr(j, 1);
            out += j >= n ? s.substr(i) : content;
            if (fn == kToken || j >= n)
                return done(j + 1, ZTMIME_TOKEN_QUOTED);
            i = j;
        } else if (c == '(') {
            size_t j = s.find(')', i);
            if (j == std::string::npos)
                return out += s.substr(i), done(n, ZTMIME_TOKEN_COMMENT);
            i = j, atom = true, atom_len = 0;
        } else if (in(fn == kAttr ? ";\r\n" : ";\r\n \t", c)) {
            return done(fn == kAttr && (!atom || atom_len > 0) ? i + 1 : i, ZTMIME_TOKEN_ATOM);
        } else if (in(" \t", c)) {
            atom = false;  // parameter values only: blanks between pieces
        } else {
            if (fn == kAttr && (c < 0x20 || c == 0x7f))
                rc = -2, msg = hexmsg(atom ? "Invalid controll character '0x%x' inside MIME atom token"
                                               : "Invalid character '0x%x' inside MIME token", c);
            else if (fn == kAttr && atom && in("()<>@,;:\\\"/[]?=", c))
                rc = -2, msg = hexmsg("Invalid special character '0x%x' inside MIME atom token", c);
            atom_len = atom ? atom_len + 1 : 1, atom = true;
            out += char(c);
        }
    }
    return done(n, atom ? ZTMIME_TOKEN_ATOM : ZTMIME_TOKEN_NONE);
}

// One row per rule; value and token rows are also checked against the model.
struct Case { Fn fn; std::string src; Outcome want; };
const Case kCases[] = {
    {kValue, "multipart/mixed; boundary=x", {0, "multipart/mixed", "; boundary=x", kUntouched, -1}},
    {kValue, "\"q\"; a=b", {-1, "", "; a=b", "Header value contains invalid double quote character '\"q\"'", -1}},
    {kValue, "text(c)/plain\r\n", {-1, "", "\r\n", "Header value contains comments'text(c)/plain'", -1}},
    {kName, "; charset=us-ascii", {0, "charset", "=us-ascii", kUntouched, -1}},
    {kName, ";=x", {-2, "", "=x", "Attribute name is empty", -1}},
    {kName, " a\"b=c", {-2, "a\"b", "=c", "Attribute contains invalid double quote character 'a\"b'", -1}},
    {kAttr, " \r\n= \tatom; next=1", {0, "atom", " next=1", kUntouched, -1}},
    {kAttr, "=\"a;b\r\n\" ; c", {0, "a;b\r\n", " c", kUntouched, -1}},
    {kAttr, "=a b (c) d(e)f", {0, "abdf", "", kUntouched, -1}},
    {kAttr, "=a/b@c\x01" "d=", {-2, "a/b@c\x01" "d=", "", "Invalid special character '0x3d' inside MIME atom token", -1}},
    {kAttr, "=/ab", {0, "/ab", "", kUntouched, -1}},
    {kAttr, "=\x7f" "a=\x01", {-2, "\x7f" "a=\x01", "", "Invalid controll character '0x1' inside MIME atom token", -1}},
    {kAttr, "; x", {-2, "", " x", "Invalid attribute. character '=' expected", -1}},
    {kAttr, "=\rnext", {0, "", "next", kUntouched, -1}},
    {kAttr, "=a(c);x", {0, "a", ";x", kUntouched, -1}},
    {kAttr, "=x \"ab\\", {0, "x\"ab\\", "", kUntouched, -1}},
    {kAttr, "=\"\";x", {0, "", "x", kUntouched, -1}},
    {kAttr, "=\"a.pdf\"\r\n", {0, "a.pdf", "\n", kUntouched, -1}},
    {kAttr, "=\"b0\"", {0, "b0", "", kUntouched, -1}},
    {kAttr, "=\"a\" b;x", {0, "ab", "x", kUntouched, -1}},
    {kAttr, "=\"a\\\"b\";x", {0, "a\\\"b", "x", kUntouched, -1}},
    {kAttr, "=utf-8''r%C3%A9.pdf\r\n", {0, "utf-8''r%C3%A9.pdf", "\n", kUntouched, -1}},
    {kAttr, "=\xe9t\xe9;", {0, "\xe9t\xe9", "", kUntouched, -1}},
    {kToken, "(c) atom", {0, "", " atom", kUntouched, ZTMIME_TOKEN_ATOM}},
    {kToken, "a\"b/c\"(d)=e\tx", {0, "a\"b/c\"=e", "\tx", kUntouched, ZTMIME_TOKEN_ATOM}},
    {kToken, "  \"a\\\"\"x", {0, "a\\\"", "x", kUntouched, ZTMIME_TOKEN_QUOTED}},
    {kToken, "ab(cd", {0, "ab(cd", "", kUntouched, ZTMIME_TOKEN_COMMENT}},
    {kToken, ";x", {0, "", "x", kUntouched, ZTMIME_TOKEN_NONE}},
};

TEST(Tokenizer, TableOnWholeAndFragmentedSourcesWithNullOrReusedHandle)
{
    for (const Case &c : kCases) {
        auto [rc, out, rest, msg, kind] = c.want;  // a reused handle comes with no place for the kind
        for (size_t piece : {0, 1, 3}) {
            EXPECT_EQ(run(c.fn, c.src, piece), c.want) << escaped(c.src) << " piece " << piece;
            EXPECT_EQ(run(c.fn, c.src, piece, true), Outcome(rc, out, rest, msg, -1)) << escaped(c.src) << " piece " << piece;
        }
        EXPECT_EQ(c.fn >= kAttr ? reference(c.fn, c.src) : c.want, c.want) << "model " << escaped(c.src);
    }
}

// Random bodies walked the way header interpretation walks them: every
// name and value pair consumes something, and value and token calls agree
// with the model on every suffix.
TEST(Tokenizer, RandomBodiesAlwaysProgressAndMatchTheModel)
{
    std::mt19937 rng(20240601);
    const std::string alphabet = "ab=;\"()\\ \t\r\n/\x01\x80";
    for (int round = 0; round < 3000; ++round) {
        std::string body;
        for (size_t len = rng() % 40; body.size() < len;)
            body += rng() % 8 ? alphabet[rng() % alphabet.size()] : char(rng());
        View src = make_fragmented(body, 1 + rng() % 4);
        ztview *piece = nullptr;
        for (size_t before; (before = ztview_get_len(src.get())) > 0;) {
            ztmime_header_get_attribute_name(src.get(), &piece);
            ztmime_header_get_attribute_value(src.get(), &piece);
            ASSERT_LT(ztview_get_len(src.get()), before) << escaped(body);
        }
        ztview_destroy(piece);
        size_t cut = rng() % (body.size() + 1);
        for (Fn fn : {kAttr, kToken})
            for (size_t piece : {size_t{0}, size_t{1 + rng() % 3}})  // whole: the one-segment reads
                ASSERT_EQ(run(fn, body.substr(cut), piece), reference(fn, body.substr(cut))) << escaped(body);
    }
}

} // namespace
