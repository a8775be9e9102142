// Helpers shared by the fuzz targets: owning views, views spread over
// segments, a reader that takes options from the front of the fuzz data,
// and a check that stops the run with a message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ztmime.h"
#include "views.h"
#include "ztview.h"

namespace zt_fuzz {

using zt_views::make_fragmented;
using zt_views::make_view;
using zt_views::str;
using zt_views::View;

// Printable rendering for failure messages.
inline std::string escaped(std::string_view s)
{
    std::string out;
    char hex[8];
    for (unsigned char c : s) {
        if ((c >= 0x20 && c < 0x7f && c != '\\') || c == '\n') {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Stops the run: a finding.  The fuzzer keeps the input that got here.
[[noreturn]] inline void fail(const char *what, const std::string &detail = "")
{
    std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, escaped(detail).c_str());
    std::abort();
}

inline void check(bool ok, const char *what, const std::string &detail = "")
{
    if (!ok)
        fail(what, detail);
}

// Every view made for one input must be released by its end.
inline void check_no_live_views()
{
    long live = ztview_live_count(nullptr);
    check(live == 0, "views left alive", std::to_string(live));
}

// Takes option bytes from the front of the fuzz data; the rest is the input.
struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
    std::string rest() { return std::string(reinterpret_cast<const char *>(p), n); }
};

// `s` cut at the given piece sizes in turn (each 1 or more).
inline std::vector<std::string> cut(std::string_view s, const std::vector<size_t> &sizes)
{
    std::vector<std::string> out;
    for (size_t off = 0, k = 0; off < s.size(); off += out.back().size())
        out.emplace_back(s.substr(off, sizes[k++ % sizes.size()]));
    return out;
}

} // namespace zt_fuzz
