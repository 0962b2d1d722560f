// Reading this process's own memory without ever touching it.
//
// The crash library looks at code and stacks of a process that may be in a bad
// state: any address it follows may be unmapped, protected or unmapped by
// another thread a moment later. So nothing here dereferences an address of
// the process. The address space is described from /proc/self/maps; readable
// pages are copied with process_vm_readv (which fails with EFAULT instead of
// faulting), execute-only pages through /proc/self/mem. Page protections are
// never changed, so no other thread can be caught by a protection we set.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <string_view>
#include <vector>

// --- Locks and crash time -----------------------------------------------------
// The library's process-wide locks. A thread that crashes while it holds one
// must not stop the thread that writes its report: in crash-time mode every
// one of them is taken with a bounded wait (CrashLockWait), and a caller that
// does not get it takes a path that needs none (see kelStackTrace.h). The
// memory reader needs no lock, and a snapshot's page cache is the snapshot's
// own.
enum class TLibraryLock : uint8_t {
    Walk,      // the stack walk's caches and libdw's unwinding session
    DebugInfo, // every use of libdw (kelDwarf)
    MapCache,  // the cache of modules' debug information (kelMapFile)
    Pause,     // the one thread paused at a time (TPausedThread)
};
inline constexpr int LibraryLockCount = 4;
// Recursive: the walker that holds them all at crash time takes them again
// inside.
std::recursive_timed_mutex& LibraryLock(TLibraryLock Which);

// Crash-time mode: set by the crash capture while it handles a fatal signal.
void SetCrashTimeMode(bool On);
bool CrashTimeMode();
inline constexpr std::chrono::milliseconds CrashLockWait{250};

// Takes a library lock: waiting as long as it takes in normal mode, at most
// CrashLockWait in crash-time mode (Locked() then tells whether it was got).
class TLibraryLockGuard {
public:
    explicit TLibraryLockGuard(TLibraryLock Which);
    ~TLibraryLockGuard();
    TLibraryLockGuard(const TLibraryLockGuard&) = delete;
    TLibraryLockGuard& operator=(const TLibraryLockGuard&) = delete;
    bool Locked() const { return Held; }

private:
    std::recursive_timed_mutex& Lock;
    bool Held = false;
};

// How a region of the address space may be read.
enum : uint8_t {
    kaNone = 0,        // not mapped, or mapped without read or execute permission
    kaExecuteOnly = 1, // code that may be executed but not read
    kaReadable = 2,
};

// One region of a snapshot: [Start, End) of one access kind.
struct TTryReadRange {
    uintptr_t Start = 0;
    uintptr_t End = 0;
    uint8_t Kind = kaNone;
};

// A snapshot of the whole user address space, sorted by address, with
// neighbouring regions of equal kind merged (gaps are regions of kind
// kaNone). It also caches the pages read through it, so that a walk that
// probes the same pages thousands of times makes one system call per page.
// The snapshot describes the moment it was taken: take it right before a walk.
class TDATryRead {
public:
    TDATryRead();
    // Regions allocated from Memory and no page cache: a snapshot that never
    // touches the heap (reads are then one system call each).
    explicit TDATryRead(std::pmr::memory_resource* Memory);
    TDATryRead(const TDATryRead& Other); // copies the regions, not the cache
    TDATryRead(TDATryRead&& Other) noexcept;
    TDATryRead& operator=(const TDATryRead& Other);
    TDATryRead& operator=(TDATryRead&& Other) noexcept;
    ~TDATryRead();

    std::pmr::vector<TTryReadRange> Ranges;

    std::size_t size() const { return Ranges.size(); }
    bool empty() const { return Ranges.empty(); }
    const TTryReadRange& operator[](std::size_t I) const { return Ranges[I]; }

