// A main() that feeds files to a harness's LLVMFuzzerTestOneInput, each once,
// for compilers and machines without libFuzzer (the cross-compiled checks
// run under qemu). A broken invariant aborts, as it does under libFuzzer.
//   fuzz_parse FILE_OR_FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i])) {
            files.emplace_back(argv[i]);
            continue;
        }
        std::vector<fs::path> inside;
        for (const auto& e : fs::directory_iterator(argv[i]))
            if (e.is_regular_file()) inside.push_back(e.path());
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    for (const fs::path& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        // A block of exactly the input's size, so that a read past it is a
        // read past the block.
        const std::vector<std::uint8_t> data(text.begin(), text.end());
        std::fprintf(stderr, "%s\n", f.c_str());  // the last one named is the one that failed
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
