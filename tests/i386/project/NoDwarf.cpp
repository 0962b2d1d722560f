// The DWARF reader for a build without libdw: there is no DWARF to read, so
// the map-file unit goes on to its other sources (the ELF symbols).
#include "crashlib/kelDwarf.h"

bool LoadDwarfInfo(TMapFile&, const std::string&, const TElfFile&)
{
    return false;
}

// Nothing to read unit by unit either.
struct TLazyDebugInfo::TImpl {};
TLazyDebugInfo::TLazyDebugInfo() = default;
TLazyDebugInfo::~TLazyDebugInfo() = default;

std::shared_ptr<TLazyDebugInfo> TLazyDebugInfo::Open(const std::string&, const TElfFile&)
{
    return nullptr;
}

std::shared_lock<std::shared_timed_mutex> TLazyDebugInfo::Read(TMapFile&, uintptr_t)
{
    return {};
}
