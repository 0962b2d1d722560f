// Vendor lookups of many scan workers at once: each worker has its own
// connection, so nothing process-wide may make them wait for each other.
// SQLite's allocation statistics are such a thing (one lock around every
// allocation of every connection); the first connection turns them off.
#include "engine/MacVendorFunctions.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string RealDb()
{
    const char* d = std::getenv("TOLVEX_BIN_DIR");
    return std::string(d ? d : "") + "/vendors.db";
}

// Runs Fn in a child process, where SQLite starts afresh as in the program;
// the child's exit code is Fn's result.
int InFreshProcess(int (*Fn)())
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(Fn());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(VendorLookupWorkers, ConnectionsKeepNoProcessWideAllocationCount)
{
    const int result = InFreshProcess([] {
        try {
            // Several workers' connections, each looking up in parallel.
            std::vector<std::thread> workers;
            std::vector<std::string> vendors(4);
            for (size_t i = 0; i < vendors.size(); ++i)
                workers.emplace_back([&vendors, i] {
                    sqlite3* db = OpenVendorsDb(RealDb(), VendorsDbWorkerFlags);
                    GetVendorByMacDb("00-1B-21-00-00-01", db, vendors[i]);
                    CloseVendorsDb(db);
                });
            for (auto& w : workers)
                w.join();
            for (const auto& v : vendors)
                if (v != "Intel Corporate")
                    return 2; // the lookups themselves went wrong
            // With the statistics on, SQLite would count its own allocations
            // here (the cache it keeps between connections at the least).
            return sqlite3_memory_highwater(0) == 0 ? 0 : 1;
        } catch (...) {
            return 3;
        }
    });
    EXPECT_EQ(result, 0) << "1: allocation statistics on, 2: wrong vendor, 3: raised";
}

TEST(VendorLookupWorkers, StatisticsOnWhenSqliteWasUsedFirstElsewhere)
{
    // The setting only takes before SQLite's first use; a program that used
    // it before still opens and queries as ever.
    const int result = InFreshProcess([] {
        try {
            sqlite3* other = nullptr;
            if (sqlite3_open(":memory:", &other) != SQLITE_OK)
                return 4;
            sqlite3_close(other);
            sqlite3* db = OpenVendorsDb(RealDb(), VendorsDbWorkerFlags);
            std::string vendor;
            GetVendorByMacDb("00-14-22-00-00-01", db, vendor);
            CloseVendorsDb(db);
            if (vendor != "Dell Inc.")
                return 2;
            return sqlite3_memory_highwater(0) > 0 ? 0 : 1;
        } catch (...) {
            return 3;
        }
    });
    EXPECT_EQ(result, 0) << "1: statistics changed after first use, 2: wrong vendor, 3: raised";
}

} // namespace
