// The message reader over arbitrary input: its flags and a chunking come
// from the first bytes, the rest is the input.  The input is read whole and
// in chunks; both runs must give the same items (DATA joined), the same
// part facts, header fields and decoded bytes.  Items must nest, a part's
// size must be the DATA bytes handed out for it, and a reset reader must
// read the input again as a new one does.
#include <cctype>
#include <cstring>

#include "fuzz_util.h"

using namespace zt_fuzz;

namespace {

struct Item {
    int type;
    std::string text;  // DATA: the bytes; PART, PART_END: the facts and fields
};

// Well-formed UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool utf8(std::string_view s)
{
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        int need = c < 0x80 ? 0 : c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2 : c >= 0xF0 && c <= 0xF4 ? 3 : -1;
        if (need < 0 || i + need >= s.size() + (need ? 0 : 1))
            return false;
        uint32_t v = need ? c & (0x3F >> need) : c;
        for (int k = 1; k <= need; ++k) {
            unsigned char b = s[i + k];
            if ((b & 0xC0) != 0x80)
                return false;
            v = v << 6 | (b & 0x3F);
        }
        if ((need == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (need == 3 && (v < 0x10000 || v > 0x10FFFF)))
            return false;
        i += need + 1;
    }
    return true;
}

std::string facts(const ztmime_part_info *p)
{
    check(p != nullptr, "no part described");
    for (const char *s : {p->path, p->content_type, p->charset, p->disposition, p->filename})
        check(s != nullptr, "null text in the part record");
    check(utf8(p->filename), "file name not UTF-8", p->filename);
    return std::string(p->path) + "|" + std::to_string(p->depth) + "|" + p->content_type + "|" + p->charset + "|" +
           p->disposition + "|" + p->filename + "|" + std::to_string(p->encoding) + "|" +
           std::to_string(p->container) + "|" + std::to_string(p->size) + "|" + std::to_string(p->problems);
}

bool same_name(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

// The fields of the block just announced; ztmime_reader_header must find
// the first field of each name.
std::string fields(const ztmime_reader *r)
{
    std::string s;
    const char *name, *value;
    std::vector<std::pair<const char *, const char *>> seen;
    for (size_t i = 0; ztmime_reader_header_at(r, i, &name, &value) == 0; ++i) {
        check(name && value, "null header field");
        check(utf8(value), "header value not UTF-8", value);
        // The raw field decodes without the reader to the same name and value.
        const void *raw = nullptr;
        size_t len = 0, value_at = 0;
        check(ztmime_reader_field_at(r, i, &raw, &len) == 0 && raw, "no raw field beside a decoded one", name);
        std::string out(4 * len + 64, '\0');
        size_t need = ztmime_reader_decode_field(raw, len, out.data(), out.size(), &value_at);
        if (need > out.size()) {
            out.resize(need);
            need = ztmime_reader_decode_field(raw, len, out.data(), out.size(), &value_at);
        }
        check(need >= 2 && value_at < need, "a raw field did not decode", name);
        check(std::strcmp(out.c_str(), name) == 0 && std::strcmp(out.c_str() + value_at, value) == 0,
              "a raw field decodes otherwise", name);
        s += std::string("\n") + name + ": " + value;
        seen.emplace_back(name, value);
    }
    check(ztmime_reader_field_at(r, seen.size(), nullptr, nullptr) == -1, "a raw field past the decoded ones");
    for (const auto &[n, v] : seen) {
        const char *first = nullptr;
        for (const auto &[n2, v2] : seen)
            if (same_name(n, n2)) {
                first = v2;
                break;
            }
        const char *got = ztmime_reader_header(r, n);
        check(got && first && std::string(got) == first, "ztmime_reader_header disagrees", n);
    }
    return s;
}

std::string describe(const std::vector<Item> &log)
{
    std::string s;
    for (const Item &e : log)
        s += std::to_string(e.type) + " [" + e.text + "]\n";
    return s;
}

struct Open {
    std::string path;
    int32_t depth;
    bool container;
    uint64_t bytes;
    uint32_t children;
};

// Reads `input` with `r`, fed at the given piece sizes, checking the
// order of items as they come.  Consecutive DATA items are joined.
std::vector<Item> read(ztmime_reader *r, const std::string &input, const std::vector<size_t> &sizes, bool text_utf8)
{
    std::vector<Item> log;
    std::vector<Open> open;
    bool in_message = false;
    const size_t limit = 8 * input.size() + 64;
    size_t calls = 0;
    auto drain = [&] {
        for (;;) {
            const void *data = nullptr;
            size_t len = 0;
            ztmime_item it = ztmime_reader_next(r, &data, &len);
            check(++calls <= limit, "too many items");
            check(it != ZTMIME_ITEM_ERROR, "ZTMIME_ITEM_ERROR", ztmime_reader_error(r));
            check(it == ZTMIME_ITEM_DATA ? data && len : !data && !len, "data and len do not match the item");
            if (it == ZTMIME_ITEM_NONE)
                return;
            switch (it) {
            case ZTMIME_ITEM_MESSAGE:
                check(!in_message, "MESSAGE inside a message");
                check(ztmime_reader_part(r) == nullptr, "a part described before the message's own");
                in_message = true;
                break;
            case ZTMIME_ITEM_PART: {
                check(in_message, "PART outside a message");
                const ztmime_part_info *p = ztmime_reader_part(r);
                std::string f = facts(p);
                check(p->size == 0, "a part announced with a size");
                if (open.empty()) {
                    check(!*p->path && p->depth == 0, "a message's own part is not at the root", f);
                } else {
                    Open &up = open.back();
                    check(up.container, "a child of a leaf", f);
                    std::string want = up.path + (up.path.empty() ? "" : ".") + std::to_string(++up.children);
                    check(p->path == want && p->depth == up.depth + 1, "child path or depth", f + " after " + up.path);
                }
                open.push_back({p->path, p->depth, p->container != 0, 0, 0});
                log.push_back({it, f + fields(r)});
                break;
            }
            case ZTMIME_ITEM_DATA: {
                check(!open.empty() && !open.back().container, "DATA outside a leaf");
                const ztmime_part_info *p = ztmime_reader_part(r);
                open.back().bytes += len;
                check(p && p->size == open.back().bytes, "size is not the DATA handed out");
                std::string bytes(static_cast<const char *>(data), len);
                if (!log.empty() && log.back().type == ZTMIME_ITEM_DATA)
                    log.back().text += bytes;
                else
                    log.push_back({it, bytes});
                break;
            }
            case ZTMIME_ITEM_PART_END: {
                check(!open.empty(), "PART_END without a part");
                const ztmime_part_info *p = ztmime_reader_part(r);
                std::string f = facts(p);
                if (text_utf8 && !p->container && std::string_view(p->content_type).starts_with("text/")) {
                    const std::string &d = log.back().type == ZTMIME_ITEM_DATA ? log.back().text : std::string();
                    check(utf8(d), "text data not UTF-8", d);
                }
                check(p->path == open.back().path, "PART_END of another part", f);
                check(p->size == open.back().bytes, "final size is not the DATA handed out", f);
                open.pop_back();
                log.push_back({it, f});
                break;
            }
            case ZTMIME_ITEM_MESSAGE_END:
                check(in_message && open.empty(), "MESSAGE_END with parts open");
                in_message = false;
                break;
            default:
                fail("unknown item", std::to_string(it));
            }
            if (it != ZTMIME_ITEM_DATA && it != ZTMIME_ITEM_PART && it != ZTMIME_ITEM_PART_END)
                log.push_back({it, ""});
        }
    };
    for (const std::string &piece : cut(input, sizes)) {
        check(ztmime_reader_feed(r, piece.data(), piece.size()) == 0, "ztmime_reader_feed");
        drain();
    }
    check(ztmime_reader_finish(r) == 0, "ztmime_reader_finish");
    drain();
    check(!in_message && open.empty(), "the input ended with a message open");
    check(ztmime_reader_next(r, nullptr, nullptr) == ZTMIME_ITEM_NONE, "an item after NONE at the end");
    return log;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    uint32_t flags = in.byte() & (ZTMIME_READER_MBOX | ZTMIME_READER_TEXT_UTF8);
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i)
        sizes.push_back(1 + in.byte() % 64);
    std::string input = in.rest();
    bool text = flags & ZTMIME_READER_TEXT_UTF8;

    ztmime_reader *r = ztmime_reader_new(flags);
    check(r != nullptr, "ztmime_reader_new");
    std::vector<Item> whole = read(r, input, {input.size() + 1}, text);
    ztmime_reader_reset(r);
    std::vector<Item> chunked = read(r, input, sizes, text);
    check(whole.size() == chunked.size() && describe(whole) == describe(chunked), "chunking changed the items",
          describe(whole) + "----\n" + describe(chunked));
    // A reset in the middle of a message forgets it.
    ztmime_reader_reset(r);
    std::vector<size_t> half{input.size() / 2 + 1};
    std::string front = input.substr(0, half[0]);
    check(ztmime_reader_feed(r, front.data(), front.size()) == 0, "ztmime_reader_feed");
    while (ztmime_reader_next(r, nullptr, nullptr) > ZTMIME_ITEM_NONE) {
    }
    ztmime_reader_reset(r);
    std::vector<Item> again = read(r, input, {1 + sizes[0] * 7}, text);
    check(describe(whole) == describe(again), "a reset reader read differently",
          describe(whole) + "----\n" + describe(again));
    ztmime_reader_destroy(r);
    check_no_live_views();
    return 0;
}
