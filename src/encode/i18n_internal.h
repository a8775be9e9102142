// The encoded-word decoder over flat bytes, shared by ztmime_i18n_chunk,
// ztmime_i18n and header normalisation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt_i18n {

// Receives the text of a decoded word, once, when decoding succeeded.
// Returns 0, or -1 when it could not take the bytes.
using Emit = int (*)(void *ctx, const unsigned char *bytes, size_t n);

enum Result {
    kFailed = -1,   // out of memory, or emit failed
    kNotWord = 0,   // not a decodable encoded word
    kDecoded = 1,   // decoded; emit was called
    kNeedMore = 2,  // p[0, n) is a prefix that ends inside the word's syntax
};

// Decodes the encoded word at the front of p[0, n).  `complete` says that
// p[0, n) runs to the end of the text; when it does not, a word whose
// syntax is cut off gives kNeedMore and nothing else happens.  Once the
// syntax is complete (through the closing "?="), its length is stored in
// *consumed when consumed is not null, whatever the decoding gives.
int decode_word(const unsigned char *p, size_t n, bool complete, uint32_t *consumed, Emit emit,
                void *ctx) noexcept;

} // namespace zt_i18n
