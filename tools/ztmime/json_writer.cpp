#include "json_writer.h"

#include <cstring>

namespace {

// Length of the valid UTF-8 sequence starting at p (p < end), 0 if none.
size_t utf8_seq(const unsigned char *p, const unsigned char *end)
{
    unsigned c = p[0];
    size_t n;
    unsigned cp, min;
    if (c < 0xc2)
        return 0;  // continuation byte or overlong lead
    if (c < 0xe0) {
        n = 2;
        cp = c & 0x1f;
        min = 0x80;
    } else if (c < 0xf0) {
        n = 3;
        cp = c & 0x0f;
        min = 0x800;
    } else if (c < 0xf5) {
        n = 4;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < n)
        return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((p[k] & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[k] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

bool plain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\' && c != 0x7f; }

} // namespace

void json_string(std::string &out, std::string_view s)
{
    static const char hex[] = "0123456789abcdef";
    auto p = reinterpret_cast<const unsigned char *>(s.data());
    const unsigned char *end = p + s.size();
    out += '"';
    while (p < end) {
        const unsigned char *run = p;
        while (p < end && plain(*p))
            ++p;
        out.append(reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
        if (p == end)
            break;
        unsigned char c = *p;
        if (c >= 0x80) {
            size_t n = utf8_seq(p, end);
            if (n) {
                out.append(reinterpret_cast<const char *>(p), n);
                p += n;
            } else {
                out += "\xef\xbf\xbd";
                ++p;
            }
            continue;
        }
        ++p;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out += '"';
}

void JsonWriter::separate()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_)
        out_ += ',';
    first_ = false;
}

void JsonWriter::open(char c)
{
    separate();
    out_ += c;
    first_ = true;
}

void JsonWriter::close(char c)
{
    out_ += c;
    first_ = false;
}

void JsonWriter::key(std::string_view name)
{
    separate();
    json_string(out_, name);
    out_ += ':';
    after_key_ = true;
}

void JsonWriter::value(std::string_view s)
{
    separate();
    json_string(out_, s);
}

void JsonWriter::value(uint64_t n)
{
    separate();
    out_ += std::to_string(n);
}

void JsonWriter::value(int64_t n)
{
    separate();
    out_ += std::to_string(n);
}

void JsonWriter::value(bool b)
{
    separate();
    out_ += b ? "true" : "false";
}

void JsonWriter::null()
{
    separate();
    out_ += "null";
}
