// What the targets that read files share: one private folder per process
// (removed at exit), and whole-file reads and writes. The folder is in memory
// where the system has such a place: the writers under test flush every file
// to disk, which would otherwise make a few dozen runs a second of them.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <unistd.h>

namespace fuzzfiles {

inline const std::string& Folder()
{
    static const std::string Path = [] {
        char Templ[] = "/dev/shm/tolvex-fuzz-XXXXXX";
        if (!::mkdtemp(Templ) && !::mkdtemp(std::strcpy(Templ, "/tmp/tolvex-fuzz-XXXXXX"))) {
            std::abort();
        }
        static const std::string Made(Templ);
        std::atexit([] {
            std::error_code Ignored;
            std::filesystem::remove_all(Made, Ignored);
        });
        return Made;
    }();
    return Path;
}

inline std::string PathOf(std::string_view Name)
{
    return Folder() + "/" + std::string(Name);
}

inline void Write(const std::string& Path, std::string_view Bytes)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!Out.flush()) {
        std::abort();
    }
}

inline std::string Read(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

} // namespace fuzzfiles
