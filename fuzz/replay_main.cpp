// Runs every file of a fuzz corpus through a target's entry point once, without
// libFuzzer, so that normal and sanitizer builds replay the corpora as plain tests.
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
    const char* folder = argc > 1 ? argv[1] : PRISMARA_REPLAY_CORPUS;
    namespace fs = std::filesystem;
    std::error_code error;
    std::size_t files = 0;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file())
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        // Exactly the file's bytes on the heap; non-null even when empty, as libFuzzer passes.
        const std::vector<char> bytes { std::istreambuf_iterator<char>(in), {} };
        static const char empty = 0;
        LLVMFuzzerTestOneInput(
            reinterpret_cast<const std::uint8_t*>(bytes.empty() ? &empty : bytes.data()),
            bytes.size());
        ++files;
    }
    if (error || files == 0) {
        std::fprintf(stderr, "no corpus files in %s\n", folder);
        return 1;
    }
    std::printf("replayed %zu files from %s\n", files, folder);
    return 0;
}
