// A fresh folder under the system's temporary folder, removed with its
// contents when the test ends (also when it fails).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

class TempFolder {
public:
    TempFolder()
    {
        std::string Pattern =
            (std::filesystem::temp_directory_path() / "tolvex-test-XXXXXX").string();
        if (::mkdtemp(Pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        Root = Pattern;
    }
    ~TempFolder()
    {
        std::error_code Ec;
        // Give back write permission that a test took away, so all goes.
        for (auto It = std::filesystem::recursive_directory_iterator(Root, Ec);
             It != std::filesystem::recursive_directory_iterator(); It.increment(Ec)) {
            ::chmod(It->path().c_str(), 0755);
        }
        ::chmod(Root.c_str(), 0755);
        std::filesystem::remove_all(Root, Ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Path inside the folder; with a trailing "/" kept as given.
    std::string Path(const std::string& Relative = "") const { return (Root / Relative).string(); }

    static void Write(const std::string& File, const std::string& Bytes)
    {
        std::filesystem::create_directories(std::filesystem::path(File).parent_path());
        std::ofstream Out(File, std::ios::binary | std::ios::trunc);
        Out << Bytes;
        if (!Out) {
            throw std::runtime_error("cannot write " + File);
        }
    }
    static std::string Read(const std::string& File)
    {
        std::ifstream In(File, std::ios::binary);
        if (!In) {
            throw std::runtime_error("cannot read " + File);
        }
        return std::string((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path Root;
};

#include <cstdio>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs Check in a child process that sees Folder read-only: a private mount
// namespace with a read-only bind mount, so that root cannot write there
// either, and nothing outside the child is affected. Without the right to
// make mount namespaces, the folder's write permission is taken away
// instead (which holds for users other than root). Returns -1 when neither
// can make the folder read-only, else whether Check returned true.
inline int InReadOnlyFolder(const std::string& Folder, const std::function<bool()>& Check)
{
    std::fflush(nullptr);
    pid_t Child = ::fork();
    if (Child < 0) {
        return -1;
    }
    if (Child == 0) {
        bool Ready = ::unshare(CLONE_NEWNS) == 0 &&
                     ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     ::mount(Folder.c_str(), Folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                     ::mount(nullptr, Folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                             nullptr) == 0;
        if (!Ready) {
            Ready = ::geteuid() != 0 && ::chmod(Folder.c_str(), 0555) == 0;
        }
        if (!Ready) {
            ::_exit(2);
        }
        bool Ok = Check();
        std::fflush(nullptr);
        ::_exit(Ok ? 0 : 1);
    }
    int Status = 0;
    while (::waitpid(Child, &Status, 0) < 0) {
    }
    ::chmod(Folder.c_str(), 0755);
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) == 1) {
        return 0;
    }
    return WEXITSTATUS(Status) == 0 ? 1 : -1;
}
