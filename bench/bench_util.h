// Helpers shared by the benchmark programs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

namespace zt_bench {

// Registers a memcpy benchmark over `bytes` under `name`, so that every
// figure of a run can be read as a ratio to the same run's memory speed.
void register_memcpy(const std::string &name, const std::string *bytes);

// Reads a whole file; empty when it is absent.
std::string read_file(const std::string &path);

// Feeds `data` through `fn` in pieces of `chunk` bytes.
template <class Fn> void for_chunks(const std::string &data, size_t chunk, Fn fn)
{
    for (size_t off = 0; off < data.size(); off += chunk)
        fn(data.data() + off, data.size() - off < chunk ? data.size() - off : chunk);
}

} // namespace zt_bench
