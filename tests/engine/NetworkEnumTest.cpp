// The enumerations' status and message rules against scripted browsers and
// directories: the order and count of names, stops between domains and
// pages, failures that end a list, and the filters sent.
#include "engine/uNetworkEnum.h"
#include "platform/LanManBrowse.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using Names = std::vector<std::string>;

// A browser that knows these domains and their computers; a domain mapped
// to "!fail" raises like an unreachable browser.
TNeighbourhoodSource Browser(Names domains, std::map<std::string, Names> servers,
                             int* serverCalls = nullptr)
{
    return {[domains] { return domains; },
            [servers, serverCalls](const std::string& d) {
                if (serverCalls)
                    ++*serverCalls;
                auto it = servers.find(d);
                if (it == servers.end())
                    return Names{};
                if (!it->second.empty() && it->second[0] == "!fail")
                    throw platform::EBrowseError("no browser answered");
                return it->second;
            }};
}

TScanJob NetworkJob()
{
    TScanJob job;
    job.Settings.sSetStatusScanNetworkComplete = "%d computers found";
    job.Settings.sSetStatusScanNetworkComputerNotFound = "no computers";
    job.Settings.sSetStatusScanADComplete = "%d accounts found";
    job.Settings.sSetStatusScanADComputerNotFound = "no accounts";
    job.Settings.sSetStatusScanNetworkFailed = "browse failed: %s";
    job.Settings.sSetStatusScanADFailed = "search failed: %s";
    return job;
}

TEST(EnumNetworkNeighbourhood, EmptyFirstDomainAndRepeatsAcrossDomainsCount)
{
    TScanJob job = NetworkJob();
    Names names{"stale"};
    EnumNetworkNeighbourhood(
        job, names, nullptr,
        Browser({"EMPTY", "WG1", "WG2"}, {{"WG1", {"ALPHA", "BETA"}}, {"WG2", {"BETA", "GAMMA"}}}));
    EXPECT_EQ(names, (Names{"ALPHA", "BETA", "BETA", "GAMMA"}));
    EXPECT_EQ(job.Status, jsComplete);
    EXPECT_EQ(job.Message, "4 computers found");
}

// An empty network is "nothing found"; a browse that could not be made says
// why, as a failure, instead of passing for an empty network.
TEST(EnumNetworkNeighbourhood, NothingFoundIsNotFoundAndAFailedBrowseSaysWhy)
{
    const std::pair<TNeighbourhoodSource, std::string> Cases[] = {
        {Browser({}, {}), "no computers"},
        {Browser({"WG"}, {{"WG", {}}}), "no computers"},
        {Browser({"WG"}, {{"WG", {"!fail"}}}), "browse failed: no browser answered"},
        {TNeighbourhoodSource{[]() -> Names { throw platform::EBrowseError("no master"); },
                              [](const std::string&) { return Names{"X"}; }},
         "browse failed: no master"},
    };
    for (const auto& [Source, Message] : Cases) {
        TScanJob job = NetworkJob();
        Names names;
        EnumNetworkNeighbourhood(job, names, nullptr, Source);
        EXPECT_TRUE(names.empty());
        EXPECT_EQ(job.Status, jsNotFound);
        EXPECT_EQ(job.Message, Message);
    }
}

TEST(EnumNetworkNeighbourhood, FailingDomainEndsOnlyItsOwnList)
{
    TScanJob job = NetworkJob();
    Names names;
    EnumNetworkNeighbourhood(job, names, nullptr,
                             Browser({"BAD", "GOOD"}, {{"BAD", {"!fail"}}, {"GOOD", {"HOST"}}}));
    EXPECT_EQ(names, Names{"HOST"});
    EXPECT_EQ(job.Message, "1 computers found");
}

TEST(EnumNetworkNeighbourhood, StopBetweenDomainsLeavesNoStatus)
{
    TScanJob job = NetworkJob();
    Names names;
    int calls = 0;
    bool stop = false;
    auto source = Browser({"WG1", "WG2", "WG3"}, {{"WG1", {"A"}}, {"WG2", {"B"}}}, &calls);
    auto servers = source.Servers;
    source.Servers = [&](const std::string& d) {
        stop = true; // asked to terminate while the first domain is listed
        return servers(d);
    };
    EnumNetworkNeighbourhood(
        job, names, [&] { return stop; }, source);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(names, Names{"A"});
    EXPECT_EQ(job.Status, jsNone);
    EXPECT_TRUE(job.Message.empty());
}

TEST(EnumNetworkNeighbourhood, StopBeforeStartAsksNothing)
{
    TScanJob job = NetworkJob();
    Names names;
    int calls = 0;
    bool listed = false;
    TNeighbourhoodSource source = Browser({"WG"}, {{"WG", {"A"}}}, &calls);
    source.Workgroups = [&] {
        listed = true;
        return Names{"WG"};
    };
    EnumNetworkNeighbourhood(
        job, names, [] { return true; }, source);
    EXPECT_FALSE(listed);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(job.Status, jsNone);
}

