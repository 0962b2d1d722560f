#include "crashreport/kelExceptThreads.h"
#include "crashlib/kelElfImage.h"
#include "crashlib/kelStrings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// How long a reader or writer waits for the table: a thread that crashed
// while holding the lock must not hold up the report.
constexpr auto LockBudget = 50ms;

struct TTable {
    std::timed_mutex Lock;
    std::vector<TThreadEntry> Entries;
};

// Any thread. Never destroyed: threads that end while the process exits
// still find it.
TTable& Table()
{
    static auto* T = new TTable;
    return *T;
}

// Any thread (so is the rest of this file; none of it in a signal handler).
std::string HexId(pid_t ThreadId)
{
    return "$" + CardToHexA(static_cast<uint32_t>(ThreadId));
}

bool ThreadHasEnded(pid_t ThreadId)
{
    return ::syscall(SYS_tgkill, ::getpid(), ThreadId, 0) != 0 && errno == ESRCH;
}

// Under the table's lock.
std::vector<TThreadEntry>::iterator FindLocked(TTable& T, pid_t ThreadId)
{
    return std::find_if(T.Entries.begin(), T.Entries.end(),
                        [ThreadId](const TThreadEntry& E) { return E.ThreadId == ThreadId; });
}

// Under the table's lock: the thread's entry, added when missing.
TThreadEntry& EntryLocked(TTable& T, pid_t ThreadId)
{
    auto It = FindLocked(T, ThreadId);
    if (It != T.Entries.end())
        return *It;
    TThreadEntry& E = T.Entries.emplace_back();
    E.ThreadId = ThreadId;
    return E;
}

// The kernel keeps 15 bytes of a thread's name; a name is cut there, never
// inside a UTF-8 sequence.
void SetKernelThreadName(pid_t ThreadId, std::string_view Name)
{
    std::size_t Length = std::min<std::size_t>(Name.size(), 15);
    while (Length > 0 && Length < Name.size() &&
           (static_cast<unsigned char>(Name[Length]) & 0xC0) == 0x80)
        --Length;
    const std::string Path = "/proc/self/task/" + std::to_string(ThreadId) + "/comm";
    const int Fd = ::open(Path.c_str(), O_WRONLY | O_CLOEXEC);
    if (Fd < 0)
        return;
    [[maybe_unused]] const ssize_t N = ::write(Fd, Name.data(), Length);
    ::close(Fd);
}

} // namespace

bool IsLibraryThreadName(std::string_view Name)
{
    return Name == HiddenThreadName || Name == HandlerThreadName || Name == FreezeThreadName ||
           Name == TraceThreadName;
}

bool SetThreadInfo(pid_t ThreadId, std::string_view Name, uintptr_t CreatingAddress,
                   pid_t CreatingThreadId, std::string_view CreatorText)
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return false;
    // The first entry of a thread that has ended goes (the table would
    // otherwise keep every thread that ended without saying so).
    for (auto It = T.Entries.begin(); It != T.Entries.end(); ++It)
        if (It->ThreadId != ThreadId && ThreadHasEnded(It->ThreadId)) {
            T.Entries.erase(It);
            break;
        }
    if (Name.empty() && CreatorText.empty() && CreatingAddress == 0) {
        if (auto It = FindLocked(T, ThreadId); It != T.Entries.end())
            T.Entries.erase(It);
        return true;
    }
    TThreadEntry& E = EntryLocked(T, ThreadId);
    E.Name = Name;
    E.CreatorText = CreatorText;
    E.CreatingAddress = CreatingAddress;
    E.CreatingThreadId = CreatingThreadId;
    return true;
}

bool AddThreadEntry(TThreadEntry Entry)
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return false;
    EntryLocked(T, Entry.ThreadId) = std::move(Entry);
    return true;
}

void RemoveThreadEntry(pid_t ThreadId)
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return;
    if (auto It = FindLocked(T, ThreadId); It != T.Entries.end())
        T.Entries.erase(It);
}

bool SetThreadName(pid_t ThreadId, std::string_view Name)
{
    SetKernelThreadName(ThreadId, Name);
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return false;
    EntryLocked(T, ThreadId).Name = Name;
    return true;
}

