// The "modules" section of the bug report: every module loaded into the
// process, in ascending address order, one line each: where its ELF header is
// mapped (16 hex digits), its file name, its version and its folder.
//
// Linking this unit registers the plugin (see kelExceptReport).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TModuleRecord {
    std::uintptr_t Handle = 0; // where its ELF header is mapped
    std::string FileName;
    std::string Folder;
    std::string Version; // from its version note, else the number of its soname
};

// The modules as the dynamic linker knows them now; images without a file
// (the vDSO) are left out.
std::vector<TModuleRecord> ListModules();
// The version a module's soname gives: what follows ".so." ("libc.so.6" -> "6").
std::string SonameVersion(std::string_view Soname);
// The section text of the records.
std::string ModulesText(const std::vector<TModuleRecord>& Modules);
// The plugin's routine: ModulesText(ListModules()).
void ListModulesPlugin(std::string& Text);
