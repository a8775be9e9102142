// Owning views and the view helpers that the tests and the fuzz targets
// share; no test framework here, so that the fuzz targets can use them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ztview.h"

namespace zt_views {

struct ViewDeleter {
    void operator()(ztview *v) const { ztview_destroy(v); }
};
using View = std::unique_ptr<ztview, ViewDeleter>;

inline View make_view(std::string_view s) { return View(ztview_from_buf(s.data(), s.size())); }

// A view whose bytes are spread over segments of `piece` bytes each (0: one
// segment), in separate blocks, so that readers must cross segment
// boundaries.
inline View make_fragmented(std::string_view s, size_t piece = 1)
{
    if (piece == 0)
        return make_view(s);
    View v(ztview_init());
    for (size_t i = 0; i < s.size(); i += piece) {
        View part = make_view(s.substr(i, piece));
        // A move hands the segment over without merging it into a block
        // that has spare room, so each piece stays its own segment.
        ztview_move(v.get(), part.get(), piece);
    }
    return v;
}

// The view's bytes (empty for null).
inline std::string str(const ztview *v)
{
    size_t n = v ? ztview_get_len(v) : 0;
    std::string s(n, '\0');
    if (n)
        ztview_copy_data_r(v, s.data(), &n, 0);
    return s;
}

} // namespace zt_views
