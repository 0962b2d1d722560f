// The two enumerations that give a scan its computer names instead of
// addresses: the network neighbourhood (every domain or workgroup the LAN
// Manager browsers know, and their computers) and the directory's computer
// accounts. The scan worker's methods and the computer picker's thread
// forward to these functions; each takes a predicate that tells whether its
// thread has been asked to terminate.
#pragma once

#include "engine/uScanJob.h"
#include "platform/DirectorySearch.h"

#include <functional>
#include <string>
#include <vector>

using TTerminatedFn = std::function<bool()>;
using TNameFoundFn = std::function<void(const std::string& Name)>;

// Where the neighbourhood comes from; the default is the platform's browser.
struct TNeighbourhoodSource {
    std::function<std::vector<std::string>()> Workgroups;
    std::function<std::vector<std::string>(const std::string& Domain)> Servers;
};
const TNeighbourhoodSource& PlatformNeighbourhood();

// Where the directory search goes; the default is the platform's libldap one.
using TDirectorySource = std::function<platform::TDirectorySearchInfo(
    const platform::TDirectoryQuery& Query, const TNameFoundFn& OnValue,
    const TTerminatedFn& Terminated)>;
const TDirectorySource& PlatformDirectory();

// The directory filters, with and without disabled accounts (bit 2 of
// userAccountControl), and the attributes asked for; only "name" is read.
extern const char* const ADFilterIncludeDisabled;
extern const char* const ADFilterExcludeDisabled;
const std::vector<std::string>& ADAttributes();
constexpr int ADPageSize = 100;

// No enumeration hands more names than this to a scan.
constexpr size_t MaxEnumeratedNames = 1000000;

// Adds the names of the domains and workgroups to Domains. A failing browse
// simply ends the list; nothing is asked once Terminated says so. Error,
// when given, takes the browse's reason of the first failure (it stays as
// it was when nothing failed).
void EnumDomains(std::vector<std::string>& Domains, const TTerminatedFn& Terminated,
                 const TNeighbourhoodSource& Source = PlatformNeighbourhood(),
                 std::string* Error = nullptr);

// Reports every computer the browsers list for Domain, in their order.
void EnumDomainComputers(const std::string& Domain, const TNameFoundFn& OnName,
                         const TTerminatedFn& Terminated,
                         const TNeighbourhoodSource& Source = PlatformNeighbourhood(),
                         std::string* Error = nullptr);
// The same, adding the names to Names.
void EnumDomainComputers(const std::string& Domain, std::vector<std::string>& Names,
                         const TTerminatedFn& Terminated,
                         const TNeighbourhoodSource& Source = PlatformNeighbourhood(),
                         std::string* Error = nullptr);

// Fills Names with the computers of every domain (a computer listed by two
// domains comes twice) and sets Job.Status and Job.Message; a stop request
// ends it without either. When no name was found because the browse failed,
// the message says why (sSetStatusScanNetworkFailed).
void EnumNetworkNeighbourhood(TScanJob& Job, std::vector<std::string>& Names,
                              const TTerminatedFn& Terminated,
                              const TNeighbourhoodSource& Source = PlatformNeighbourhood());

// Adds the directory's computer accounts to Names; disabled ones only when
// IncludeDisabled. Raises platform::EDirectoryError when there is no
// directory to search.
void EnumActiveDirectoryComputers(bool IncludeDisabled, std::vector<std::string>& Names,
                                  const TTerminatedFn& Terminated,
                                  const TDirectorySource& Source = PlatformDirectory());

// Fills Names from the directory and sets Job.Status and Job.Message; never
// raises; a stop request ends it without status. When no name was found
// because the search failed, the message says why (sSetStatusScanADFailed).
void ScanActiveDirectory(TScanJob& Job, std::vector<std::string>& Names,
                         const TTerminatedFn& Terminated,
                         const TDirectorySource& Source = PlatformDirectory());
