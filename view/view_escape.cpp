// Scratch slots: text buffers for message texts and names, one pair per
// thread (thread_state.h).
#include <cstring>

#include "alloc.h"
#include "view_internal.h"

namespace {

char empty_text[1];

bool grow(zt_scratch &s, size_t need) noexcept
{
    if (need <= s.cap)
        return true;
    size_t cap = need < 256 ? 256 : need + need / 2;
    auto *p = static_cast<char *>(zt_realloc(s.text, cap));
    if (!p)
        return false;
    s.text = p;
    s.cap = cap;
    return true;
}

} // namespace

const char *ztview_copy_data_escaped(const ztview *v, int slot, int flag) noexcept
{
    if (slot != 1 && slot != 2)
        return empty_text;
    zt_scratch &s = zt_tls_get()->scratch[slot - 1];
    size_t len = ztview_get_len(v);
    // Worst case: every byte written as \xHH.
    if (!grow(s, (flag == 1 ? len : 4 * len) + 1)) {
        if (s.text)
            s.text[0] = 0;
        return empty_text;
    }
    static const char hex[] = "0123456789abcdef";
    size_t o = 0;
    for (uint32_t k = 0; v && k < v->count; ++k) {
        const zt_seg &seg = v->segs[v->head + k];
        if (flag == 1) {
            std::memcpy(s.text + o, seg.p, seg.n);
            o += seg.n;
            continue;
        }
        for (size_t j = 0; j < seg.n; ++j) {
            unsigned char c = seg.p[j];
            if (c >= 0x20 && c <= 0x7e && c != '\\') {
                s.text[o++] = static_cast<char>(c);
            } else {
                s.text[o++] = '\\';
                s.text[o++] = 'x';
                s.text[o++] = hex[c >> 4];
                s.text[o++] = hex[c & 15];
            }
        }
    }
    s.text[o] = 0;
    return s.text;
}

const char *ztview_esc_get_buf(int slot) noexcept
{
    if (slot != 1 && slot != 2)
        return empty_text;
    const char *text = zt_tls_get()->scratch[slot - 1].text;
    return text ? text : empty_text;
}
