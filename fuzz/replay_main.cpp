// Runs every file of a fuzz corpus through a target's entry point once, without
// libFuzzer, so that normal and sanitizer builds replay the corpora as plain tests.
//
//   replay_<name> [CORPUS_DIR]   (defaults to the folder the build compiled in)

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
#ifdef PRISMARA_REPLAY_CORPUS
    const char* folder = argc > 1 ? argv[1] : PRISMARA_REPLAY_CORPUS;
#else
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const char* folder = argv[1];
#endif
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<fs::path> files;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file())
            files.push_back(it->path());
    if (error || files.empty()) {
        std::fprintf(stderr, "no corpus files in %s\n", folder);
        return 1;
    }
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes(
            (std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A non-null pointer even for an empty input, as libFuzzer passes.
        static const std::uint8_t empty = 0;
        LLVMFuzzerTestOneInput(
            bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data()),
            bytes.size());
    }
    std::printf("replayed %zu files from %s\n", files.size(), folder);
    return 0;
}
