// ztmime tree [--headers] [FILE|-]: drives the parser over a message,
// interprets every header field, and prints the part structure as an
// indented tree: content type, depth (open multiparts), transfer encoding,
// body size in bytes and file name of each part.  With --headers each part
// is preceded by its header fields, unfolded and decoded to UTF-8.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "drive.h"
#include "ztmime.h"

namespace {

struct Part {
    int level;        // indentation: enclosing multiparts and messages
    int depth;        // open multiparts when the header block ended
    std::string type;
    int encoding;
    std::string filename;
    size_t body = 0;  // bytes up to the part's end (preamble and epilogue for a multipart)
    std::vector<std::string> headers;
};

std::string text(const ztview *v)
{
    std::string s(ztview_get_len(v), '\0');
    for (size_t i = 0; i < s.size(); ++i)
        ztview_getnchar(v, i, reinterpret_cast<unsigned char *>(&s[i]));
    return s;
}

// Control bytes as \xHH; UTF-8 passes through.
void put_text(const std::string &s)
{
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f)
            std::printf("\\x%02x", c);
        else
            std::putchar(c);
    }
}

const char *encoding_name(int code)
{
    switch (code) {
    case 0: return "-";
    case ZTMIME_ENC_7BIT: return "7bit";
    case ZTMIME_ENC_8BIT: return "8bit";
    case ZTMIME_ENC_BINARY: return "binary";
    case ZTMIME_ENC_BASE64: return "base64";
    case ZTMIME_ENC_QP: return "quoted-printable";
    case ZTMIME_ENC_UUENCODE: return "x-uuencode";
    default: return "other";
    }
}

void print_tree(const std::vector<Part> &parts, bool headers)
{
    for (const Part &p : parts) {
        std::string indent(2 * static_cast<size_t>(p.level), ' ');
        if (headers) {
            for (const std::string &h : p.headers) {
                std::printf("%s| ", indent.c_str());
                put_text(h);
                std::putchar('\n');
            }
        }
        std::printf("%s", indent.c_str());
        put_text(p.type.empty() ? std::string("(no type)") : p.type);
        std::printf("  depth=%d encoding=%s size=%zu", p.depth, encoding_name(p.encoding), p.body);
        if (!p.filename.empty()) {
            std::fputs(" file=\"", stdout);
            put_text(p.filename);
            std::putchar('"');
        }
        std::putchar('\n');
    }
}

// Follows the events and collects one Part per header block.
struct TreeBuilder {
    TreeBuilder(bool with_headers, ztview *norm_view) : headers(with_headers), norm(norm_view) {}
    bool headers;
    ztview *norm;                      // normalised copy of a field (--headers)
    std::vector<Part> parts;
    std::vector<std::string> pending;  // header fields of the block being read
    std::vector<size_t> open;          // multipart entries, innermost last
    long current = -1;                 // entry receiving body bytes
    std::vector<int> messages;         // depth at which each open embedded message began
    int depth_before = 0;              // open multiparts when the header block began
    bool first_block = true;

    void add_body(const ztview *out)
    {
        if (current >= 0)
            parts[static_cast<size_t>(current)].body += ztview_get_len(out);
    }

    void headers_done(ztmime_ctx *ctx, int ev)
    {
        if (ev == ZTMIME_HEADERS_DONE && !first_block)
            messages.push_back(depth_before);  // an embedded message's header block
        first_block = false;
        Part p;
        p.depth = ctx->part.depth;
        p.type = text(ctx->part.content_type);
        p.encoding = ctx->part.encoding;
        p.filename = text(ctx->part.filename);
        bool multi = p.depth > depth_before;  // this block opened a multipart
        p.level = (multi ? p.depth - 1 : p.depth) + static_cast<int>(messages.size());
        p.headers.swap(pending);
        parts.push_back(std::move(p));
        current = static_cast<long>(parts.size() - 1);
        if (multi)
            open.push_back(parts.size() - 1);
        depth_before = ctx->part.depth;
    }

    void part_done(const ztmime_ctx *ctx)
    {
        // A close delimiter pops a multipart: what follows is its epilogue.
        // Otherwise the next part's headers follow.
        current = -1;
        while (open.size() > static_cast<size_t>(ctx->part.depth)) {
            current = static_cast<long>(open.back());
            open.pop_back();
        }
        // A delimiter of the multipart around an embedded message ends
        // that message.
        while (!messages.empty() && (ctx->part.depth < messages.back() ||
                                     (ctx->part.depth == messages.back() && ctx->state == ZTMIME_PART_HEADER)))
            messages.pop_back();
        depth_before = ctx->part.depth;
    }

    bool event(ztmime_ctx *ctx, int ev, ztview *out)
    {
        switch (ev) {
        case ZTMIME_HEADER:
        case ZTMIME_PART_HEADER:
            if (ztmime_parse_header(ctx, out, headers ? norm : nullptr) < 0)
                std::fprintf(stderr, "ztmime tree: warning: %s\n", ztmime_strerror());
            if (headers)
                pending.push_back(text(norm));
            break;
        case ZTMIME_HEADERS_DONE:
        case ZTMIME_PART_HEADERS_DONE:
            headers_done(ctx, ev);
            break;
        case ZTMIME_PART_BODY:
        case ZTMIME_LONG_LINE:
        case ZTMIME_UUENCODE_HEADER:
        case ZTMIME_UUENCODE_DONE:
        case ZTMIME_BINHEX_HEADER:
        case ZTMIME_MSG_DONE:
            add_body(out);
            break;
        case ZTMIME_PART_DONE:
            part_done(ctx);
            break;
        default:
            break;
        }
        return true;
    }
};

} // namespace

int cmd_tree(int argc, char **argv)
{
    bool headers = false;
    const char *path = "-";
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--headers")) {
            headers = true;
        } else if (argv[i][0] == '-' && argv[i][1]) {
            std::fprintf(stderr, "ztmime tree: unknown option '%s'\n", argv[i]);
            return 2;
        } else {
            path = argv[i];
            ++files;
        }
    }
    if (files > 1) {
        std::fputs("usage: ztmime tree [--headers] [FILE|-]\n", stderr);
        return 2;
    }
    ztview *norm = ztview_init();
    if (!norm) {
        std::fputs("ztmime tree: out of memory\n", stderr);
        return 1;
    }
    TreeBuilder tree(headers, norm);
    int status = drive_parser("tree", path, [&tree](ztmime_ctx *ctx, int ev, ztview *out) {
        return tree.event(ctx, ev, out);
    });
    ztview_destroy(norm);
    print_tree(tree.parts, headers);
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}
