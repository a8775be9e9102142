#include "bench_util.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace zt_bench {

void register_memcpy(const std::string &name, const std::string *bytes)
{
    benchmark::RegisterBenchmark(("memcpy/" + name).c_str(), [bytes](benchmark::State &state) {
        std::vector<char> dst(bytes->size());
        for (auto _ : state) {
            std::memcpy(dst.data(), bytes->data(), bytes->size());
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                                static_cast<int64_t>(bytes->size()));
    })->Unit(benchmark::kMillisecond);
}

std::string read_file(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

} // namespace zt_bench
