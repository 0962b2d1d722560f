// The directory enumeration against a real slapd in a private network: the
// client finds the server through its own ldap.conf, the base through the
// root entry or LDAPBASE, reads the accounts in pages of 100 and leaves
// disabled ones out unless asked; slapd's own log counts the pages.
#include "engine/uNetworkEnum.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <utility>

namespace {

constexpr const char* kServer = "10.77.0.1";

// 250 computers PC001..PC250; every tenth one (PC010, PC020...) disabled.
std::string Computers()
{
    std::ostringstream o;
    for (int i = 1; i <= 250; ++i) {
        char n[8];
        std::snprintf(n, sizeof n, "PC%03d", i);
        int uac = (i % 10 == 0) ? 4098 : 4096; // 4096 workstation trust, 2 disabled
        o << "dn: cn=" << n << ",dc=tvx,dc=test\nobjectClass: computer\ncn: " << n
          << "\nname: " << n << "\ndescription: desk " << i << "\nuserAccountControl: " << uac
          << "\n\n";
    }
    // Not a computer: never listed.
    o << "dn: cn=printer,dc=tvx,dc=test\nobjectClass: device\ncn: printer\n\n";
    return o.str();
}

// The test directory; its root entry names `defaultNamingContext` unless empty.
lan::SlapdConfig Config(const std::string& defaultNamingContext)
{
    lan::SlapdConfig c;
    c.listen = kServer;
    c.defaultNamingContext = defaultNamingContext;
    c.ldif = Computers();
    return c;
}

class Directory : public TwoHostLab {
protected:
    Directory()
        : TwoHostLab({"dc", {"eth0", "02:dc:00:00:00:01", std::string(kServer) + "/24"}},
                     {"client", {"eth0", "02:dc:00:00:00:02", "10.77.0.2/24"}})
    {
    }
    void SetUpLab() override
    {
        std::filesystem::create_directories(client->EtcDir() + "/ldap");
        std::ofstream(client->EtcDir() + "/ldap/ldap.conf")
            << "URI ldap://" << kServer << "/\nNETWORK_TIMEOUT 5\n";
    }

    // "status|message|count|pages|first|last" of ScanActiveDirectory run in
    // the client; stopAfterPages > 0 asks it to terminate after that many.
    lan::RunResult Scan(bool includeDisabled, const std::string& base = "", int stopAfterPages = 0)
    {
        return client->Run([=] {
            if (base.empty())
                unsetenv("LDAPBASE");
            else
                setenv("LDAPBASE", base.c_str(), 1);
            TScanJob job;
            job.ADIncludeDisabled = includeDisabled;
            job.Settings.sSetStatusScanADFailed = "failed: %s";
            std::vector<std::string> names;
            int pages = 0;
            TDirectorySource counting = [&](const platform::TDirectoryQuery& q,
                                            const TNameFoundFn& on, const TTerminatedFn& t) {
                auto info = platform::SearchDirectory(q, on, t);
                pages = info.Pages;
                return info;
            };
            size_t seenAtStop = 0;
            TTerminatedFn terminated = [&] {
                // Asked before every page after the first: names.size() tells
                // how many pages came.
                if (stopAfterPages > 0 && names.size() >= size_t(stopAfterPages) * 100) {
                    seenAtStop = names.size();
                    return true;
                }
                return false;
            };
            ScanActiveDirectory(job, names, terminated, counting);
            return std::to_string(job.Status) + "|" + job.Message + "|" +
                   std::to_string(names.size()) + "|" + std::to_string(pages) + "|" +
                   (names.empty() ? "" : names.front() + "|" + names.back());
        });
    }

