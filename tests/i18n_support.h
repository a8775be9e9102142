// Helpers for the encoded-word suites: building words, and a plain
// rendering of the conversion rules to compare the library against.
#pragma once

#include <iconv.h>

#include <cstring>
#include <string>
#include <string_view>

#include "zt_test.h"

namespace zt_i18n_test {

inline std::string b64(std::string_view in)
{
    static const char tab[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += tab[(v >> 6) & 63];
        out += tab[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += tab[v >> 18];
        out += tab[(v >> 12) & 63];
        out += tab[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// Q encoding: letters and digits as they are, everything else as =XX.
inline std::string q(std::string_view in)
{
    std::string out;
    char hex[4];
    for (unsigned char c : in) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "=%02X", c);
            out += hex;
        }
    }
    return out;
}

inline std::string word(std::string_view charset, char enc, std::string_view bytes)
{
    return "=?" + std::string(charset) + "?" + enc + "?" + (enc == 'B' || enc == 'b' ? b64(bytes) : q(bytes)) +
           "?=";
}

// The conversion of one decoded word as the rules state it, with a fresh
// converter per word and no shortcut: one pass, one alias retry, "?" for
// each byte that still fails, the text up to the first NUL.  Sets *opened
// to false when the charset does not open (the bytes come back as given).
inline std::string reference_convert(const std::string &charset, const std::string &in, bool *opened)
{
    iconv_t cd = iconv_open("UTF-8", charset.c_str());
    *opened = cd != (iconv_t)-1;
    if (!*opened)
        return in;
    std::string out(5 * in.size(), '\0');
    char *ip = const_cast<char *>(in.data()), *op = out.data();
    size_t il = in.size(), ol = out.size();
    bool retry = true;
    while (il > 0) {
        if (iconv(cd, &ip, &il, &op, &ol) != (size_t)-1)
            break;
        if (retry) {
            retry = false;
            bool done = false;
            for (const ztmime_alias *a = aliases; a->name && !done; ++a) {
                if (strcasecmp(a->name, charset.c_str()))
                    continue;
                ip = const_cast<char *>(in.data());
                il = in.size();
                op = out.data();
                ol = out.size();
                iconv_t alt = iconv_open("UTF-8", a->target);
                if (alt == (iconv_t)-1)
                    continue;
                done = iconv(alt, &ip, &il, &op, &ol) != (size_t)-1;
                iconv_close(alt);
            }
            if (done)
                break;
        }
        if (ol == 0)
            break;
        *op++ = '?';
        --ol;
        ++ip;
        --il;
    }
    iconv_close(cd);
    return std::string(out.c_str());
}

} // namespace zt_i18n_test
