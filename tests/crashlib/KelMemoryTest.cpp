#include "crashlib/kelMemory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::size_t PS = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// A few pages of our own, filled with a known pattern, with the protection of
// each page chosen by the test. The mapping is reserved as one block so that
// the pages are neighbours.
class TPages {
public:
    explicit TPages(std::size_t N) : Count(N)
    {
        void* P = mmap(nullptr, N * PS, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (P == MAP_FAILED)
            throw std::runtime_error("mmap");
        Base = static_cast<uint8_t*>(P);
        for (std::size_t I = 0; I < N * PS; ++I)
            Base[I] = static_cast<uint8_t>(I * 7 + 3);
    }
    ~TPages() { munmap(Base, Count * PS); }
    TPages(const TPages&) = delete;
    TPages& operator=(const TPages&) = delete;

    void Protect(std::size_t Page, int Prot) { ASSERT_EQ(mprotect(Page_(Page), PS, Prot), 0); }
    uint8_t* Page_(std::size_t I) const { return Base + I * PS; }
    uintptr_t Addr(std::size_t I, std::size_t Offset = 0) const
    {
        return reinterpret_cast<uintptr_t>(Base + I * PS + Offset);
    }
    static uint8_t Expected(std::size_t Index) { return static_cast<uint8_t>(Index * 7 + 3); }

    uint8_t* Base = nullptr;
    std::size_t Count;
};

bool ReadsPattern(const TPages& P, std::size_t Page, std::size_t Offset, std::size_t Len,
                  const TDATryRead* Snap)
{
    std::vector<uint8_t> Buf(Len, 0xEE);
    if (!TryRead(P.Addr(Page, Offset), Buf.data(), Len, Snap))
        return false;
    for (std::size_t I = 0; I < Len; ++I)
        if (Buf[I] != TPages::Expected(Page * PS + Offset + I))
            return false;
    return true;
}

} // namespace

TEST(CrashlibMemory, SnapshotCoversTheWholeAddressSpaceInMergedSortedRegions)
{
    int OnStack = 42;
    TDATryRead Snap = GetReadableRanges();
    ASSERT_FALSE(Snap.empty());
    EXPECT_EQ(Snap[0].Start, 0u);
    for (std::size_t I = 0; I < Snap.size(); ++I) {
        EXPECT_LT(Snap[I].Start, Snap[I].End);
        if (I > 0) {
            EXPECT_EQ(Snap[I - 1].End, Snap[I].Start) << "gap before region " << I;
            EXPECT_NE(Snap[I - 1].Kind, Snap[I].Kind) << "unmerged neighbours at " << I;
        }
    }
    // Stacks and libraries of a 64-bit process lie far above 2 GiB.
    auto StackAddr = reinterpret_cast<uintptr_t>(&OnStack);
    ASSERT_GT(StackAddr, uintptr_t{0x80000000});
    EXPECT_EQ(FindReadableRange(Snap, StackAddr, sizeof OnStack), kaReadable);
    int Copy = 0;
    EXPECT_TRUE(TryRead(&OnStack, &Copy, sizeof Copy, &Snap));
    EXPECT_EQ(Copy, 42);
    EXPECT_EQ(FindReadableRange(Snap, 0, 1), kaNone);
}

TEST(CrashlibMemory, NoAccessPageIsRefusedAndItsNeighboursAreRead)
{
    TPages P(3);
    P.Protect(1, PROT_NONE);
    TDATryRead Snap = GetReadableRanges();
    for (const TDATryRead* S : {static_cast<const TDATryRead*>(nullptr), &std::as_const(Snap)}) {
        SCOPED_TRACE(S ? "snapshot" : "fresh query");
        uint8_t B[16];
        EXPECT_FALSE(TryRead(P.Addr(1), B, 1, S));
        EXPECT_FALSE(TryRead(P.Addr(1, PS - 16), B, 16, S));
        EXPECT_TRUE(ReadsPattern(P, 0, 100, 200, S));
        EXPECT_TRUE(ReadsPattern(P, 2, 0, PS, S));
        // The end of page 0 runs into the protected page.
        EXPECT_FALSE(TryRead(P.Addr(0, PS - 8), B, 16, S));
    }
    EXPECT_EQ(FindReadableRange(Snap, P.Addr(1), 1), kaNone);
    EXPECT_EQ(QueryMemoryAccess(P.Addr(1), 1), kaNone);
}

