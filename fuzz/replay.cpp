// Runs saved inputs through the fuzz targets' entry points without libFuzzer:
// every file named, and every file directly inside each folder named. A
// fault shows as a crash, a sanitizer report or a failed check (abort).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_entry.h"

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_directory(argv[i])) {
            for (const fs::directory_entry &entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else {
            inputs.push_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s <file or folder>...: no input files found\n", argv[0]);
        return 2;
    }
    for (const fs::path &path : inputs) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
        printf("%s (%zu bytes)\n", path.filename().c_str(), bytes.size());
        fflush(stdout);
        fuzz_metadata(bytes.data(), bytes.size());
        fuzz_lossless(bytes.data(), bytes.size());
        fuzz_compress(bytes.data(), bytes.size());
    }
    printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
