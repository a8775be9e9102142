// Cloak and lock over views of arbitrary bytes spread over segments, part
// of them shared with another view: the bytes are XORed, the shared view
// is untouched, and the same call again restores the content.
#include <algorithm>

#include "fuzz_util.h"

using namespace zt_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    uint8_t key = in.byte();
    size_t piece = in.byte() % 24, shared_len = in.byte();
    std::string bytes = in.rest();

    View v = make_fragmented(bytes, piece);
    View shared(ztview_duplicate_front(v.get(), nullptr, std::min(shared_len, bytes.size())));
    std::string shared_before = str(shared.get());
    for (bool cloak : {false, true}) {
        uint8_t k = cloak ? 0x6E : key;
        std::string x = bytes;
        for (char &c : x)
            c = static_cast<char>(c ^ k);
        int rc = cloak ? ztmime_cloak(v.get()) : ztmime_lock(v.get(), key);
        check(rc == 0, "scrambling failed");
        check(str(v.get()) == x, "wrong scrambled bytes");
        check(str(shared.get()) == shared_before, "a shared view changed");
        rc = cloak ? ztmime_cloak(v.get()) : ztmime_lock(v.get(), key);
        check(rc == 0 && str(v.get()) == bytes, "the second call did not restore the bytes");
    }
    v.reset();
    shared.reset();
    check_no_live_views();
    return 0;
}
