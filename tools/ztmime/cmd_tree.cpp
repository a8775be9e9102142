// ztmime tree [--headers] [FILE|-]: drives the parser over a message,
// interprets every header field, and prints the part structure as an
// indented tree: content type, depth (open multiparts), transfer encoding,
// body size in bytes and file name of each part.  With --headers each part
// is preceded by its header fields, unfolded and decoded to UTF-8.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "ztmime.h"

namespace {

constexpr size_t chunk_size = 64 * 1024;

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
    FILE *in = std::strcmp(path, "-") ? std::fopen(path, "rb") : stdin;
    if (!in) {
        std::fprintf(stderr, "ztmime tree: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    ztmime_ctx *ctx = ztmime_init(0, 0);
    ztview *norm = ztview_init();
    if (!ctx || !norm) {
        std::fputs("ztmime tree: out of memory\n", stderr);
        ztmime_destroy(ctx);
        ztview_destroy(norm);
        if (in != stdin)
            std::fclose(in);
        return 1;
    }

    std::vector<Part> parts;
    std::vector<std::string> pending;  // header fields of the block being read
    std::vector<size_t> open;          // multipart entries, innermost last
    long current = -1;                 // entry receiving body bytes
    std::vector<int> messages;         // depth at which each open embedded message began
    int depth_before = 0;              // open multiparts when the header block began
    bool first_block = true;

    static unsigned char buf[chunk_size];
    int status = 0;
    bool done = false, finished = false;
    while (!done) {
        if (!finished) {
            size_t n = std::fread(buf, 1, sizeof buf, in);
            if (n > 0) {
                ztview *chunk = ztview_from_buf(buf, n);
                int rc = chunk ? ztmime_update(ctx, chunk) : -1;
                ztview_destroy(chunk);
                if (rc != 0) {
                    std::fputs("ztmime tree: out of memory\n", stderr);
                    status = 1;
                    break;
                }
            } else {
                if (std::ferror(in)) {
                    std::fprintf(stderr, "ztmime tree: %s: read error\n", path);
                    status = 1;
                    break;
                }
                ztmime_finish(ctx);
                finished = true;
            }
        }
        for (;;) {
            ztview *out = nullptr;
            int ev = ztmime_do(ctx, &out);
            if (ev == ZTMIME_NO_DATA) {
                if (finished) {
                    std::fputs("ztmime tree: parser stopped before the end\n", stderr);
                    status = 1;
                    done = true;
                }
                break;
            }
            if (ev == ZTMIME_ERROR) {
                const char *msg = ztmime_strerror();
                std::fprintf(stderr, "ztmime tree: parse error%s%s\n", *msg ? ": " : "", msg);
                status = 1;
                done = true;
                break;
            }
            switch (ev) {
            case ZTMIME_HEADER:
            case ZTMIME_PART_HEADER: {
                int r = ztmime_parse_header(ctx, out, headers ? norm : nullptr);
                if (r < 0)
                    std::fprintf(stderr, "ztmime tree: warning: %s\n", ztmime_strerror());
                if (headers)
                    pending.push_back(text(norm));
                break;
            }
            case ZTMIME_HEADERS_DONE:
            case ZTMIME_PART_HEADERS_DONE: {
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
                break;
            }
            case ZTMIME_PART_BODY:
            case ZTMIME_LONG_LINE:
            case ZTMIME_UUENCODE_HEADER:
            case ZTMIME_UUENCODE_DONE:
            case ZTMIME_BINHEX_HEADER:
                if (current >= 0)
                    parts[static_cast<size_t>(current)].body += ztview_get_len(out);
                break;
            case ZTMIME_PART_DONE:
                // A close delimiter pops a multipart: what follows is its
                // epilogue.  Otherwise the next part's headers follow.
                current = -1;
                while (open.size() > static_cast<size_t>(ctx->part.depth)) {
                    current = static_cast<long>(open.back());
                    open.pop_back();
                }
                // A delimiter of the multipart around an embedded message
                // ends that message.
                while (!messages.empty() && (ctx->part.depth < messages.back() ||
                                             (ctx->part.depth == messages.back() && ctx->state == ZTMIME_PART_HEADER)))
                    messages.pop_back();
                depth_before = ctx->part.depth;
                break;
            case ZTMIME_MSG_DONE:
                if (current >= 0)
                    parts[static_cast<size_t>(current)].body += ztview_get_len(out);
                done = true;
                break;
            default:
                break;
            }
            ztview_destroy(out);
            if (done)
                break;
        }
    }
    ztview_destroy(norm);
    ztmime_destroy(ctx);
    if (in != stdin)
        std::fclose(in);
    print_tree(parts, headers);
    if (std::fflush(stdout) != 0)
        status = 1;
    return status;
}
