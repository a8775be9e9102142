// Header tokenizer: walking long parameter lists and token streams.
#include <string>

#include "bench_util.h"
#include "ztmime.h"

namespace {

// A Content-Type body with `count` parameters mixing atoms, quoted strings,
// comments and folding, in segments of `piece` bytes.
std::string parameter_list(int count)
{
    std::string body = "multipart/mixed";
    for (int i = 0; i < count; ++i)
        body += (i % 3 ? "; name" : ";\r\n\tquoted") + std::to_string(i) +
                (i % 3 ? "=plain-value." + std::to_string(i) : "=\"a \\\"quoted\\\" value\" (note)");
    return body;
}

const std::string kBody = parameter_list(20000);

ztview *segmented(const std::string &s, size_t piece)
{
    ztview *v = ztview_init();
    for (size_t i = 0; i < s.size(); i += piece) {
        ztview *part = ztview_from_buf(s.data() + i, std::min(piece, s.size() - i));
        ztview_move(v, part, piece);
        ztview_destroy(part);
    }
    return v;
}

void walk_parameters(benchmark::State &state)
{
    ztview *base = segmented(kBody, static_cast<size_t>(state.range(0)));
    ztview *name = nullptr, *value = nullptr;
    for (auto _ : state) {
        ztview *body = ztview_duplicate_front(base, nullptr, kBody.size());
        ztmime_header_get_value(body, &value);
        while (ztview_get_len(body) > 0) {
            ztmime_header_get_attribute_name(body, &name);
            ztview_skip_while(body, " \t");
            ztmime_header_get_attribute_value(body, &value);
            ztview_skip_while(body, " \t\r\n;");
        }
        ztview_destroy(body);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBody.size()));
    ztview_destroy(name);
    ztview_destroy(value);
    ztview_destroy(base);
}

void walk_tokens(benchmark::State &state)
{
    ztview *base = segmented(kBody, static_cast<size_t>(state.range(0)));
    ztview *token = nullptr;
    int kind = 0;
    for (auto _ : state) {
        ztview *body = ztview_duplicate_front(base, nullptr, kBody.size());
        do
            ztmime_header_get_token(body, &token, &kind);
        while (kind != ZTMIME_TOKEN_NONE || ztview_get_len(body) > 0);
        ztview_destroy(body);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBody.size()));
    ztview_destroy(token);
    ztview_destroy(base);
}

const bool registered = [] {
    zt_bench::register_memcpy("tokenizer_params", &kBody);
    return true;
}();

} // namespace

BENCHMARK(walk_parameters)->Arg(1 << 20)->Arg(4096)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(walk_tokens)->Arg(1 << 20)->Arg(4096)->Arg(64)->Unit(benchmark::kMillisecond);
