// Text to UTF-8 for the reader: streaming conversion of a part's decoded
// bytes from its charset, with U+FFFD for every byte sequence that does not
// convert, and the one-shot form used for file names.  This is the reader's
// only user of the shared converter cache.
#pragma once

#include <cstddef>

#include "reader/buf.h"

namespace zt_reader {

class TextConv {
  public:
    TextConv() noexcept = default;
    TextConv(const TextConv &) = delete;
    TextConv &operator=(const TextConv &) = delete;
    ~TextConv() { close(); }

    // Prepares a conversion from `charset` (lower case, "" for none).
    // Returns false when the charset is unknown: the bytes are then checked
    // as UTF-8 instead.
    bool open(const char *charset) noexcept;
    // Appends the UTF-8 for n more bytes to out; a sequence cut at the end
    // waits for the next call.  *bad is set when a byte was replaced.
    // Returns false for lack of memory.
    bool convert(const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept;
    // Ends the stream: a cut sequence left over becomes U+FFFD.
    bool flush(ByteBuf &out, bool *bad) noexcept;
    void close() noexcept;

  private:
    enum Kind { kUtf8, kLatin1, kIconv };
    bool run_iconv(const unsigned char *in, size_t n, bool final, ByteBuf &out, bool *bad) noexcept;
    bool iconv_pass(const unsigned char *in, size_t n, bool final, ByteBuf &out, bool *bad) noexcept;
    bool run_utf8(const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept;

    Kind kind_ = kUtf8;
    bool live_ = false;  // store_ holds a converter
    alignas(8) unsigned char store_[32];
    unsigned char carry_[16];
    size_t nc_ = 0;
};

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(const unsigned char *p, size_t n) noexcept;

// Appends text as UTF-8: as it is when it is valid UTF-8, else each byte
// read as ISO-8859-1.  NUL bytes are left out.
bool append_utf8_or_latin1(const unsigned char *p, size_t n, ByteBuf &out) noexcept;

// One-shot conversion of a file name's bytes from `charset`; an empty or
// unknown charset takes the rule above.  *bad as for TextConv.
bool convert_name(const char *charset, const unsigned char *in, size_t n, ByteBuf &out, bool *bad) noexcept;

} // namespace zt_reader