TEST(CrashlibMemory, ExecuteOnlyPageIsReadWithoutChangingItsProtection)
{
    TPages P(2);
    P.Protect(1, PROT_EXEC);
    TDATryRead Snap = GetReadableRanges();
    EXPECT_EQ(FindReadableRange(Snap, P.Addr(1), PS), kaExecuteOnly);
    EXPECT_EQ(QueryMemoryAccess(P.Addr(1, 5), 10), kaExecuteOnly);
    EXPECT_TRUE(ReadsPattern(P, 1, 0, PS, nullptr));
    EXPECT_TRUE(ReadsPattern(P, 1, 33, 15, &Snap));
    // Still execute-only: the read did not lend the page a read permission.
    EXPECT_EQ(QueryMemoryAccess(P.Addr(1), 1), kaExecuteOnly);
}

TEST(CrashlibMemory, RangeCrossingIntoAnotherKindIsRefusedButReadableNeighboursJoin)
{
    TPages P(3);
    P.Protect(1, PROT_READ); // readable, a separate mapping from page 0
    P.Protect(2, PROT_EXEC); // execute-only
    TDATryRead Snap = GetReadableRanges();
    for (const TDATryRead* S : {static_cast<const TDATryRead*>(nullptr), &std::as_const(Snap)}) {
        SCOPED_TRACE(S ? "snapshot" : "fresh query");
        uint8_t B[32];
        EXPECT_FALSE(TryRead(P.Addr(1, PS - 16), B, 32, S)) << "readable into execute-only";
        EXPECT_TRUE(ReadsPattern(P, 0, PS - 16, 32, S)) << "read-write into read-only";
        EXPECT_TRUE(ReadsPattern(P, 2, 0, 32, S));
    }
    EXPECT_EQ(FindReadableRange(Snap, P.Addr(1, PS - 1), 2), kaNone);
    EXPECT_EQ(FindReadableRange(Snap, P.Addr(0), 2 * PS), kaReadable);
}

TEST(CrashlibMemory, EmptySnapshotAndImpossibleRangesGiveNoAccess)
{
    TDATryRead Empty;
    int X = 1, Y = 0;
    EXPECT_EQ(FindReadableRange(Empty, reinterpret_cast<uintptr_t>(&X), 4), kaNone);
    EXPECT_FALSE(TryRead(&X, &Y, sizeof X, &Empty));
    TDATryRead Snap = GetReadableRanges();
    uint8_t B[8];
    EXPECT_FALSE(TryRead(UINTPTR_MAX - 3, B, 8, &Snap));
    EXPECT_FALSE(TryRead(UINTPTR_MAX - 3, B, 8, nullptr));
    EXPECT_FALSE(TryRead(uintptr_t{0}, B, 8, &Snap));
    EXPECT_FALSE(TryRead(uintptr_t{0}, B, 8, nullptr));
    EXPECT_EQ(FreeReadableRanges(Snap), 0);
    EXPECT_TRUE(Snap.empty());
}

TEST(CrashlibMemory, SnapshotReadsEachPageOnce)
{
    TPages P(3);
    TDATryRead Snap = GetReadableRanges();
    for (int I = 0; I < 1000; ++I)
        ASSERT_TRUE(ReadsPattern(P, 0, static_cast<std::size_t>(I) % (PS - 8), 8, &Snap));
    EXPECT_EQ(Snap.PagesRead(), 1u);
    EXPECT_TRUE(ReadsPattern(P, 1, PS - 4, 8, &Snap)); // pages 1 and 2
    EXPECT_EQ(Snap.PagesRead(), 3u);
    TDATryRead Copy = Snap; // regions, no cache
    EXPECT_EQ(Copy.size(), Snap.size());
    EXPECT_EQ(Copy.PagesRead(), 0u);
}

