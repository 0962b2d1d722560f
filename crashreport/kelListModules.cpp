#include "crashreport/kelListModules.h"

#include "crashlib/kelElfImage.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptReport.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <link.h>
#include <unistd.h>

namespace {

struct TLoaded {
    std::uintptr_t Handle = 0;
    std::string Path;
};

int CollectModule(dl_phdr_info* Info, std::size_t, void* Data)
{
    auto& Out = *static_cast<std::vector<TLoaded>*>(Data);
    std::uintptr_t Low = UINTPTR_MAX;
    for (int I = 0; I < Info->dlpi_phnum; ++I)
        if (Info->dlpi_phdr[I].p_type == PT_LOAD)
            Low = std::min<std::uintptr_t>(Low, Info->dlpi_phdr[I].p_vaddr -
                                                    Info->dlpi_phdr[I].p_offset);
    if (Low == UINTPTR_MAX)
        return 0;
    TLoaded M;
    M.Handle = Info->dlpi_addr + Low;
    const char* Name = Info->dlpi_name;
    if (Name == nullptr || *Name == '\0') {
        // The program itself is the one module without a name.
        if (!Out.empty())
            return 0;
        char Buf[PATH_MAX];
        const ssize_t N = readlink("/proc/self/exe", Buf, sizeof Buf - 1);
        if (N <= 0)
            return 0;
        M.Path.assign(Buf, static_cast<std::size_t>(N));
    } else {
        // An image without a file (the vDSO) is named without a folder.
        if (std::strchr(Name, '/') == nullptr)
            return 0;
        char* Real = realpath(Name, nullptr);
        M.Path = Real != nullptr ? Real : Name;
        std::free(Real);
    }
    Out.push_back(std::move(M));
    return 0;
}

// The soname a module file records in its dynamic section; empty when none.
std::string FileSoname(const std::string& Path)
{
    const auto File = TElfFile::Open(Path);
    if (!File)
        return {};
    const TElfSection* Dynamic = File->FindSection(".dynamic");
    if (Dynamic == nullptr || Dynamic->Link >= File->Sections().size())
        return {};
    const auto Entries = File->ReadSection(*Dynamic, 1 << 20);
    const auto Strings = File->ReadSection(File->Sections()[Dynamic->Link], 16 << 20);
    if (!Entries || !Strings)
        return {};
    const bool Is64 = File->Header().Is64;
    const std::size_t Size = Is64 ? 16 : 8;
    for (std::size_t Pos = 0; Pos + Size <= Entries->size(); Pos += Size) {
        std::int64_t Tag = 0;
        std::uint64_t Value = 0;
        if (Is64) {
            std::memcpy(&Tag, Entries->data() + Pos, 8);
            std::memcpy(&Value, Entries->data() + Pos + 8, 8);
        } else {
            std::int32_t T32 = 0;
            std::uint32_t V32 = 0;
            std::memcpy(&T32, Entries->data() + Pos, 4);
            std::memcpy(&V32, Entries->data() + Pos + 4, 4);
            Tag = T32;
            Value = V32;
        }
        if (Tag == DT_NULL)
            break;
        if (Tag == DT_SONAME && Value < Strings->size())
            return std::string(Strings->c_str() + Value,
                               strnlen(Strings->c_str() + Value, Strings->size() - Value));
    }
    return {};
}

struct TRegisterModules {
    TRegisterModules()
    {
        RegisterBugReportPlugin("modules", "list of loaded modules", &ListModulesPlugin);
    }
    ~TRegisterModules() { UnregisterBugReportPlugin("modules"); }
};
const TRegisterModules RegisterModules;

} // namespace

// The static library is linked with this symbol asked for, so that the plugin
// is registered wherever the crash reporter is linked in.
extern "C" const char KelListModulesLinked = 1;

std::vector<TModuleRecord> ListModules()
{
    std::vector<TLoaded> Loaded;
    dl_iterate_phdr(&CollectModule, &Loaded);
    std::sort(Loaded.begin(), Loaded.end(),
              [](const TLoaded& A, const TLoaded& B) { return A.Handle < B.Handle; });
    std::vector<TModuleRecord> Modules;
    Modules.reserve(Loaded.size());
    for (const auto& L : Loaded) {
        TModuleRecord R;
        R.Handle = L.Handle;
        const auto Slash = L.Path.rfind('/');
        R.FileName = L.Path.substr(Slash + 1);
        R.Folder = Slash == std::string::npos ? std::string() : L.Path.substr(0, Slash);
        R.Version = GetFileVersionA(L.Path);
        if (R.Version.empty())
            R.Version = SonameVersion(FileSoname(L.Path));
        Modules.push_back(std::move(R));
    }
    return Modules;
}

std::string SonameVersion(std::string_view Soname)
{
    const auto Pos = Soname.find(".so.");
    return Pos == std::string_view::npos ? std::string() : std::string(Soname.substr(Pos + 4));
}

std::string ModulesText(const std::vector<TModuleRecord>& Modules)
{
    std::size_t NameWidth = 0, VersionWidth = 0;
    for (const auto& M : Modules) {
        NameWidth = std::max(NameWidth, TextWidth(M.FileName) + 1);
        VersionWidth = std::max(VersionWidth, TextWidth(M.Version) + 1);
    }
    std::string Text;
    for (const auto& M : Modules) {
        if (!Text.empty())
            Text += "\r\n";
        char Handle[20];
        std::snprintf(Handle, sizeof Handle, "%016llx", static_cast<unsigned long long>(M.Handle));
        Text += std::string(Handle) + " " + FillText(M.FileName, -static_cast<int>(NameWidth)) +
                FillText(M.Version, -static_cast<int>(VersionWidth)) + M.Folder;
    }
    return Text;
}

void ListModulesPlugin(std::string& Text)
{
    Text = ModulesText(ListModules());
}
