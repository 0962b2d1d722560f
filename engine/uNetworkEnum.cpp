#include "engine/uNetworkEnum.h"

#include "engine/uFormat.h"
#include "platform/LanManBrowse.h"

const char* const ADFilterIncludeDisabled = "(&(objectClass=computer))";
const char* const ADFilterExcludeDisabled =
    "(&(objectClass=computer)(!(userAccountControl:1.2.840.113556.1.4.803:=2)))";

namespace {

bool Stopped(const TTerminatedFn& Terminated)
{
    return Terminated && Terminated();
}

} // namespace

const TNeighbourhoodSource& PlatformNeighbourhood()
{
    static const TNeighbourhoodSource source{platform::BrowseWorkgroups, platform::BrowseServers};
    return source;
}

const TDirectorySource& PlatformDirectory()
{
    static const TDirectorySource source = platform::SearchDirectory;
    return source;
}

const std::vector<std::string>& ADAttributes()
{
    static const std::vector<std::string> attrs{"name", "description", "adspath"};
    return attrs;
}

void EnumDomains(std::vector<std::string>& Domains, const TTerminatedFn& Terminated,
                 const TNeighbourhoodSource& Source)
{
    // One request answers the whole list: the browser client goes on from
    // the last name it received, so no name comes back a second time.
    if (Stopped(Terminated))
        return;
    try {
        for (auto& d : Source.Workgroups()) {
            if (Domains.size() >= MaxEnumeratedNames)
                break;
            Domains.push_back(std::move(d));
        }
    } catch (const std::exception&) {
        // No browser, or one that failed: the list simply ends here.
    }
}

void EnumDomainComputers(const std::string& Domain, const TNameFoundFn& OnName,
                         const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source)
{
    if (Stopped(Terminated))
        return;
    std::vector<std::string> servers;
    try {
        servers = Source.Servers(Domain);
    } catch (const std::exception&) {
        return;
    }
    for (const auto& s : servers)
        OnName(s);
}

void EnumDomainComputers(const std::string& Domain, std::vector<std::string>& Names,
                         const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source)
{
    EnumDomainComputers(
        Domain,
        [&Names](const std::string& Name) {
            if (Names.size() < MaxEnumeratedNames)
                Names.push_back(Name);
        },
        Terminated, Source);
}

void EnumNetworkNeighbourhood(TScanJob& Job, std::vector<std::string>& Names,
                              const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source)
{
    Names.clear();
    std::vector<std::string> domains;
    EnumDomains(domains, Terminated, Source);
    // A stop while the domains were listed counts as a stop too: a list cut
    // short must not be reported as "nothing found".
    if (Stopped(Terminated))
        return;
    for (const auto& d : domains) {
        EnumDomainComputers(d, Names, Terminated, Source);
        if (Stopped(Terminated))
            return;
    }
    const TEngineSettings& s = Job.Settings;
    if (!Names.empty()) {
        Job.Status = jsComplete;
        Job.Message =
            FormatChecked(s.sSetStatusScanNetworkComplete, "sSetStatusScanNetworkComplete",
                          {static_cast<int>(Names.size())});
    } else {
        Job.Status = jsNotFound;
        Job.Message = s.sSetStatusScanNetworkComputerNotFound;
    }
}

void EnumActiveDirectoryComputers(bool IncludeDisabled, std::vector<std::string>& Names,
                                  const TTerminatedFn& Terminated, const TDirectorySource& Source)
{
    platform::TDirectoryQuery q;
    q.Filter = IncludeDisabled ? ADFilterIncludeDisabled : ADFilterExcludeDisabled;
    q.Attributes = ADAttributes();
    q.ValueAttribute = "name";
    q.PageSize = ADPageSize;
    Source(
        q,
        [&Names](const std::string& Name) {
            if (Names.size() < MaxEnumeratedNames)
                Names.push_back(Name);
        },
        Terminated);
}

void ScanActiveDirectory(TScanJob& Job, std::vector<std::string>& Names,
                         const TTerminatedFn& Terminated, const TDirectorySource& Source)
{
    Names.clear();
    try {
        EnumActiveDirectoryComputers(Job.ADIncludeDisabled, Names, Terminated, Source);
    } catch (...) {
        // A computer outside any directory, or one that failed midway: the
        // names read so far stand, the status says whether there are any.
    }
    if (Stopped(Terminated))
        return;
    const TEngineSettings& s = Job.Settings;
    if (Names.empty()) {
        Job.Status = jsNotFound;
        Job.Message = s.sSetStatusScanADComputerNotFound;
    } else {
        Job.Status = jsComplete;
        Job.Message = FormatChecked(s.sSetStatusScanADComplete, "sSetStatusScanADComplete",
                                    {static_cast<int>(Names.size())});
    }
}