    // nentries of every answer slapd logged for searches whose filter names
    // "computer", in order.
    static std::vector<int> ComputerPages(const std::string& log)
    {
        // slapd's threads log a page's result and the next page's request
        // in either order: the pages are put in the order of their
        // operations' numbers.
        std::map<std::string, bool> computerOps;
        std::map<std::pair<long, long>, int> pageOfOp;
        std::regex srch(R"((conn=\d+ op=\d+) SRCH base=\S+ scope=\d deref=\d filter="([^"]*)\")");
        std::regex result(R"((conn=(\d+) op=(\d+)) SEARCH RESULT .*nentries=(\d+))");
        std::istringstream in(log);
        std::string line;
        std::smatch m;
        while (std::getline(in, line)) {
            if (std::regex_search(line, m, srch))
                computerOps[m[1]] = m[2].str().find("computer") != std::string::npos;
            else if (std::regex_search(line, m, result) && computerOps[m[1]])
                pageOfOp[{std::stol(m[2]), std::stol(m[3])}] = std::stoi(m[4]);
        }
        std::vector<int> pages;
        for (const auto& [op, entries] : pageOfOp)
            pages.push_back(entries);
        return pages;
    }

    lan::Host*& server = first;
    lan::Host*& client = second;
};

TEST_F(Directory, ReadsAllAccountsInThreePagesWithDisabledIncluded)
{
    lan::Peer& slapd = lan::StartSlapd(*server, Config("dc=tvx,dc=test"));
    lan::RunResult r = Scan(true);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "0|sSetStatusScanADComplete|250|3|PC001|PC250") << slapd.Log();
    EXPECT_EQ(ComputerPages(slapd.Log()), (std::vector<int>{100, 100, 50})) << slapd.Log();
}

TEST_F(Directory, LeavesDisabledAccountsOut)
{
    lan::Peer& slapd = lan::StartSlapd(*server, Config("dc=tvx,dc=test"));
    lan::RunResult r = Scan(false);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "0|sSetStatusScanADComplete|225|3|PC001|PC249") << slapd.Log();
    EXPECT_EQ(ComputerPages(slapd.Log()), (std::vector<int>{100, 100, 25})) << slapd.Log();
    EXPECT_NE(slapd.Log().find("userAccountControl:1.2.840.113556.1.4.803:=2"), std::string::npos);
}

TEST_F(Directory, WithoutDefaultNamingContextNothingIsFound)
{
    lan::Peer& slapd = lan::StartSlapd(*server, Config(""));
    lan::RunResult r = Scan(true);
    ASSERT_TRUE(r.ok()) << r.Describe();
    // Nothing found because there is nothing to search: said with why.
    EXPECT_EQ(r.value, "3|failed: the directory names no default naming context|0|0|")
        << slapd.Log();
    EXPECT_TRUE(ComputerPages(slapd.Log()).empty());
    // A base the user configured stands in for the missing one.
    lan::RunResult withBase = Scan(false, "dc=tvx,dc=test");
    ASSERT_TRUE(withBase.ok()) << withBase.Describe();
    EXPECT_EQ(withBase.value, "0|sSetStatusScanADComplete|225|3|PC001|PC249");
}

TEST_F(Directory, NoServerIsNotFound)
{
    // ldap.conf names a server where nothing listens: the search failed,
    // and the log line says why in libldap's words.
    lan::RunResult r = Scan(true);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_TRUE(std::regex_match(r.value, std::regex("3\\|failed: .*contact.*\\|0\\|0\\|")))
        << r.value;
}

TEST_F(Directory, StopAfterFirstPageEndsWithoutStatus)
{
    lan::Peer& slapd = lan::StartSlapd(*server, Config("dc=tvx,dc=test"));
    lan::RunResult r = Scan(true, "", 1);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "-1||100|1|PC001|PC100") << slapd.Log();
    EXPECT_EQ(ComputerPages(slapd.Log()), std::vector<int>{100});
}

TEST_F(Directory, BindsWithTheConfiguredSaslMechanism)
{
    const std::string socket = lab->TempDir() + "/ldapi";
    lan::SlapdConfig config = Config("dc=tvx,dc=test");
    config.ldapiPath = socket;
    lan::Peer& slapd = lan::StartSlapd(*server, config);
    std::string enc;
    for (char c : socket)
        enc += c == '/' ? std::string("%2F") : std::string(1, c);
    std::ofstream(client->EtcDir() + "/ldap/ldap.conf", std::ios::trunc)
        << "URI ldapi://" << enc << "\nSASL_MECH EXTERNAL\n";
    lan::RunResult r = Scan(false);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "0|sSetStatusScanADComplete|225|3|PC001|PC249") << slapd.Log();
    EXPECT_NE(slapd.Log().find("mech=EXTERNAL"), std::string::npos) << slapd.Log();
}

} // namespace
