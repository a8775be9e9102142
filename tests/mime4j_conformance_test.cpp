// Part structure of real messages (a third-party corpus with expected parse
// trees) compared with what the parser and header interpretation give:
// nesting, content types and the raw bytes of every body, preamble and
// epilogue.  Messages where our rules give another answer are listed with
// the rule that explains it.  Skips when the corpus is absent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "mime4j_known.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

const std::string corpus = std::string(ZT_CORPUS_DIR) + "/mime4j/";

// Both sides are turned into one stream of lines: "[type]" at the end of
// each header block (main value of its first Content-Type field, lower
// case), "M{" and "R{" where a multipart or a message begins and "}" where
// it ends, and the raw bytes of every body ("B:"), preamble ("P:") and
// epilogue ("E:"; a lone line break counts as none).
void emit(std::string &out, char kind, const std::string &text)
{
    if (kind == 'B' || !(text.empty() || (kind == 'E' && text == "\n")))
        out += std::string(1, kind) + ":" + escaped(text) + "\n";
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Expected side: the corpus's XML rendering of the parse tree.
std::string expected(const std::string &x)
{
    std::string out, type;
    bool seen = false;
    for (size_t pos = 0, end; (end = x.find('>', pos)) != std::string::npos;) {
        std::string tag = x.substr(pos, end + 1 - pos), close = "</" + tag.substr(1);
        pos = end + 3;  // past ">" CR LF
        if (tag == "<field>" || tag == "<preamble>" || tag == "<body>" || tag == "<epilogue>") {
            size_t stop = x.find(close, pos);
            std::string text = x.substr(pos, stop - pos);
            pos = stop + close.size() + 2;
            for (auto [from, to] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}})
                for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; ++at)
                    text.replace(at, 4 + (from[1] == 'a'), to);
            if (tag != "<field>")
                emit(out, tag[1] == 'b' ? 'B' : tag[1] == 'p' ? 'P' : 'E', text);
            else if (!seen && (seen = lower(text.substr(0, 13)) == "content-type:"))
                type = text.substr(13, text.find(';') - 13);
        } else if (tag == "</header>") {
            std::erase_if(type, [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
            out += "[" + lower(std::exchange(type, "")) + "]\n", seen = false;
        } else if (tag == "<multipart>" || tag == "<message>") {
            out += tag[2] == 'u' ? "M{\n" : "R{\n";
        } else if (tag == "</multipart>" || tag == "</message>") {
            out += "}\n";
        }
    }
    return out;
}

// Our side: the parser's events with header interpretation.
struct Ours {
    std::string out = "R{\n", buf;
    char kind = 0;                          // what buf holds: 'B', 'P', 'E', or 0 for nothing
    std::vector<std::pair<char, int>> open = {{'R', 0}};  // innermost last: 'R' message, 'M' open
                                            // multipart, 'm' multipart in its epilogue, with its depth
    int depth_at_start = 0;

    void flush(bool drop_break)
    {
        if (drop_break && buf.ends_with('\n'))
            buf.resize(buf.size() - (buf.ends_with("\r\n") ? 2 : 1));
        if (kind)
            emit(out, kind, buf);
        buf.clear(), kind = 0;
    }
    void close_to(size_t n)
    {
        for (; open.size() > n; open.pop_back())
            out += "}\n";
    }
    // Index of the innermost open multipart for which keep(depth) holds, or -1.
    template <class Pred> long find_open(Pred keep, bool outermost = false) const
    {
        long found = -1;
        for (long i = 0; i < long(open.size()); ++i)
            if (open[i].first == 'M' && keep(open[i].second) && (found < 0 || !outermost))
                found = i;
        return found;
    }

    void event(ztmime_ctx *ctx, int ev, const ztview *v)
    {
        int d = ctx->part.depth;
        if (ev == ZTMIME_HEADERS_DONE || ev == ZTMIME_PART_HEADERS_DONE) {
            std::string type = lower(str(ctx->part.content_type));
            out += "[" + type + "]\n";
            if (d > depth_at_start)
                open.push_back({'M', d}), out += "M{\n", kind = 'P';
            else if (type.starts_with("message/rfc822"))
                open.push_back({'R', 0}), out += "R{\n";
            else
                kind = 'B';
            depth_at_start = d;
        } else if (ev == ZTMIME_PART_BODY || ev == ZTMIME_LONG_LINE) {
            buf += str(v);
        } else if (ev == ZTMIME_PART_DONE && v) {  // no view: end of input
            flush(true);
            if (ctx->state == ZTMIME_PART_HEADER) {  // a delimiter: the next part follows
                long m = find_open([d](int depth) { return depth <= d; });
                if (m < 0)
                    return;
                close_to(size_t(m) + 1);
            } else {  // a close delimiter: the multipart's epilogue follows
                long m = find_open([d](int depth) { return depth > d; }, true);
                if (m < 0 && (m = find_open([](int) { return true; })) >= 0 && open[size_t(m)].second != d)
                    m = -1;
                if (m >= 0)
                    close_to(size_t(m) + 1), open[size_t(m)].first = 'm', kind = 'E';
            }
            depth_at_start = d;
        } else if (ev == ZTMIME_MSG_DONE || ev == ZTMIME_ERROR) {
            buf += str(v);
            flush(false);
            close_to(0);
        }
    }
};

std::string ours(const std::string &msg, size_t chunk)
{
    Ours o;
    drive(msg, chunk, [&o](ztmime_ctx *ctx, int ev, const ztview *v) { o.event(ctx, ev, v); });
    return o.out;
}

TEST(Mime4jConformance, PartStructureOfEveryMessage)
{
    bool ok;
    std::string manifest = read_file(corpus + "MANIFEST.tsv", &ok);
    if (!ok)
        GTEST_SKIP() << "corpus absent: " << corpus;
    int agree = 0, known = 0, all = 0;
    for (size_t pos = manifest.find('\n') + 1; pos && pos < manifest.size(); pos = manifest.find('\n', pos) + 1, ++all) {
        std::string name = manifest.substr(pos, manifest.find('\t', pos) - pos);
        std::string msg = read_file(corpus + name), want = expected(read_file(corpus + name.substr(0, name.find('.')) + ".xml"));
        std::string got = ours(msg, 1 << 30);
        for (size_t chunk : {1, 7, 4096})  // the structure does not depend on how the input is cut
            EXPECT_EQ(ours(msg, chunk), got) << name << " chunk " << chunk;
        bool listed = known_differences.count(name);
        agree += got == want, known += got != want && listed;
        EXPECT_TRUE(got != want || !listed) << name << " agrees: drop it from the known differences";
        if (got != want && !listed) {
            size_t at = std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
            size_t from = at > 200 ? at - 200 : 0;
            ADD_FAILURE() << name << " differs at " << at << "\n--- expected\n"
                          << want.substr(from, 400) << "\n--- ours\n" << got.substr(std::min(from, got.size()), 400);
        }
    }
    std::printf("mime4j corpus: %d of %d messages agree, %d differ for known reasons\n", agree, all, known);
}

} // namespace