bool SetThreadCreatorText(pid_t ThreadId, std::string_view CreatorText)
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return false;
    EntryLocked(T, ThreadId).CreatorText = CreatorText;
    return true;
}

std::string GetThreadName(pid_t ThreadId, bool IncludeLibraryThreads, pid_t* CreatingThreadId,
                          uintptr_t* CreatingAddress)
{
    if (CreatingThreadId != nullptr)
        *CreatingThreadId = 0;
    if (CreatingAddress != nullptr)
        *CreatingAddress = 0;
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return "thread " + HexId(ThreadId);
    auto It = FindLocked(T, ThreadId);
    if (It == T.Entries.end())
        return "thread " + HexId(ThreadId);
    if (!IncludeLibraryThreads && IsLibraryThreadName(It->Name))
        return {};
    if (CreatingThreadId != nullptr)
        *CreatingThreadId = It->CreatingThreadId;
    if (CreatingAddress != nullptr)
        *CreatingAddress = It->CreatingAddress;
    if (!It->Name.empty())
        return It->Name + " (" + HexId(ThreadId) + ")";
    std::string Text = "thread " + HexId(ThreadId);
    if (!It->CreatorText.empty())
        Text += " (" + It->CreatorText + ")";
    return Text;
}

std::optional<TThreadEntry> GetThreadEntry(pid_t ThreadId)
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return std::nullopt;
    auto It = FindLocked(T, ThreadId);
    if (It == T.Entries.end())
        return std::nullopt;
    return *It;
}

std::vector<TThreadEntry> ListThreadEntries()
{
    TTable& T = Table();
    std::unique_lock<std::timed_mutex> Guard(T.Lock, LockBudget);
    if (!Guard)
        return {};
    return T.Entries;
}

// --- Own modules -----------------------------------------------------------------

namespace {

struct TModuleAnswer {
    uintptr_t Start, End;
    bool Own;
};

struct TModuleAnswers {
    std::mutex Lock;
    std::vector<TModuleAnswer> Known;
};

TModuleAnswers& ModuleAnswers()
{
    static auto* A = new TModuleAnswers;
    return *A;
}

// Under the answers' lock. -1 when the address lies in no module known yet.
int AnswerLocked(const TModuleAnswers& A, uintptr_t Address)
{
    for (const auto& M : A.Known)
        if (Address >= M.Start && Address < M.End)
            return M.Own ? 1 : 0;
    return -1;
}

bool CarriesMapData(const std::string& FileName)
{
    auto File = TElfFile::Open(FileName);
    return File && File->FindSection(".rsrc.KEL.EXCEPT") != nullptr;
}

} // namespace

bool IsOwnCreationStack(const uintptr_t* Frames, std::size_t Count)
{
    TModuleAnswers& A = ModuleAnswers();
    std::lock_guard<std::mutex> Guard(A.Lock);
    bool Reread = false;
    for (std::size_t I = 0; I < Count; ++I) {
        int Answer = AnswerLocked(A, Frames[I]);
        if (Answer < 0 && !Reread) {
            // A module not met before (loaded since): learn the modules again,
            // keeping what is known of those still there.
            Reread = true;
            std::vector<TModuleAnswer> Known;
            for (const TModuleInfo& M : GetModuleList()) {
                bool Own = false;
                bool Found = false;
                for (const auto& Old : A.Known)
                    if (Old.Start == M.Base && Old.End == M.End) {
                        Own = Old.Own;
                        Found = true;
                        break;
                    }
                if (!Found)
                    Own = CarriesMapData(M.FileName);
                Known.push_back({M.Base, M.End, Own});
            }
            A.Known = std::move(Known);
            Answer = AnswerLocked(A, Frames[I]);
            if (Answer < 0) {
                // Code outside every module file (the vDSO, generated code):
                // its page is remembered as foreign, so it costs no new reading.
                const uintptr_t Page = Frames[I] & ~uintptr_t(4095);
                A.Known.push_back({Page, Page + 4096, false});
            }
        }
        if (Answer == 1)
            return true;
    }
    return false;
}
