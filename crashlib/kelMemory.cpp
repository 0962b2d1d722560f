#include "crashlib/kelMemory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>

namespace {

std::size_t PageSize()
{
    static const std::size_t Size = [] {
        long S = sysconf(_SC_PAGESIZE);
        return S > 0 ? static_cast<std::size_t>(S) : std::size_t{4096};
    }();
    return Size;
}

// Reads bigger than this go around the page cache: they are rare (a whole
// stack at once) and would only push out the pages a walk keeps coming back to.
constexpr std::size_t MaxCachedRead = 64 * 1024;
// A walk touches a few hundred pages; a cache past this is started afresh.
constexpr std::size_t MaxCachedPages = 4096;

bool ReadReadable(uintptr_t Source, void* Dest, std::size_t Count)
{
    iovec Local{Dest, Count};
    iovec Remote{reinterpret_cast<void*>(Source), Count};
    for (;;) {
        ssize_t Got = process_vm_readv(getpid(), &Local, 1, &Remote, 1, 0);
        if (Got < 0 && errno == EINTR)
            continue;
        // A short count means a page further on is gone: the read failed.
        return Got == static_cast<ssize_t>(Count);
    }
}

// /proc/self/mem reads pages whatever their protection, so it is only ever
// asked for pages that the maps say are executable. The descriptor stays open
// for the life of the process; a forked child opens its own, because the
// parent's names the parent's memory. Descriptor and owner are one word, so
// that no lock is needed (a crashed thread could hold it).
std::atomic<uint64_t> SelfMem{0}; // process id << 32 | descriptor + 1

int SelfMemFd()
{
    const auto Pid = static_cast<uint32_t>(getpid());
    for (;;) {
        uint64_t Now = SelfMem.load();
        if (Now != 0 && Now >> 32 == Pid)
            return static_cast<int>(Now & 0xFFFFFFFFu) - 1;
        const int Fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
        if (Fd < 0)
            return -1;
        const uint64_t Mine = uint64_t{Pid} << 32 | static_cast<uint32_t>(Fd + 1);
        if (SelfMem.compare_exchange_strong(Now, Mine)) {
            if (Now != 0) // the parent's, inherited by this child
                close(static_cast<int>(Now & 0xFFFFFFFFu) - 1);
            return Fd;
        }
        close(Fd); // another thread was first
    }
}

bool ReadExecuteOnly(uintptr_t Source, void* Dest, std::size_t Count)
{
    const int Fd = SelfMemFd();
    if (Fd < 0)
        return false;
    // Offsets are signed: an address in the top half cannot be asked for.
    if (Source > static_cast<uintptr_t>(INT64_MAX) - Count)
        return false;
    return ReadFileAt(Fd, Source, Dest, Count);
}

bool ReadByKind(uint8_t Kind, uintptr_t Source, void* Dest, std::size_t Count)
{
    switch (Kind) {
    case kaReadable:
        return ReadReadable(Source, Dest, Count);
    case kaExecuteOnly:
        return ReadExecuteOnly(Source, Dest, Count);
    default:
        return false;
    }
}

bool ParseHex(std::string_view& Text, uint64_t& Value)
{
    Value = 0;
    std::size_t I = 0;
    for (; I < Text.size() && I < 16; ++I) {
        char C = Text[I];
        unsigned D;
        if (C >= '0' && C <= '9')
            D = static_cast<unsigned>(C - '0');
        else if (C >= 'a' && C <= 'f')
            D = static_cast<unsigned>(C - 'a' + 10);
        else if (C >= 'A' && C <= 'F')
            D = static_cast<unsigned>(C - 'A' + 10);
        else
            break;
        Value = Value * 16 + D;
    }
    if (I == 0)
        return false;
    Text.remove_prefix(I);
    return true;
}

bool ParseDec(std::string_view& Text, uint64_t& Value)
{
    Value = 0;
    std::size_t I = 0;
    for (; I < Text.size() && I < 20 && Text[I] >= '0' && Text[I] <= '9'; ++I)
        Value = Value * 10 + static_cast<uint64_t>(Text[I] - '0');
    if (I == 0)
        return false;
    Text.remove_prefix(I);
    return true;
}

bool SkipChar(std::string_view& Text, char C)
{
    if (Text.empty() || Text.front() != C)
        return false;
    Text.remove_prefix(1);
    return true;
}

void SkipBlanks(std::string_view& Text)
{
    while (!Text.empty() && (Text.front() == ' ' || Text.front() == '\t'))
        Text.remove_prefix(1);
}

// "start-end perms offset major:minor inode [path]"
bool ParseMapsLine(std::string_view Line, TMapsEntry& E)
{
    uint64_t Start, End, Offset, Major, Minor, Inode;
    if (!ParseHex(Line, Start) || !SkipChar(Line, '-') || !ParseHex(Line, End) ||
        !SkipChar(Line, ' ') || Line.size() < 4)
        return false;
    std::memcpy(E.Perms, Line.data(), 4);
    E.Perms[4] = '\0';
    Line.remove_prefix(4);
    SkipBlanks(Line);
    if (!ParseHex(Line, Offset))
        return false;
    SkipBlanks(Line);
    if (!ParseHex(Line, Major) || !SkipChar(Line, ':') || !ParseHex(Line, Minor))
        return false;
    SkipBlanks(Line);
    if (!ParseDec(Line, Inode))
        return false;
    SkipBlanks(Line);
    if (End < Start)
        return false;
    E.Start = static_cast<uintptr_t>(Start);
    E.End = static_cast<uintptr_t>(End);
    E.Offset = Offset;
    E.Inode = Inode;
    E.Path = Line;
    return true;
}

void AddRange(std::pmr::vector<TTryReadRange>& Ranges, uintptr_t Start, uintptr_t End, uint8_t Kind)
{
    if (End <= Start)
        return;
    if (!Ranges.empty() && Ranges.back().Kind == Kind && Ranges.back().End == Start) {
        Ranges.back().End = End;
        return;
    }
    Ranges.push_back({Start, End, Kind});
}

} // namespace

