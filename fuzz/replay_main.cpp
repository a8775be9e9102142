// Runs a fuzz target over files without libFuzzer: every regular file in
// each directory named on the command line (or the file itself), so the
// seed corpus can run as an ordinary test under the sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

static void run_file(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", p.c_str());
    // A copy of exactly the file's size, so reads past the end are caught.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
}

int main(int argc, char **argv)
{
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i])) {
            for (const auto &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    files.push_back(e.path());
        } else {
            files.push_back(argv[i]);
        }
        std::sort(files.begin(), files.end());
        for (const auto &f : files) {
            run_file(f);
            ++runs;
        }
    }
    std::fprintf(stderr, "%zu inputs run\n", runs);
    return runs ? 0 : 1;
}
