#include "platform/XdgFolders.h"

#include "platform/AtomicFile.h"

#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace platform {
namespace {

std::string Env(const char* Name)
{
    const char* V = std::getenv(Name);
    return V ? std::string(V) : std::string();
}

} // namespace

std::string UserConfigFolder()
{
    std::string Config = Env("XDG_CONFIG_HOME");
    if (!Config.empty() && Config.front() == '/') {
        return Config;
    }
    std::string Home = Env("HOME");
    if (Home.empty() || Home.front() != '/') {
        Home.clear();
        long Size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::string Buffer(Size > 0 ? static_cast<std::size_t>(Size) : 16384, '\0');
        passwd Entry{};
        passwd* Found = nullptr;
        if (::getpwuid_r(::getuid(), &Entry, Buffer.data(), Buffer.size(), &Found) == 0 &&
            Found != nullptr && Found->pw_dir != nullptr && Found->pw_dir[0] == '/') {
            Home = Found->pw_dir;
        }
    }
    if (Home.empty()) {
        return {};
    }
    if (Home.back() != '/') {
        Home += '/';
    }
    return Home + ".config";
}

std::string SystemConfigFolder()
{
    std::stringstream Dirs(Env("XDG_CONFIG_DIRS"));
    std::string Entry;
    while (std::getline(Dirs, Entry, ':')) {
        if (!Entry.empty() && Entry.front() == '/') {
            return Entry;
        }
    }
    return "/etc/xdg";
}

std::string ProgramFileName()
{
    std::string Buffer(PATH_MAX, '\0');
    ssize_t N = ::readlink("/proc/self/exe", Buffer.data(), Buffer.size());
    if (N <= 0 || static_cast<std::size_t>(N) >= Buffer.size()) {
        return {};
    }
    Buffer.resize(static_cast<std::size_t>(N));
    return Buffer;
}

std::vector<std::string> ProgramArguments()
{
    std::string All;
    try {
        All = ReadWholeFile("/proc/self/cmdline");
    } catch (const EFileError&) {
        return {};
    }
    std::vector<std::string> Args;
    std::size_t Pos = 0;
    while (Pos < All.size()) {
        std::size_t End = All.find('\0', Pos);
        if (End == std::string::npos) {
            End = All.size();
        }
        Args.push_back(All.substr(Pos, End - Pos));
        Pos = End + 1;
    }
    if (!Args.empty()) {
        Args.erase(Args.begin()); // the program name
    }
    return Args;
}

} // namespace platform