struct TDATryRead::TPageCache {
    std::mutex Lock;
    // Page address -> its bytes; null for a page that could not be read.
    std::unordered_map<uintptr_t, std::unique_ptr<uint8_t[]>> Pages;
    std::size_t Reads = 0;
};

TDATryRead::TDATryRead() : Cache(std::make_unique<TPageCache>()) {}
TDATryRead::TDATryRead(std::pmr::memory_resource* Memory) : Ranges(Memory) {}
TDATryRead::TDATryRead(const TDATryRead& Other)
    : Ranges(Other.Ranges), Cache(std::make_unique<TPageCache>())
{
}
TDATryRead::TDATryRead(TDATryRead&& Other) noexcept = default;
TDATryRead& TDATryRead::operator=(const TDATryRead& Other)
{
    if (this != &Other) {
        Ranges = Other.Ranges;
        Cache = std::make_unique<TPageCache>();
    }
    return *this;
}
TDATryRead& TDATryRead::operator=(TDATryRead&& Other) noexcept = default;
TDATryRead::~TDATryRead() = default;

std::size_t TDATryRead::PagesRead() const
{
    if (!Cache)
        return 0;
    std::lock_guard<std::mutex> Guard(Cache->Lock);
    return Cache->Reads;
}

void TDATryRead::DropCache()
{
    if (!Cache)
        return;
    std::lock_guard<std::mutex> Guard(Cache->Lock);
    Cache->Pages.clear();
}

void TDATryRead::DropCachedPagesIf(const std::function<bool(uintptr_t Page)>& Drop) const
{
    if (!Cache)
        return;
    std::lock_guard<std::mutex> Guard(Cache->Lock);
    std::erase_if(Cache->Pages, [&](const auto& Entry) { return Drop(Entry.first); });
}

uint8_t MapsAccessKind(const char* Perms)
{
    if (Perms[0] == 'r')
        return kaReadable;
    if (Perms[2] == 'x')
        return kaExecuteOnly;
    return kaNone;
}

void ParseMemoryMaps(std::string_view Text, const std::function<bool(const TMapsEntry&)>& Visit)
{
    while (!Text.empty()) {
        std::size_t Eol = Text.find('\n');
        std::string_view Line = Text.substr(0, Eol);
        Text.remove_prefix(Eol == std::string_view::npos ? Text.size() : Eol + 1);
        TMapsEntry E;
        if (ParseMapsLine(Line, E) && !Visit(E))
            return;
    }
}

