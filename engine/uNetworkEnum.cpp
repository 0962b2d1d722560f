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

void KeepFirstError(std::string* Error, const std::exception& E)
{
    if (Error && Error->empty())
        *Error = E.what();
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
                 const TNeighbourhoodSource& Source, std::string* Error)
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
    } catch (const std::exception& E) {
        // No browser, or one that failed: the list simply ends here.
        KeepFirstError(Error, E);
    }
}

void EnumDomainComputers(const std::string& Domain, const TNameFoundFn& OnName,
                         const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source,
                         std::string* Error)
{
    if (Stopped(Terminated))
        return;
    std::vector<std::string> servers;
    try {
        servers = Source.Servers(Domain);
    } catch (const std::exception& E) {
        KeepFirstError(Error, E);
        return;
    }
    for (const auto& s : servers)
        OnName(s);
}

void EnumDomainComputers(const std::string& Domain, std::vector<std::string>& Names,
                         const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source,
                         std::string* Error)
{
    EnumDomainComputers(
        Domain,
        [&Names](const std::string& Name) {
            if (Names.size() < MaxEnumeratedNames)
                Names.push_back(Name);
        },
        Terminated, Source, Error);
}

void EnumNetworkNeighbourhood(TScanJob& Job, std::vector<std::string>& Names,
                              const TTerminatedFn& Terminated, const TNeighbourhoodSource& Source)
{
    Names.clear();
    std::vector<std::string> domains;
    std::string error;
    EnumDomains(domains, Terminated, Source, &error);
    // A stop while the domains were listed counts as a stop too: a list cut
    // short must not be reported as "nothing found".
    if (Stopped(Terminated))
        return;
    for (const auto& d : domains) {
        EnumDomainComputers(d, Names, Terminated, Source, &error);
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
        // Nothing found because the browse failed is a failure with its
        // reason, not a network found empty.
        Job.Status = jsNotFound;
        Job.Message = error.empty()
                          ? s.sSetStatusScanNetworkComputerNotFound
                          : FormatChecked(s.sSetStatusScanNetworkFailed,
                                          TEngineSettings{}.sSetStatusScanNetworkFailed, {error});
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
    std::string error;
    try {
        EnumActiveDirectoryComputers(Job.ADIncludeDisabled, Names, Terminated, Source);
    } catch (const std::exception& E) {
        // A computer outside any directory, or one that failed midway: the
        // names read so far stand, the status says whether there are any,
        // and why there are none.
        error = E.what();
    } catch (...) {
        error = "unknown error";
    }
    if (Stopped(Terminated))
        return;
    const TEngineSettings& s = Job.Settings;
    if (Names.empty()) {
        Job.Status = jsNotFound;
        Job.Message = error.empty()
                          ? s.sSetStatusScanADComputerNotFound
                          : FormatChecked(s.sSetStatusScanADFailed,
                                          TEngineSettings{}.sSetStatusScanADFailed, {error});
    } else {
        Job.Status = jsComplete;
        Job.Message = FormatChecked(s.sSetStatusScanADComplete, "sSetStatusScanADComplete",
                                    {static_cast<int>(Names.size())});
    }
}
