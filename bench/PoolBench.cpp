// The scan pool's own cost per job: a range of 65,536 addresses whose every
// probe and method answers at once through the worker services, so that what
// is left is the pool and its workers: two synchronized calls per job into
// the main thread, the copy of the options, the events, the result list, and
// the vendor lookup of every MAC found.
//
//   pool_bench [rounds [vendors|rows]]   (default 2 rounds of each figure;
//                                         "vendors" or "rows": only those)
//
// Each figure is run at the default number of workers and at 250, once with
// the real vendors.db (every host's MAC in a known vendor's block) and once
// with an empty vendor table (the same query on no rows, so that the lookup
// costs next to nothing). Besides jobs per second it prints the CPU time of
// the whole process and of the main thread alone: when the main thread is
// busy for the whole run, the synchronized calls are what bounds the pool.
//
// Runs on the 8-core build machine: with vendor lookups 25,000-32,000 jobs/s
// at 64 workers and 21,700-22,700 at 250; the MACs come from eight vendors,
// as on a real network, and each worker asked the database once per vendor
// prefix (TVendorCache; since then the workers share what they found and
// the process asks once per prefix). Every query costs about 2 ms of CPU with all cores
// busy (a one-sided index range), so without that memory the figure was
// 2,300-3,100 jobs/s. Without vendor rows 24,000-34,000 jobs/s, where the
// main thread is busy 60-85% of the time serving the two synchronized calls
// of every job, so more workers only add hand-over contention. Before the
// vendor connections stopped SQLite's process-wide allocation count, its
// lock held the run without vendor rows to 11,000-14,000 jobs/s.
#include "engine/MacVendorFunctions.h"
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "platform/Thread.h"

#include <sqlite3.h>

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;

namespace {

constexpr uint32_t kFirst = 0x0a000000; // 10.0.0.0
constexpr uint32_t kCount = 65536;

// Blocks of known vendors; a host's MAC is one of them plus its own bits.
const uint32_t kOuis[] = {0x001b21, 0x001422, 0x3cd92b, 0xb827eb,
                          0x001c42, 0x005056, 0xf4ce46, 0x001aa0};

double CpuSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double ProcessCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

// A vendors.db with the table and no rows.
std::string MakeEmptyVendorsDb()
{
    std::string path = (std::filesystem::temp_directory_path() /
                        ("tolvex-pool-bench-" + std::to_string(::getpid()) + ".db"))
                           .string();
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        throw std::runtime_error("cannot create " + path);
    char* err = nullptr;
    int rc = sqlite3_exec(db,
                          "CREATE TABLE mac_addresses (id INTEGER PRIMARY KEY, organization_name "
                          "TEXT, range_begin INTEGER, range_end INTEGER, bits INTEGER);",
                          nullptr, nullptr, &err);
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot create the table in " + path);
    return path;
}

std::shared_ptr<const TWorkerServices> InstantServices(const std::string& vendorsDb)
{
    TWorkerServices s = DefaultWorkerServices();
    s.PingHost = [](const std::string&, int) { return 0; };
    s.CheckTcpPort = [](const std::string&, int, uint16_t) { return 0; };
    s.HostNameToIP = [](const std::string&, int, std::string& IP) { IP.clear(); };
    s.GetMacByArp = [](const std::string& IP, std::string& MAC) {
        uint32_t a = 0;
        IPToHostOrder(IP, a);
        const uint32_t oui = kOuis[a % std::size(kOuis)];
        char buf[18];
        std::snprintf(buf, sizeof buf, "%02x-%02x-%02x-%02x-%02x-%02x", oui >> 16 & 255,
                      oui >> 8 & 255, oui & 255, a >> 16 & 255, a >> 8 & 255, a & 255);
        MAC = buf;
    };
    s.GetNetBiosName = [](const std::string&, int, std::string& Name) { Name.clear(); };
    s.VendorsDbFileName = vendorsDb;
    return std::make_shared<const TWorkerServices>(std::move(s));
}

struct Figure {
    double seconds = 0, cpu = 0, mainCpu = 0;
    uint64_t done = 0;
    size_t computers = 0, withVendor = 0;
};

Figure Run(int threads, const std::string& vendorsDb)
{
    ResetEngineOptions();
    iMaxThreads = threads;
    ComputerList = std::make_unique<TComputerList>();
    Figure f;
    uint64_t statuses = 0;
    bool finished = false;
    {
        TPoolOfThreads pool(InstantServices(vendorsDb));
        pool.SetTarget(stIPRange);
        pool.SetMethod(smArp);
        pool.SetStartIP(kFirst);
        pool.SetStopIP(kFirst + kCount - 1);
        pool.SetOnStatus([&](int, const std::string&) { ++statuses; });
        pool.SetOnFinish([&](TPoolOfThreads*) { finished = true; });
        const double cpu0 = ProcessCpuSeconds();
        const double main0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto t0 = std::chrono::steady_clock::now();
        pool.Start();
        platform::MainThread().PumpUntil([&] { return finished && pool.LiveWorkers() == 0; }, 600s);
        f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        f.mainCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - main0;
        f.cpu = ProcessCpuSeconds() - cpu0;
        f.done = pool.GetDone();
    }
    f.computers = ComputerList->size();
    for (const auto& c : *ComputerList)
        f.withVendor += !c->AdapterList.empty() && !c->AdapterList[0]->Vendor.empty();
    ComputerList.reset();
    if (statuses != f.done)
        std::printf("  (%llu status lines for %llu jobs)\n", (unsigned long long)statuses,
                    (unsigned long long)f.done);
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2;
    const std::string only = argc > 2 ? argv[2] : "";
    platform::MainThread().Install();
    const std::string realDb = std::string(TOLVEX_BIN_DIR) + "/vendors.db";
    if (!std::filesystem::exists(realDb)) {
        std::printf("pool_bench: %s is missing (build the project first)\n", realDb.c_str());
        return 1;
    }
    // The engine sets SQLite up on its first connection, as in the program;
    // the empty database is made only afterwards.
    sqlite3* first = OpenVendorsDb(realDb, VendorsDbWorkerFlags);
    CloseVendorsDb(first);
    const std::string emptyDb = MakeEmptyVendorsDb();
    const int defaultThreads = TEngineSettings().iMaxThreads;
    std::printf("pool_bench: %u addresses, every method and probe answering at once, %u cores\n",
                kCount, std::thread::hardware_concurrency());
    for (int threads : {defaultThreads, 250}) {
        for (bool vendors : {true, false}) {
            if ((only == "vendors" && !vendors) || (only == "rows" && vendors))
                continue;
            for (int i = 0; i < rounds; ++i) {
                Figure f = Run(threads, vendors ? realDb : emptyDb);
                std::printf(
                    "  %3d workers, %-22s %6.2f s  %7.0f jobs/s  cpu %5.2f s (%4.1f cores)  "
                    "main thread %5.2f s (%3.0f%% of the time)  %zu computers, %zu with "
                    "vendor\n",
                    threads, vendors ? "vendor lookups:" : "no vendor rows:", f.seconds,
                    f.done / f.seconds, f.cpu, f.cpu / f.seconds, f.mainCpu,
                    100 * f.mainCpu / f.seconds, f.computers, f.withVendor);
            }
        }
    }
    std::filesystem::remove(emptyDb);
    return 0;
}
