#include "engine/DetectOS.h"

#include <tuple>

namespace {

// The level this system stands for; see the header.
constexpr unsigned FacilityMajor = 6;
constexpr unsigned FacilityMinor = 0;
constexpr unsigned FacilityServicePack = 0;

} // namespace

bool IsWindowsVersionOrGreater(unsigned Major, unsigned Minor, unsigned ServicePackMajor)
{
    return std::tie(FacilityMajor, FacilityMinor, FacilityServicePack) >=
           std::tie(Major, Minor, ServicePackMajor);
}

bool IsWindowsVistaOrGreater()
{
    return IsWindowsVersionOrGreater(6, 0, 0);
}

bool IsWindowsVistaOrLater()
{
    return IsWindowsVistaOrGreater();
}