bool EnumMemoryMaps(const std::function<bool(const TMapsEntry&)>& Visit)
{
    int Fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
        return false;
    std::string Pending;
    char Chunk[16384];
    bool Stopped = false;
    bool Ok = true;
    while (!Stopped) {
        ssize_t Got = read(Fd, Chunk, sizeof Chunk);
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got < 0)
            Ok = false;
        if (Got <= 0)
            break;
        Pending.append(Chunk, static_cast<std::size_t>(Got));
        std::size_t Used = 0;
        for (;;) {
            std::size_t Eol = Pending.find('\n', Used);
            if (Eol == std::string::npos)
                break;
            TMapsEntry E;
            if (ParseMapsLine(std::string_view(Pending).substr(Used, Eol - Used), E) && !Visit(E)) {
                Stopped = true;
                break;
            }
            Used = Eol + 1;
        }
        Pending.erase(0, Used);
    }
    if (!Stopped && Ok && !Pending.empty()) {
        TMapsEntry E;
        if (ParseMapsLine(Pending, E))
            Visit(E);
    }
    close(Fd);
    return Ok;
}

namespace {

// Adds a maps line to a snapshot being built.
struct TRangeBuilder {
    std::pmr::vector<TTryReadRange>& Ranges;
    uintptr_t Covered = 0;
    bool Add(const TMapsEntry& E)
    {
        if (E.Start < Covered) // out of order: the file changed under us
            return true;
        AddRange(Ranges, Covered, E.Start, kaNone);
        AddRange(Ranges, E.Start, E.End, MapsAccessKind(E.Perms));
        Covered = E.End;
        return true;
    }
};

} // namespace

TDATryRead GetReadableRanges()
{
    TDATryRead Result;
    Result.Ranges.reserve(64);
    TRangeBuilder B{Result.Ranges};
    bool Ok = EnumMemoryMaps([&B](const TMapsEntry& E) { return B.Add(E); });
    if (!Ok)
        Result.Ranges.clear();
    Result.Ranges.shrink_to_fit();
    return Result;
}

std::string_view ReadMapsText(std::pmr::memory_resource* Memory)
{
    // Read whole into a buffer that doubles while the text does not fit (the
    // smaller ones stay unused in a monotonic resource; few processes need
    // more than the first).
    const int Fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
        return {};
    std::size_t Size = 256 * 1024;
    for (;;) {
        auto* Buffer = static_cast<char*>(Memory->allocate(Size, 1));
        std::size_t Got = 0;
        bool Failed = false;
        lseek(Fd, 0, SEEK_SET);
        while (Got < Size) {
            const ssize_t N = read(Fd, Buffer + Got, Size - Got);
            if (N < 0 && errno == EINTR)
                continue;
            Failed = N < 0;
            if (N <= 0)
                break;
            Got += static_cast<std::size_t>(N);
        }
        if (Got < Size || Failed || Size >= (std::size_t{16} << 20)) {
            close(Fd);
            return Failed ? std::string_view() : std::string_view(Buffer, Got);
        }
        Size *= 2;
    }
}

TDATryRead GetReadableRanges(std::pmr::memory_resource* Memory, std::string_view* MapsText)
{
    TDATryRead Result(Memory);
    const std::string_view Text = ReadMapsText(Memory);
    if (MapsText != nullptr)
        *MapsText = Text;
    Result.Ranges.reserve(std::count(Text.begin(), Text.end(), '\n') * 2 + 2);
    TRangeBuilder B{Result.Ranges};
    ParseMemoryMaps(Text, [&B](const TMapsEntry& E) { return B.Add(E); });
    return Result;
}

void PrepareMemoryReader()
{
    SelfMemFd();
}

// --- Locks and crash time --------------------------------------------------------

namespace {
std::atomic<bool> CrashTime{false};
} // namespace

std::recursive_timed_mutex& LibraryLock(TLibraryLock Which)
{
    // Never destroyed: usable until the very end of the process.
    static auto* const Locks = new std::recursive_timed_mutex[LibraryLockCount];
    return Locks[static_cast<int>(Which)];
}

void SetCrashTimeMode(bool On)
{
    CrashTime.store(On);
}

bool CrashTimeMode()
{
    return CrashTime.load();
}

TLibraryLockGuard::TLibraryLockGuard(TLibraryLock Which) : Lock(LibraryLock(Which))
{
    if (CrashTimeMode())
        Held = Lock.try_lock_for(CrashLockWait);
    else {
        Lock.lock();
        Held = true;
    }
}