    // Number of pages read so far through this snapshot (each one system call).
    std::size_t PagesRead() const;
    // Forgets the cached pages (the regions stay).
    void DropCache();
    // Forgets the cached pages for which Drop is true. Const as reading
    // through a const snapshot is: the cache is the snapshot's own business.
    // A snapshot that outlives one walk keeps the pages that cannot change
    // (code, unwind tables) and drops those that can (stacks, heap).
    void DropCachedPagesIf(const std::function<bool(uintptr_t Page)>& Drop) const;

    struct TPageCache;

private:
    friend bool TryRead(uintptr_t Source, void* Dest, std::size_t Count, const TDATryRead* Ranges);
    std::unique_ptr<TPageCache> Cache;
};

// Reads exactly Size bytes at Offset of an open file, across short reads and
// interruptions; false when the file ends first or a read fails.
bool ReadFileAt(int Fd, uint64_t Offset, void* Out, std::size_t Size);

// Opens Path for reading when it is a regular file, without ever waiting: a
// named pipe or a device put where a module or debug file is looked for
// would block a plain open (or a read) for good. The descriptor is
// close-on-exec; -1 for anything else.
int OpenRegularFile(const char* Path);

// Copies Count bytes from Source to Dest only when all of them can be read;
// returns whether it copied. With a snapshot, its regions decide (a range that
// crosses from one kind into another is refused) and its cache is used;
// without one (nullptr) the address space is asked now. A page unmapped since
// the snapshot was taken makes the read fail; it never raises a signal.
bool TryRead(uintptr_t Source, void* Dest, std::size_t Count, const TDATryRead* Ranges = nullptr);
inline bool TryRead(const void* Source, void* Dest, std::size_t Count,
                    const TDATryRead* Ranges = nullptr)
{
    return TryRead(reinterpret_cast<uintptr_t>(Source), Dest, Count, Ranges);
}

// A snapshot of the whole user address space, as /proc/self/maps tells it now.
// Empty when the maps cannot be read.
TDATryRead GetReadableRanges();
// The same from Memory only, with the maps' text read into Memory too
// (MapsText, valid while Memory is); never touches the heap.
TDATryRead GetReadableRanges(std::pmr::memory_resource* Memory, std::string_view* MapsText);
// The text of /proc/self/maps read into Memory; empty when it cannot be read.
std::string_view ReadMapsText(std::pmr::memory_resource* Memory);
// Opens the descriptor through which execute-only code is read, so that a
// crash-time walk need not open it.
void PrepareMemoryReader();
// Frees a snapshot; returns 0 (the nil a caller stores back).
int FreeReadableRanges(TDATryRead& Ranges);

// The access kind of [Address, Address + Count) in a snapshot: the kind of the
// region that holds the whole range, kaNone when no single region does (also
// for an empty snapshot and for a range that wraps around).
uint8_t FindReadableRange(const TDATryRead& Ranges, uintptr_t Address, std::size_t Count);

// The access kind of [Address, Address + Count) as the address space is now.
uint8_t QueryMemoryAccess(uintptr_t Address, std::size_t Count);

// One line of /proc/self/maps.
struct TMapsEntry {
    uintptr_t Start = 0;
    uintptr_t End = 0;
    char Perms[5] = {}; // "r-xp" and the like
    uint64_t Offset = 0;
    uint64_t Inode = 0;
    std::string_view Path; // valid during the callback only; may be empty or "[stack]"
};

// Calls Visit for each line of /proc/self/maps in address order until it
// returns false. Returns false when the file could not be read.
bool EnumMemoryMaps(const std::function<bool(const TMapsEntry&)>& Visit);

// The same over the text of a maps file (used on captured or crafted text).
void ParseMemoryMaps(std::string_view Text, const std::function<bool(const TMapsEntry&)>& Visit);

// The access kind a maps line gives.
uint8_t MapsAccessKind(const char* Perms);

// Windows 9x scrambles thread and process ids with a per-system value that is
// found through the thread information block. Ids are never scrambled here:
// the value is 0, found through neither layout.
uint32_t GetTidObfuscator();
bool GetTidObfuscatorLayout();