TEST(EnumNetworkNeighbourhood, BadTranslationFallsBackToBuiltInText)
{
    TScanJob job = NetworkJob();
    job.Settings.sSetStatusScanNetworkComplete = "%s found"; // text placeholder for a number
    Names names;
    EnumNetworkNeighbourhood(job, names, nullptr, Browser({"WG"}, {{"WG", {"A"}}}));
    EXPECT_EQ(job.Status, jsComplete);
    EXPECT_EQ(job.Message, "sSetStatusScanNetworkComplete");
}

TEST(EnumDomainComputers, ReportsEachNameInOrder)
{
    Names got;
    EnumDomainComputers(
        "WG", [&](const std::string& n) { got.push_back(n); }, nullptr,
        Browser({"WG"}, {{"WG", {"B", "A"}}}));
    EXPECT_EQ(got, (Names{"B", "A"}));
}

// A directory that answers in pages and records the query it got.
struct FakeDirectory {
    std::vector<Names> pages;
    bool failAfterPages = false;
    platform::TDirectoryQuery seen;
    int pagesServed = 0;

    TDirectorySource Source()
    {
        return [this](const platform::TDirectoryQuery& q, const TNameFoundFn& on,
                      const TTerminatedFn& terminated) {
            seen = q;
            platform::TDirectorySearchInfo info;
            for (const auto& page : pages) {
                if (info.Pages > 0 && terminated && terminated()) {
                    info.Stopped = true;
                    return info;
                }
                ++info.Pages;
                ++pagesServed;
                for (const auto& n : page)
                    on(n);
            }
            if (failAfterPages)
                throw platform::EDirectoryError("server went away");
            return info;
        };
    }
};

TEST(ScanActiveDirectory, FilterFollowsIncludeDisabled)
{
    for (bool include : {true, false}) {
        FakeDirectory dir;
        dir.pages = {{"PC1"}};
        TScanJob job = NetworkJob();
        job.ADIncludeDisabled = include;
        Names names;
        ScanActiveDirectory(job, names, nullptr, dir.Source());
        EXPECT_EQ(dir.seen.Filter, include ? "(&(objectClass=computer))"
                                           : "(&(objectClass=computer)(!(userAccountControl:1.2."
                                             "840.113556.1.4.803:=2)))");
        EXPECT_EQ(dir.seen.Attributes, (Names{"name", "description", "adspath"}));
        EXPECT_EQ(dir.seen.ValueAttribute, "name");
        EXPECT_EQ(dir.seen.PageSize, 100);
        EXPECT_EQ(job.Status, jsComplete);
        EXPECT_EQ(job.Message, "1 accounts found");
    }
}

TEST(ScanActiveDirectory, NoDirectoryIsNotFoundAndNeverRaises)
{
    TScanJob job = NetworkJob();
    Names names{"stale"};
    TDirectorySource none = [](const platform::TDirectoryQuery&, const TNameFoundFn&,
                               const TTerminatedFn&) -> platform::TDirectorySearchInfo {
        throw platform::EDirectoryError("the directory names no default naming context");
    };
    EXPECT_NO_THROW(ScanActiveDirectory(job, names, nullptr, none));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(job.Message, "search failed: the directory names no default naming context");
}

TEST(ScanActiveDirectory, FailureOnALaterPageKeepsEarlierNames)
{
    FakeDirectory dir;
    dir.pages = {{"A", "B"}, {"C"}};
    dir.failAfterPages = true;
    TScanJob job = NetworkJob();
    Names names;
    ScanActiveDirectory(job, names, nullptr, dir.Source());
    EXPECT_EQ(names, (Names{"A", "B", "C"}));
    EXPECT_EQ(job.Message, "3 accounts found");
}

TEST(ScanActiveDirectory, StopBetweenPagesLeavesNoStatus)
{
    FakeDirectory dir;
    dir.pages = {{"A"}, {"B"}, {"C"}};
    TScanJob job = NetworkJob();
    Names names;
    ScanActiveDirectory(
        job, names, [&] { return dir.pagesServed >= 1; }, dir.Source());
    EXPECT_EQ(dir.pagesServed, 1);
    EXPECT_EQ(names, Names{"A"});
    EXPECT_EQ(job.Status, jsNone);
    EXPECT_TRUE(job.Message.empty());
}

TEST(WorkgroupUrl, EncodesAndCutsAtCharacterBoundary)
{
    EXPECT_EQ(platform::WorkgroupUrl("WORK GROUP/1"), "smb://WORK%20GROUP%2F1/");
    EXPECT_EQ(platform::WorkgroupUrl("a%b"), "smb://a%25b/");
    // 127 ASCII letters and then a two-byte character make 128 characters;
    // the one after them is cut.
    std::string name(127, 'x');
    name += "\xC3\xA9";
    name += "y";
    EXPECT_EQ(platform::WorkgroupUrl(name), "smb://" + std::string(127, 'x') + "%C3%A9/");
}

} // namespace
