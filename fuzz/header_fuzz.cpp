// The header toolkit over arbitrary fields: the tokenizer loops, unfolding,
// normalization, encoded words and ztmime_parse_header.  Each runs on the
// field as one segment and as segments of a size taken from the first
// byte; how a view is split into segments must never change a result.
// Calls that only read their source must leave it as it was.
#include "fuzz_util.h"

using namespace zt_fuzz;

namespace {

std::string num(long v) { return std::to_string(v) + ";"; }

// One tokenizer call on `src` (in/out), recorded as result, kind and bytes.
std::string take(int fn, ztview *src)
{
    ztview *out = nullptr;
    int kind = -1, rc;
    switch (fn) {
    case 0: rc = ztmime_header_get_value(src, &out); break;
    case 1: rc = ztmime_header_get_attribute_name(src, &out); break;
    case 2: rc = ztmime_header_get_attribute_value(src, &out); break;
    default: rc = ztmime_header_get_token(src, &out, &kind); break;
    }
    std::string r = num(rc) + num(kind) + str(out) + "\n";
    ztview_destroy(out);
    return r;
}

// The tokenizer walks a caller makes: a value then name/value pairs, and
// a token loop.  Each stops at -1 or once a round consumes nothing.
std::string tokenize(std::string_view field, size_t piece)
{
    std::string log;
    View src = make_fragmented(field, piece);
    log += take(0, src.get());
    for (size_t before = SIZE_MAX; ztview_get_len(src.get()) && ztview_get_len(src.get()) < before;) {
        before = ztview_get_len(src.get());
        std::string n = take(1, src.get()), v = take(2, src.get());
        log += n + v;
        if (n.starts_with("-1;") || v.starts_with("-1;"))
            break;
    }
    View tok = make_fragmented(field, piece);
    for (size_t before = SIZE_MAX; ztview_get_len(tok.get()) < before;) {
        before = ztview_get_len(tok.get());
        std::string t = take(3, tok.get());
        log += t;
        if (t.starts_with("-1;"))
            break;
    }
    return log;
}

std::string interpret(std::string_view field, size_t piece)
{
    std::string log;
    View src = make_fragmented(field, piece), dst(ztview_init());
    View unfolded(ztmime_unfold_header(src.get(), nullptr));
    check(unfolded != nullptr, "ztmime_unfold_header");
    log += str(unfolded.get()) + "\n";
    log += num(ztmime_normalize_header(src.get(), dst.get())) + str(dst.get()) + "\n";
    View words(ztmime_i18n(src.get()));
    check(words != nullptr, "ztmime_i18n");
    log += str(words.get()) + "\n";
    uint32_t consumed = 0;
    View word(ztmime_i18n_chunk(src.get(), &consumed));
    log += num(word != nullptr) + num(consumed) + str(word.get()) + "\n";
    check(str(src.get()) == field, "a reading call changed its source");

    ztmime_ctx *ctx = ztmime_init(0, 0);
    check(ctx != nullptr, "ztmime_init");
    int rc = ztmime_parse_header(ctx, src.get(), dst.get());
    log += num(rc) + str(dst.get()) + "\n" + str(ctx->part.content_type) + "\n" + str(ctx->part.filename) + "\n" +
           num(ctx->part.encoding) + num(ctx->part.depth);
    if (rc == -2)
        log += ztmime_strerror();
    ztmime_destroy(ctx);
    return log;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    size_t piece = 1 + in.byte() % 16;
    std::string field = in.rest();
    std::string a = tokenize(field, 0), b = tokenize(field, piece);
    check(a == b, "tokenizer results depend on segments", a + "---\n" + b);
    a = interpret(field, 0);
    b = interpret(field, piece);
    check(a == b, "header results depend on segments", a + "---\n" + b);
    check_no_live_views();
    return 0;
}