TEST(CrashlibMemory, PageUnmappedByAnotherThreadGivesAFailureNotASignal)
{
    // After the snapshot: the snapshot still calls the page readable, the read
    // must find out that it is gone.
    {
        auto* P = static_cast<uint8_t*>(
            mmap(nullptr, PS, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(P, MAP_FAILED);
        std::memset(P, 0x5A, PS);
        TDATryRead Snap = GetReadableRanges();
        std::thread([&] { munmap(P, PS); }).join();
        ASSERT_EQ(FindReadableRange(Snap, reinterpret_cast<uintptr_t>(P), 8), kaReadable);
        uint8_t B[8];
        EXPECT_FALSE(TryRead(P, B, 8, &Snap));
    }
    // While reading: another thread maps and unmaps the page over and over.
    auto* Area =
        static_cast<uint8_t*>(mmap(nullptr, 2 * PS, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(Area, MAP_FAILED);
    std::atomic<bool> Stop{false};
    std::thread Flipper([&] {
        while (!Stop.load()) {
            void* Q = mmap(Area, PS, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (Q != MAP_FAILED) {
                std::memset(Q, 0x77, PS);
                munmap(Q, PS);
            }
        }
    });
    int Succeeded = 0, Failed = 0, Wrong = 0;
    for (int I = 0; I < 1500; ++I) {
        uint8_t B[64];
        const TDATryRead Snap = (I % 3 == 0) ? GetReadableRanges() : TDATryRead();
        bool Ok = TryRead(Area + 100, B, sizeof B, (I % 3 == 0) ? &Snap : nullptr);
        if (!Ok) {
            ++Failed;
            continue;
        }
        ++Succeeded;
        // A page that is mapped anew is zero-filled until the other thread
        // writes its pattern.
        for (uint8_t V : B)
            if (V != 0x77 && V != 0)
                ++Wrong;
    }
    Stop = true;
    Flipper.join();
    munmap(Area, 2 * PS);
    EXPECT_EQ(Wrong, 0);
    EXPECT_GT(Failed, 0);
    RecordProperty("succeeded", Succeeded);
}

TEST(CrashlibMemory, MapsLinesAreParsedWithPathsAndMalformedLinesSkipped)
{
    std::string Text = "00400000-00452000 r-xp 00000000 08:02 173521      /usr/bin/dbus daemon\n"
                       "garbage line\n"
                       "7ffd1000-7ffd2000 rw-p 00000000 00:00 0                  [stack]\n"
                       "7ffd3000-7ffd2000 rw-p 00000000 00:00 0\n" // end before start
                       "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0 [vsyscall]";
    std::vector<TMapsEntry> Got;
    std::vector<std::string> Paths;
    ParseMemoryMaps(Text, [&](const TMapsEntry& E) {
        Got.push_back(E);
        Paths.emplace_back(E.Path);
        return true;
    });
    ASSERT_EQ(Got.size(), 3u);
    EXPECT_EQ(Got[0].Start, 0x400000u);
    EXPECT_EQ(Got[0].End, 0x452000u);
    EXPECT_EQ(Got[0].Inode, 173521u);
    EXPECT_EQ(Paths[0], "/usr/bin/dbus daemon");
    EXPECT_EQ(MapsAccessKind(Got[0].Perms), kaReadable);
    EXPECT_EQ(Paths[1], "[stack]");
    EXPECT_EQ(Got[2].Start, uintptr_t{0xffffffffff600000});
    EXPECT_EQ(MapsAccessKind(Got[2].Perms), kaExecuteOnly);
    EXPECT_EQ(MapsAccessKind("---p"), kaNone);
}
