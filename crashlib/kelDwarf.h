// DWARF debug information through libdw, for the map-file unit.
//
// libdw is not thread-safe, so every use of it in the process holds the
// library lock TLibraryLock::DebugInfo (kelMemory.h). Separate debug files are found by our own
// routine: by build-id or by debuglink under the debug root (/usr/lib/debug) and beside the module.
// Nothing here ever asks a debuginfod server: a user's DEBUGINFOD_URLS must not make a crash report
// wait for the network. Every file is opened by us, regular files only and without waiting
// (OpenRegularFile), and handed to libdw open: nothing waits under the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

class TMapFile;
class TElfFile;

// The folder that holds separate debug files ("/usr/lib/debug"). Tests point
// it elsewhere.
std::string GetDebugFileRoot();
void SetDebugFileRoot(std::string Root);

// The separate debug file of the module ModuleFile: with a build-id (lower-case
// hex) Root/.build-id/xx/rest.debug when its build-id matches; else with a
// debuglink name that file beside the module, in its ".debug" folder or
// under Root + the module's folder, when its CRC-32 matches DebugLinkCrc.
// Empty when none is found.
std::string FindSeparateDebugFile(const std::string& ModuleFile, std::string_view BuildId,
                                  std::string_view DebugLink, uint32_t DebugLinkCrc);

// The alternate debug file AltPath that NamingFile's ".gnu_debugaltlink"
// names, opened (close-on-exec) when it is a regular file whose build-id is
// the one that section records; -1 otherwise.
int OpenDebugAltFile(const std::string& NamingFile, const std::string& AltPath);

// The DWARF of a module read unit by unit, as addresses in them are looked
// up: a map of a big module is there at once, and holds what its lookups
// needed. The map's tables change as units are read: they are read under
// the shared lock Read returns.
class TLazyDebugInfo {
public:
    ~TLazyDebugInfo();
    // Null when FileName (or its separate debug file) has no DWARF.
    static std::shared_ptr<TLazyDebugInfo> Open(const std::string& FileName, const TElfFile& File);
    // Reads the unit holding Address into Map, once; returns the lock under
    // which Map's tables are read. In crash-time mode none of the waits is
    // without end: a lock not got (a crashed thread was reading a unit)
    // comes back not owned, and the tables must not be read.
    std::shared_lock<std::shared_timed_mutex> Read(TMapFile& Map, uintptr_t Address);

private:
    TLazyDebugInfo();
    void ReadUnitAt(TMapFile& Map, uint64_t FileAddress);
    struct TImpl;
    std::unique_ptr<TImpl> Impl;
    std::shared_timed_mutex TablesLock;
};

// Adds what the DWARF of FileName (or of its separate debug file) says to
// Map, with Map.Bias added to every address: one line row per address (the
// last row the line programs give for it, a row of code before an end of
// sequence), one code segment per run of code
// from one source file (named by its path), and one public per routine or
// inlined routine, the innermost one naming each address, with a nameless
// public where code of no routine follows. Routines without DWARF get their
// names from the ELF symbols. False when there are no line rows.
bool LoadDwarfInfo(TMapFile& Map, const std::string& FileName, const TElfFile& File);
