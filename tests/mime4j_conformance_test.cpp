// Part structure of real messages (a third-party corpus with expected parse
// trees) compared with what the parser and header interpretation give:
// nesting, content types and the raw bytes of every body, preamble and
// epilogue.  Messages where our rules give another answer are listed with
// the rule that explains it.  Skips when the corpus is absent.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zt_test.h"

using namespace zt_test;

namespace {

const std::string corpus = std::string(ZT_CORPUS_DIR) + "/mime4j/";

// Our rules differ from the corpus parser's for these messages.
const std::map<std::string, std::string> known_differences = {
    {"testmsgs/bad-newlines-multiple-parts-base64.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/base64encoded-rfc822message-nested.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/base64encoded-rfc822message.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"mimetools-testmsgs/multi-2gifs-base64.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/basic-plain-with-bad-header-separator.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeader-nocrlfcrlf.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeader-noheader.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeaderStartsBody-nocrlfcrlf.msg", "expected file made with a special option that loses a line"},
    {"testmsgs/malformedHeaderStartsBody-noheader.msg", "expected file made with a special option that loses a line"},
    {"mimetools-testmsgs/hdr-fakeout.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/obsolete.msg", "\"Name :\" fails the header-name test and ends the header block"},
    {"mimetools-testmsgs/jt-0498.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/mp-msg-rfc822.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/twopart.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/uu-junk.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"testmsgs/multipartdigestnestedemptyparts.msg", "no default type for parts of multipart/digest"},
    {"mimetools-testmsgs/multi-digest.msg", "no default type for parts of multipart/digest"},
    {"mimetools-testmsgs/multi-badnames.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/multi-clen.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/multi-simple.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/frag.msg", "the close delimiter around an embedded message leaves that boundary open: outer closes are body"},
    {"testmsgs/missing-inner-boundary.msg", "only the innermost boundary is tested: outer delimiters are inner body"},
    {"mimetools-testmsgs/multi-frag.msg", "only the innermost boundary is tested: outer delimiters are inner body"},
};

// ---------------------------------------------------------------------------
// The tree both sides are turned into
// ---------------------------------------------------------------------------

struct Entity;
struct Multipart {
    std::string preamble, epilogue;
    std::vector<std::unique_ptr<Entity>> parts;
};
struct Entity {
    std::string type;  // main value of the first Content-Type field, lower case
    char kind = 'B';   // B body, M multipart, R embedded message
    std::string body;
    Multipart multi;
    std::unique_ptr<Entity> message;
};

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string drop_one_break(std::string s)
{
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r')
            s.pop_back();
    }
    return s;
}

void render(const Entity &e, int level, std::string &out)
{
    std::string ind(2 * static_cast<size_t>(level), ' ');
    out += ind + "entity " + e.type + " " + e.kind + "\n";
    if (e.kind == 'B') {
        out += ind + " body " + escaped(e.body) + "\n";
    } else if (e.kind == 'R') {
        render(*e.message, level + 1, out);
    } else {
        out += ind + " preamble " + escaped(e.multi.preamble) + "\n";
        for (const auto &p : e.multi.parts)
            render(*p, level + 1, out);
        std::string epi = e.multi.epilogue == "\n" ? "" : e.multi.epilogue;
        out += ind + " epilogue " + escaped(epi) + "\n";
    }
}

// ---------------------------------------------------------------------------
// Expected side: the corpus's XML event stream
// ---------------------------------------------------------------------------

class Xml {
  public:
    explicit Xml(std::string s) : s_(std::move(s)) {}
    bool ok = true;

    std::unique_ptr<Entity> entity(const char *tag)
    {
        auto e = std::make_unique<Entity>();
        expect(std::string("<") + tag + ">");
        expect("<header>");
        bool seen = false;
        while (peek("<field>")) {
            std::string f = content("field");
            if (!seen && lower(f.substr(0, 13)) == "content-type:") {
                seen = true;
                std::string v = f.substr(13);
                v = v.substr(0, v.find(';'));
                std::string t;
                for (char c : v)
                    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                        t += c;
                e->type = lower(t);
            }
        }
        expect("</header>");
        if (peek("<multipart>")) {
            e->kind = 'M';
            expect("<multipart>");
            if (peek("<preamble>"))
                e->multi.preamble = content("preamble");
            while (peek("<body-part>"))
                e->multi.parts.push_back(entity("body-part"));
            if (peek("<epilogue>"))
                e->multi.epilogue = content("epilogue");
            expect("</multipart>");
        } else if (peek("<message>")) {
            e->kind = 'R';
            e->message = entity("message");
        } else {
            e->body = content("body");
        }
        expect(std::string("</") + tag + ">");
        return e;
    }

  private:
    std::string s_;
    size_t pos_ = 0;

    bool peek(const std::string &tag) const { return s_.compare(pos_, tag.size() + 2, tag + "\r\n") == 0; }
    void expect(const std::string &tag)
    {
        if (!peek(tag))
            ok = false;
        else
            pos_ += tag.size() + 2;
    }
    std::string content(const std::string &tag)
    {
        expect("<" + tag + ">");
        std::string close = "</" + tag + ">";
        size_t end = s_.find(close, pos_);
        if (end == std::string::npos) {
            ok = false;
            return "";
        }
        std::string raw = s_.substr(pos_, end - pos_), out;
        pos_ = end;
        expect(close);
        for (size_t i = 0; i < raw.size(); ++i) {
            if (!raw.compare(i, 4, "&lt;")) {
                out += '<';
                i += 3;
            } else if (!raw.compare(i, 4, "&gt;")) {
                out += '>';
                i += 3;
            } else if (!raw.compare(i, 5, "&amp;")) {
                out += '&';
                i += 4;
            } else {
                out += raw[i];
            }
        }
        return out;
    }
};

// ---------------------------------------------------------------------------
// Our side: events of the parser with header interpretation
// ---------------------------------------------------------------------------

struct Builder {
    std::unique_ptr<Entity> root = std::make_unique<Entity>();
    std::vector<Entity *> stack;           // open entities, innermost last
    std::vector<std::pair<Entity *, int>> multis;  // open multiparts and their level
    std::string *target = nullptr;         // where body bytes go
    int depth_at_start = 0;
    bool in_header = true;
    std::string first_type;                // first Content-Type value of the block
    bool seen_type = false;

    Builder() { stack.push_back(root.get()); }

    void header(const ztview *field)
    {
        std::string f = str(field);
        if (!seen_type && lower(f.substr(0, 13)) == "content-type:")
            seen_type = true;
    }

    void headers_done(ztmime_ctx *ctx)
    {
        Entity *e = stack.back();
        e->type = lower(str(ctx->part.content_type));
        seen_type = false;
        if (ctx->part.depth > depth_at_start) {
            e->kind = 'M';
            multis.push_back({e, ctx->part.depth});
            target = &e->multi.preamble;
        } else if (lower(str(ctx->part.content_type)).compare(0, 14, "message/rfc822") == 0) {
            e->kind = 'R';
            e->message = std::make_unique<Entity>();
            stack.push_back(e->message.get());
            target = nullptr;
        } else {
            target = &e->body;
        }
        depth_at_start = ctx->part.depth;
    }

    void body(const ztview *v)
    {
        if (target)
            *target += str(v);
    }

    // Closes entities down to the multipart's own entity.
    void unwind_to(Entity *m)
    {
        while (!stack.empty() && stack.back() != m)
            stack.pop_back();
    }

    void part_done(ztmime_ctx *ctx, const ztview *line)
    {
        if (!line)
            return;  // end of input: an unterminated last line may follow
        if (target)
            *target = drop_one_break(*target);
        target = nullptr;
        int d = ctx->part.depth;
        if (ctx->state == ZTMIME_PART_HEADER) {
            while (!multis.empty() && multis.back().second > d)
                multis.pop_back();
            if (multis.empty())
                return;
            Entity *m = multis.back().first;
            unwind_to(m);
            m->multi.parts.push_back(std::make_unique<Entity>());
            stack.push_back(m->multi.parts.back().get());
            depth_at_start = d;
            return;
        }
        Entity *closed = nullptr;
        while (!multis.empty() && multis.back().second > d) {
            closed = multis.back().first;
            multis.pop_back();
        }
        if (!closed && !multis.empty() && multis.back().second == d) {
            closed = multis.back().first;
            multis.pop_back();
        }
        if (closed) {
            unwind_to(closed);
            target = &closed->multi.epilogue;
        }
        depth_at_start = d;
    }
};

std::string ours(const std::string &msg, size_t chunk, int *errors)
{
    ztmime_ctx *ctx = ztmime_init(0, 0);
    Builder b;
    *errors = 0;
    bool done = false;
    auto drain = [&] {
        while (!done) {
            ztview *raw = nullptr;
            ztmime_type t = ztmime_do(ctx, &raw);
            View v(raw);
            switch (t) {
            case ZTMIME_NO_DATA:
                return;
            case ZTMIME_HEADER:
            case ZTMIME_PART_HEADER:
                if (ztmime_parse_header(ctx, v.get(), nullptr) < 0)
                    ++*errors;
                b.header(v.get());
                break;
            case ZTMIME_HEADERS_DONE:
            case ZTMIME_PART_HEADERS_DONE:
                b.headers_done(ctx);
                break;
            case ZTMIME_PART_BODY:
            case ZTMIME_LONG_LINE:
                b.body(v.get());
                break;
            case ZTMIME_PART_DONE:
                b.part_done(ctx, v.get());
                break;
            case ZTMIME_MSG_DONE:
                b.body(v.get());
                done = true;
                break;
            case ZTMIME_ERROR:
                ++*errors;
                done = true;
                break;
            default:
                break;
            }
        }
    };
    for (size_t off = 0; off < msg.size() && !done; off += chunk) {
        View c = make_view(std::string_view(msg).substr(off, chunk));
        ztmime_update(ctx, c.get());
        drain();
    }
    ztmime_finish(ctx);
    drain();
    ztmime_destroy(ctx);
    std::string out;
    render(*b.root, 0, out);
    return out;
}

std::vector<std::string> messages()
{
    std::vector<std::string> names;
    bool ok;
    std::string manifest = read_file(corpus + "MANIFEST.tsv", &ok);
    size_t pos = manifest.find('\n');
    while (ok && pos != std::string::npos && pos + 1 < manifest.size()) {
        size_t end = manifest.find('\n', pos + 1);
        std::string line = manifest.substr(pos + 1, end - pos - 1);
        names.push_back(line.substr(0, line.find('\t')));
        pos = end;
    }
    return names;
}

TEST(Mime4jConformance, PartStructureOfEveryMessage)
{
    std::vector<std::string> names = messages();
    if (names.empty())
        GTEST_SKIP() << "corpus absent: " << corpus;
    int agree = 0, known = 0;
    for (const std::string &name : names) {
        std::string base = name.substr(0, name.find('.'));
        bool ok1, ok2;
        std::string msg = read_file(corpus + name, &ok1);
        Xml xml(read_file(corpus + base + ".xml", &ok2));
        ASSERT_TRUE(ok1 && ok2) << name;
        std::unique_ptr<Entity> expected_tree = xml.entity("message");
        ASSERT_TRUE(xml.ok) << "cannot read " << base << ".xml";
        std::string expected;
        render(*expected_tree, 0, expected);
        int errors = 0;
        std::string whole = ours(msg, 1 << 30, &errors);
        // The structure does not depend on how the input is cut.
        for (size_t chunk : {1, 7, 4096})
            EXPECT_EQ(ours(msg, chunk, &errors), whole) << name << " chunk " << chunk;
        auto diff = known_differences.find(name);
        if (whole == expected) {
            ++agree;
            EXPECT_EQ(diff, known_differences.end()) << name << " agrees: drop it from the known differences";
        } else if (diff != known_differences.end()) {
            ++known;
        } else {
            size_t at = 0;
            while (at < expected.size() && at < whole.size() && expected[at] == whole[at])
                ++at;
            size_t from = at > 200 ? at - 200 : 0;
            ADD_FAILURE() << name << " differs at " << at << "\n--- expected\n"
                          << expected.substr(from, 400) << "\n--- ours\n" << whole.substr(from, 400);
        }
    }
    std::printf("mime4j corpus: %d of %zu messages agree, %d differ for known reasons\n", agree, names.size(),
                known);
}

} // namespace
