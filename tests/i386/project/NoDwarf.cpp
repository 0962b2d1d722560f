// The DWARF reader for a build without libdw: there is no DWARF to read, so
// the map-file unit goes on to its other sources (the ELF symbols).
#include "crashlib/kelDwarf.h"

bool LoadDwarfInfo(TMapFile&, const std::string&, const TElfFile&)
{
    return false;
}
