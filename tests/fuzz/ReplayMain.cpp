// Stands in for libFuzzer in normal builds: runs the target's entry function
// once on an empty input and once on every regular file of the folders (or
// files) named on the command line, in name order. A target that finds a
// fault traps, which fails the test; a corpus without a single file fails
// too, since replaying nothing would prove nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> Files;
    for (int I = 1; I < argc; ++I) {
        const fs::path Arg(argv[I]);
        if (fs::is_directory(Arg)) {
            for (const auto& Entry : fs::directory_iterator(Arg)) {
                if (Entry.is_regular_file()) {
                    Files.push_back(Entry.path());
                }
            }
        } else if (fs::is_regular_file(Arg)) {
            Files.push_back(Arg);
        }
    }
    if (Files.empty()) {
        std::fprintf(stderr, "no corpus files found\n");
        return 1;
    }
    std::sort(Files.begin(), Files.end());

    // libFuzzer never passes a null pointer, not even for an empty input.
    const std::uint8_t None = 0;
    LLVMFuzzerTestOneInput(&None, 0);
    for (const fs::path& File : Files) {
        std::ifstream In(File, std::ios::binary);
        const std::vector<char> Bytes{std::istreambuf_iterator<char>(In),
                                      std::istreambuf_iterator<char>()};
        if (!In.eof() && In.fail()) {
            std::fprintf(stderr, "cannot read %s\n", File.c_str());
            return 1;
        }
        // A copy of exactly the file's size, so that a read past its end is
        // one past the allocation (and seen by AddressSanitizer).
        std::vector<std::uint8_t> Input(Bytes.begin(), Bytes.end());
        std::printf("%s\n", File.filename().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(Input.empty() ? &None : Input.data(), Input.size());
    }
    std::printf("%zu inputs replayed\n", Files.size());
    return 0;
}
