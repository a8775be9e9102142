// Header lines with encoded words in several charsets (and some plain
// lines) normalised with ztmime_normalize_header: lines per second and
// bytes per second, with memcpy over the same bytes for the ratio.
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

struct Lines {
    std::vector<ztview *> views;
    std::string bytes;
};

Lines make_lines(bool only_words)
{
    static const char *words[] = {
        "=?UTF-8?Q?Proc=C3=A8s-verbal_de_la_r=C3=A9union?=",
        "=?utf-8?B?0J/RgNC40LLQtdGCINC80LjRgA==?=",
        "=?ISO-8859-1?Q?r=E9sum=E9_du_caf=E9?=",
        "=?iso-8859-2?q?=B1=E6=EA=B3?=",
        "=?windows-1252?Q?=93quoted=94_=80_price?=",
        "=?KOI8-R?B?8NLJ18XUIMTSxdc=?=",
        "=?Shift_JIS?B?k/qWe4zqgsyDZYNMg1iDZw==?=",
        "=?GB2312?B?1tDOxNPKvP4=?=",
    };
    static const char *plain[] = {
        "Received: from mx1.example.org by relay.example.net with ESMTPS id 4f2a;\r\n\tMon, 1 Jan 2024\r\n",
        "Message-ID: <20240101000000.12345@example.org>\r\n",
        "Content-Type: text/plain; charset=utf-8; format=flowed\r\n",
    };
    std::mt19937 rng(5);
    Lines l;
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        if (!only_words && i % 2) {
            line = plain[rng() % 3];
        } else {
            line = "Subject: Re: ";
            int n = 1 + static_cast<int>(rng() % 3);
            for (int k = 0; k < n; ++k) {
                line += words[rng() % 8];
                line += k + 1 < n ? (rng() % 2 ? "\r\n " : " ") : "";
            }
            line += " [list]\r\n";
        }
        l.bytes += line;
        l.views.push_back(ztview_from_buf(line.data(), line.size()));
    }
    return l;
}

void normalize(benchmark::State &state, const Lines *l)
{
    ztview *dst = ztview_init();
    for (auto _ : state) {
        for (ztview *v : l->views)
            ztmime_normalize_header(v, dst);
        benchmark::DoNotOptimize(dst);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(l->views.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(l->bytes.size()));
    ztview_destroy(dst);
}

int register_all()
{
    static Lines words = make_lines(true), mixed = make_lines(false);
    benchmark::RegisterBenchmark("normalize_header/encoded_words", [](benchmark::State &s) { normalize(s, &words); });
    zt_bench::register_memcpy("encoded_words", &words.bytes);
    benchmark::RegisterBenchmark("normalize_header/mixed_lines", [](benchmark::State &s) { normalize(s, &mixed); });
    zt_bench::register_memcpy("mixed_lines", &mixed.bytes);
    return 0;
}

const int registered = register_all();

} // namespace
