// `ztmime json --mbox` over a 1 GiB mbox made by repeating the corpus mbox,
// on one and two threads, beside a loop that only pulls the reader's items
// over the same bytes and memcpy of them.  The mbox is written once to
// $TMPDIR (or /tmp) and left there for later runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "ztmime.h"

namespace {

constexpr size_t kSize = size_t{1} << 30;

struct Mbox {
    std::string path;
    const char *data = nullptr;
    size_t size = 0;
};

// Maps the 1 GiB mbox, writing it first when it is missing.
Mbox make_mbox()
{
    Mbox m;
    const char *tmp = std::getenv("TMPDIR");
    m.path = std::string(tmp ? tmp : "/tmp") + "/ztmime_cli_bench_1gib.mbox";
    struct stat st {};
    if (stat(m.path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) < kSize) {
        std::string unit = zt_bench::read_file(std::string(ZT_CORPUS_DIR) + "/mbox/content-length.mbox");
        if (unit.empty())
            return m;
        if (unit.back() != '\n')
            unit += '\n';
        FILE *f = std::fopen(m.path.c_str(), "wb");
        for (size_t n = 0; f && n < kSize; n += unit.size())
            std::fwrite(unit.data(), 1, unit.size(), f);
        if (f)
            std::fclose(f);
    }
    int fd = open(m.path.c_str(), O_RDONLY);
    if (fd < 0 || fstat(fd, &st) != 0)
        return m;
    void *p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return m;
    m.data = static_cast<const char *>(p);
    m.size = static_cast<size_t>(st.st_size);
    return m;
}

const Mbox &mbox()
{
    static Mbox m = make_mbox();
    return m;
}

void BM_Memcpy(benchmark::State &state)
{
    const Mbox &m = mbox();
    if (!m.data) {
        state.SkipWithError("no corpus mbox");
        return;
    }
    std::vector<char> dst(m.size);
    for (auto _ : state) {
        std::memcpy(dst.data(), m.data, m.size);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size));
}

// The reader alone: every item pulled, every data byte touched, nothing
// else done.
void BM_ReaderOnly(benchmark::State &state)
{
    const Mbox &m = mbox();
    if (!m.data) {
        state.SkipWithError("no corpus mbox");
        return;
    }
    ztmime_reader *r = ztmime_reader_new(ZTMIME_READER_MBOX);
    uint64_t messages = 0;
    for (auto _ : state) {
        ztmime_reader_reset(r);
        size_t sum = 0;
        auto drain = [&] {
            const void *data;
            size_t len;
            for (ztmime_item it; (it = ztmime_reader_next(r, &data, &len)) != ZTMIME_ITEM_NONE;) {
                if (it == ZTMIME_ITEM_ERROR)
                    std::abort();
                if (it == ZTMIME_ITEM_DATA && len)
                    sum += static_cast<const unsigned char *>(data)[len - 1];
                messages += it == ZTMIME_ITEM_MESSAGE;
            }
        };
        for (size_t at = 0; at < m.size; at += 256 * 1024) {
            ztmime_reader_feed(r, m.data + at, std::min<size_t>(256 * 1024, m.size - at));
            drain();
        }
        ztmime_reader_finish(r);
        drain();
        benchmark::DoNotOptimize(sum);
    }
    ztmime_reader_destroy(r);
    state.counters["messages"] = static_cast<double>(messages / state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size));
}

void BM_CliJson(benchmark::State &state)
{
    const Mbox &m = mbox();
    if (!m.data) {
        state.SkipWithError("no corpus mbox");
        return;
    }
    std::string cmd = std::string(ZT_CLI_PATH) + " json -q --mbox --jobs " + std::to_string(state.range(0)) + " " +
                      m.path + " >/dev/null";
    // The program's own processor time, which the benchmark's CPU column
    // (this process only) leaves out: on a busy machine it tells the cost
    // apart from the wait.
    rusage before {}, after {};
    getrusage(RUSAGE_CHILDREN, &before);
    for (auto _ : state)
        if (std::system(cmd.c_str()) == -1)
            state.SkipWithError("cannot run ztmime");
    getrusage(RUSAGE_CHILDREN, &after);
    auto secs = [](const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    double cpu = secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    state.counters["child_cpu_ms"] = 1e3 * cpu / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * m.size));
}

BENCHMARK(BM_Memcpy)->Name("memcpy/mbox_1gib")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderOnly)->Name("reader_only/mbox_1gib")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CliJson)->Name("ztmime_json/mbox_1gib/jobs")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