TLibraryLockGuard::~TLibraryLockGuard()
{
    if (Held)
        Lock.unlock();
}

int FreeReadableRanges(TDATryRead& Ranges)
{
    Ranges = TDATryRead();
    return 0;
}

uint8_t FindReadableRange(const TDATryRead& Ranges, uintptr_t Address, std::size_t Count)
{
    const auto& R = Ranges.Ranges;
    if (R.empty() || Address > UINTPTR_MAX - Count)
        return kaNone;
    // The last region that starts at or below the address.
    auto It = std::upper_bound(R.begin(), R.end(), Address,
                               [](uintptr_t A, const TTryReadRange& X) { return A < X.Start; });
    if (It == R.begin())
        return kaNone;
    --It;
    if (Address >= It->End || Address + Count > It->End)
        return kaNone;
    return It->Kind;
}

uint8_t QueryMemoryAccess(uintptr_t Address, std::size_t Count)
{
    if (Count == 0)
        Count = 1;
    if (Address > UINTPTR_MAX - Count)
        return kaNone;
    const uintptr_t Last = Address + Count;
    uintptr_t Cursor = Address;
    int Kind = -1;
    int Result = kaNone;
    EnumMemoryMaps([&](const TMapsEntry& E) {
        if (E.End <= Cursor)
            return true;
        if (E.Start > Cursor) // a gap: nothing mapped there
            return false;
        int K = MapsAccessKind(E.Perms);
        if (Kind >= 0 && K != Kind)
            return false;
        Kind = K;
        Cursor = E.End;
        if (Cursor >= Last) {
            Result = Kind;
            return false;
        }
        return true;
    });
    return static_cast<uint8_t>(Result);
}

bool TryRead(uintptr_t Source, void* Dest, std::size_t Count, const TDATryRead* Ranges)
{
    if (Ranges == nullptr) {
        uint8_t Kind = QueryMemoryAccess(Source, Count);
        if (Kind == kaNone)
            return false;
        return Count == 0 || ReadByKind(Kind, Source, Dest, Count);
    }
    uint8_t Kind = FindReadableRange(*Ranges, Source, Count == 0 ? 1 : Count);
    if (Kind == kaNone)
        return false;
    if (Count == 0)
        return true;
    if (Count > MaxCachedRead || !Ranges->Cache)
        return ReadByKind(Kind, Source, Dest, Count);

    const std::size_t PS = PageSize();
    auto& C = *Ranges->Cache;
    std::lock_guard<std::mutex> Guard(C.Lock);
    auto* Out = static_cast<uint8_t*>(Dest);
    uintptr_t At = Source;
    std::size_t Left = Count;
    while (Left > 0) {
        uintptr_t Page = At & ~(static_cast<uintptr_t>(PS) - 1);
        auto It = C.Pages.find(Page);
        if (It == C.Pages.end()) {
            if (C.Pages.size() >= MaxCachedPages)
                C.Pages.clear();
            auto Bytes = std::make_unique<uint8_t[]>(PS);
            ++C.Reads;
            if (!ReadByKind(Kind, Page, Bytes.get(), PS))
                Bytes.reset();
            It = C.Pages.emplace(Page, std::move(Bytes)).first;
        }
        if (!It->second)
            return false;
        std::size_t InPage = std::min<std::size_t>(Left, Page + PS - At);
        std::memcpy(Out, It->second.get() + (At - Page), InPage);
        Out += InPage;
        At += InPage;
        Left -= InPage;
    }
    return true;
}

uint32_t GetTidObfuscator()
{
    return 0;
}

bool GetTidObfuscatorLayout()
{
    return false;
}

int OpenRegularFile(const char* Path)
{
    // Non-blocking: opening a named pipe for reading would otherwise wait for
    // a writer. On a regular file the flag changes nothing.
    const int Fd = open(Path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd < 0)
        return -1;
    struct stat St {};
    if (fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        close(Fd);
        errno = EINVAL;
        return -1;
    }
    return Fd;
}

bool ReadFileAt(int Fd, uint64_t Offset, void* Out, std::size_t Size)
{
    auto* P = static_cast<char*>(Out);
    std::size_t Done = 0;
    while (Done < Size) {
        ssize_t Got = pread(Fd, P + Done, Size - Done, static_cast<off_t>(Offset + Done));
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got <= 0)
            return false;
        Done += static_cast<std::size_t>(Got);
    }
    return true;
}
