#include "crashreport/kelExceptTemp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The prefix of every temporary folder's name: "kelExcept.<pid>.<start>.".
constexpr std::string_view TempPrefix = "kelExcept.";

// A folder that only this user can enter: a real folder, owned by the user,
// no access for the group or others. Made (mode 0700) when missing.
bool PrivateFolder(const std::string& Path)
{
    if (::mkdir(Path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat Info {};
    if (::lstat(Path.c_str(), &Info) != 0)
        return false;
    return S_ISDIR(Info.st_mode) && Info.st_uid == ::geteuid() && (Info.st_mode & 077) == 0;
}

struct TTempState {
    std::mutex Lock;
    std::string Folder;
    pid_t Owner = 0; // the process that made Folder (a forked child does not remove it)
    bool ExitHookSet = false;
};

TTempState& State()
{
    static TTempState* S = new TTempState; // outlives every exit handler
    return *S;
}

void RemoveTree(const std::string& Path)
{
    // remove_all never follows a symbolic link: a link inside is removed, not
    // what it points to.
    std::error_code Ec;
    std::filesystem::remove_all(Path, Ec);
}

void RemoveAtExit()
{
    RemoveExceptTempFolder();
}

} // namespace

unsigned long long ProcessStartTime(pid_t Pid)
{
    std::ifstream In("/proc/" + std::to_string(Pid) + "/stat");
    const std::string Stat((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    // The command name is in parentheses and may hold anything, blanks and
    // parentheses too: the fields after it start behind the last ")".
    const auto Close = Stat.rfind(')');
    if (Close == std::string::npos)
        return 0;
    // State is field 3, the start time field 22.
    std::size_t At = Close + 1;
    for (int Field = 3; Field <= 22; ++Field) {
        At = Stat.find_first_not_of(' ', At);
        if (At == std::string::npos)
            return 0;
        const std::size_t End = Stat.find(' ', At);
        if (Field == 22)
            return std::strtoull(Stat.substr(At, End - At).c_str(), nullptr, 10);
        At = End;
    }
    return 0;
}

std::string CrashRuntimeFolder()
{
    std::string Base;
    const char* Runtime = std::getenv("XDG_RUNTIME_DIR");
    if (Runtime != nullptr && Runtime[0] == '/')
        Base = Runtime;
    else
        Base = "/tmp/tolvex-" + std::to_string(::geteuid());
    while (Base.size() > 1 && Base.back() == '/')
        Base.pop_back();
    // Without a session's runtime folder, the fall-back in /tmp is the
    // private folder itself; inside a runtime folder, "tolvex" is.
    if (Runtime == nullptr || Runtime[0] != '/')
        return PrivateFolder(Base) ? Base : std::string();
    const std::string Folder = Base + "/tolvex";
    return PrivateFolder(Folder) ? Folder : std::string();
}

int RemoveEndedTempFolders()
{
    const std::string Runtime = CrashRuntimeFolder();
    if (Runtime.empty())
        return 0;
    DIR* Dir = ::opendir(Runtime.c_str());
    if (Dir == nullptr)
        return 0;
    int Removed = 0;
    while (dirent* Entry = ::readdir(Dir)) {
        const std::string Name = Entry->d_name;
        if (Name.rfind(TempPrefix, 0) != 0)
            continue;
        // "kelExcept.<pid>.<start>.XXXXXX"
        char* End = nullptr;
        const long Pid = std::strtol(Name.c_str() + TempPrefix.size(), &End, 10);
        if (*End != '.' || Pid <= 0)
            continue;
        const unsigned long long Start = std::strtoull(End + 1, &End, 10);
        if (*End != '.')
            continue;
        if (ProcessStartTime(static_cast<pid_t>(Pid)) == Start)
            continue; // its process still runs
        RemoveTree(Runtime + "/" + Name);
        ++Removed;
    }
    ::closedir(Dir);
    return Removed;
}

std::string ExceptTempFolder()
{
    TTempState& S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (!S.Folder.empty() && S.Owner == ::getpid())
        return S.Folder;
    RemoveEndedTempFolders();
    const std::string Runtime = CrashRuntimeFolder();
    if (Runtime.empty())
        return {};
    const pid_t Pid = ::getpid();
    std::string Pattern = Runtime + "/" + std::string(TempPrefix) + std::to_string(Pid) + "." +
                          std::to_string(ProcessStartTime(Pid)) + ".XXXXXX";
    if (::mkdtemp(Pattern.data()) == nullptr)
        return {};
    S.Folder = Pattern;
    S.Owner = Pid;
    if (!S.ExitHookSet)
        S.ExitHookSet = std::atexit(RemoveAtExit) == 0;
    return S.Folder;
}

void ClearExceptTempFolder()
{
    TTempState& S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.Folder.empty() || S.Owner != ::getpid())
        return;
    std::error_code Ec;
    for (const auto& Entry : std::filesystem::directory_iterator(S.Folder, Ec))
        RemoveTree(Entry.path().string());
}

void RemoveExceptTempFolder()
{
    TTempState& S = State();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (S.Folder.empty() || S.Owner != ::getpid())
        return;
    RemoveTree(S.Folder);
    S.Folder.clear();
}
