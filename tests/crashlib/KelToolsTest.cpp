#include "crashlib/kelTools.h"
#include "crashlib/kelStrings.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

std::string RunCommand(const std::string& Command)
{
    std::string Out;
    FILE* P = popen(Command.c_str(), "r");
    if (P == nullptr)
        return Out;
    char Buf[65536];
    std::size_t N;
    while ((N = fread(Buf, 1, sizeof Buf, P)) > 0)
        Out.append(Buf, N);
    pclose(P);
    return Out;
}

std::string Chomp(std::string S)
{
    while (!S.empty() && (S.back() == '\n' || S.back() == '\r'))
        S.pop_back();
    return S;
}

// Where the object that holds Symbol has its ELF header.
HModule ModuleOf(void* Address)
{
    Dl_info Info{};
    return dladdr(Address, &Info) != 0 ? reinterpret_cast<HModule>(Info.dli_fbase) : 0;
}

struct TUnmangled {
    std::u16string Name;
    std::u16string Unit;
    bool Changed;
};

TUnmangled Unmangle(std::u16string Name)
{
    std::u16string Unit = u"junk";
    bool Changed = UnmangleNameW(Name, Unit);
    return {Name, Unit, Changed};
}

} // namespace

TEST(CrashlibTools, OsInfoIsBuiltFromTheKernelTheDistributionAndTheCLibrary)
{
    TOS Os = MakeOsInfo(
        "6.1.0-28-amd64", "x86_64",
        "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "2.36");
    EXPECT_EQ(Os.Major, 6u);
    EXPECT_EQ(Os.Minor, 1u);
    EXPECT_EQ(Os.Build, 0u);
    EXPECT_TRUE(Os.Is64Bit);
    EXPECT_FALSE(Os.Is9x);
    EXPECT_FALSE(Os.IsNT);
    EXPECT_EQ(Os.Edition, 0);
    EXPECT_EQ(Os.ServicePack, 0u);
    EXPECT_EQ(Os.ServicePackText, u"Linux 6.1.0-28-amd64, glibc 2.36");
    EXPECT_EQ(Os.Description,
              u"Debian GNU/Linux 12 (bookworm) x64 Linux 6.1.0-28-amd64, glibc 2.36");

    // Unquoted values, escapes, no pretty name; a 32-bit machine.
    Os = MakeOsInfo("5.10.197", "i686", "NAME=Some\\ Linux\nID=x\n", "2.31");
    EXPECT_EQ(Os.Build, 197u);
    EXPECT_FALSE(Os.Is64Bit);
    EXPECT_EQ(Os.Description, u"Some Linux Linux 5.10.197, glibc 2.31");
    // Nothing to go on at all.
    Os = MakeOsInfo("", "", "", "");
    EXPECT_EQ(Os.Major, 0u);
    EXPECT_EQ(Os.Description, u"Linux");
}

TEST(CrashlibTools, OsInfoOfThisSystemAgreesWithUnameOsReleaseAndGetconf)
{
    const std::string Release = Chomp(RunCommand("uname -r"));
    const std::string Machine = Chomp(RunCommand("uname -m"));
    const std::string Libc = Chomp(RunCommand("getconf GNU_LIBC_VERSION")); // "glibc 2.36"
    const std::string Pretty =
        Chomp(RunCommand("sh -c '. /etc/os-release && printf %s \"$PRETTY_NAME\"'"));
    ASSERT_FALSE(Release.empty());
    const TOS Os = GetOsInfo();
    EXPECT_EQ(std::to_string(Os.Major) + "." + std::to_string(Os.Minor),
              Release.substr(0, Release.find('.', Release.find('.') + 1)));
    EXPECT_EQ(Os.Is64Bit, Machine == "x86_64");
    const std::string Sp = "Linux " + Release + ", " + Libc;
    EXPECT_EQ(WideToUtf8(Os.ServicePackText), Sp);
    EXPECT_EQ(WideToUtf8(Os.Description),
              (Pretty.empty() ? "Linux" : Pretty) + (Os.Is64Bit ? " x64 " : " ") + Sp);
}

TEST(CrashlibTools, PathsVersionsAndTheWindowsOnlyFacts)
{
    EXPECT_EQ(GetPathRootA("/usr/lib/x"), "/");
    EXPECT_EQ(GetPathRootA("relative/x"), "");
    EXPECT_EQ(GetPathRootA(""), "");
    EXPECT_EQ(ToShortPathW(u"/a b/c~1"), u"/a b/c~1");
    EXPECT_EQ(ToLongPathA("/a/PROGRA~1"), "/a/PROGRA~1");
    EXPECT_EQ(VersionToStrA(0x00010002, 0x00030004), "1.2.3.4");
    EXPECT_EQ(VersionToStrW(0xffff0000, 0x0000ffff), u"65535.0.0.65535");
    EXPECT_EQ(GetFreeSystemResources9x(1), 0);
}

TEST(CrashlibTools, FileVersionComesFromTheVersionNote)
{
    TempFolder Dir;
    auto WithNote = [&](const std::string& Name, const std::string& Text) {
        std::string Desc = Text;
        while (Desc.size() % 4)
            Desc += '\0';
        std::string Note(12, '\0');
        uint32_t Sizes[3] = {7, static_cast<uint32_t>(Text.size()), 1};
        std::memcpy(Note.data(), Sizes, 12);
        Note += std::string("Tolvex\0\0", 8) + Desc;
        TempFolder::Write(Dir.Path(Name + ".note"), Note);
        const std::string Out = Dir.Path(Name);
        RunCommand("objcopy --add-section .note.tolvex.version=" + Dir.Path(Name + ".note") +
                   " /usr/bin/true " + Out);
        return Out;
    };
    const std::string Table = "StringFileInfo\\040904E4\\";
    const std::string V1 = WithNote("v1", "FileVersion=1.2.3.4\nProductVersion=1.2.3.4\n" + Table +
                                              "FileVersion=9.9\n");
    const std::string V2 = WithNote("v2", "FileVersion=0.0.0.0\n" + Table + "CompanyName=X\n" +
                                              Table + "FileVersion=  7.8 beta \n");
    const std::string V3 = WithNote("v3", "FileVersion=1.2\nBuildDate=2026-01-01\n");
    ASSERT_NE(RunCommand("readelf -n " + V1).find("Tolvex"), std::string::npos);
    EXPECT_EQ(GetFileVersionA(V1), "1.2.3.4");
    EXPECT_EQ(GetFileVersionW(Utf8ToWide(V2)), u"7.8 beta");
    EXPECT_EQ(GetFileVersionA(V3), ""); // neither a whole version nor a text
    EXPECT_EQ(GetFileVersionA("/usr/bin/true"), "");
    EXPECT_EQ(GetFileVersionA(Dir.Path("missing")), "");
}

TEST(CrashlibTools, ResourceSectionAddedToACopyOfALibraryIsLoaded)
{
    TempFolder Dir;
    static const char Bytes[] = "settings\0with a zero\n\xff";
    const std::string Payload(Bytes, sizeof Bytes - 1);
    TempFolder::Write(Dir.Path("payload"), Payload);
    TempFolder::Write(Dir.Path("empty"), "");
    const std::string Lib = Dir.Path("libdlcopy.so.2");
    RunCommand("objcopy --add-section .rsrc.RCDATA.TKELEXCEPT=" + Dir.Path("payload") +
               " --add-section .rsrc.10.Numbered=" + Dir.Path("payload") +
               " --add-section .rsrc.X.Empty=" + Dir.Path("empty") +
               " /lib/x86_64-linux-gnu/libdl.so.2 " + Lib);
    void* H = dlopen(Lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(H, nullptr) << dlerror();
    link_map* Map = nullptr;
    ASSERT_EQ(dlinfo(H, RTLD_DI_LINKMAP, &Map), 0);
    const HModule Module = Map->l_addr; // a shared object's header is at its load bias
    ASSERT_NE(Module, 0u);
    uintptr_t Found = 0;
    std::string File;
    ASSERT_TRUE(FindModuleOfAddr(Module, Found, File));
    ASSERT_EQ(File, Lib); // the copy, not the system's library

    EXPECT_EQ(LoadResourceStr(Module, "RCDATA", "TKELEXCEPT"), Payload);
    EXPECT_EQ(LoadResourceStr(Module, "rcdata", "tkelexcept"), Payload);
    EXPECT_EQ(LoadResourceStr(Module, uint16_t{10}, "NUMBERED"), Payload);
    EXPECT_EQ(LoadResourceStr(Module, "X", "Empty"), "");
    EXPECT_EQ(LoadResourceStr(Module, "RCDATA", "MISSING"), "");
    EXPECT_EQ(LoadResourceStr(Module, "", "TKELEXCEPT"), "");
    // The program itself has no such resource; an address that is no module has none.
    EXPECT_EQ(LoadResourceStr(0, "RCDATA", "TKELEXCEPT"), "");
    EXPECT_EQ(LoadResourceStr(Module + 16, "RCDATA", "TKELEXCEPT"), "");
    dlclose(H);
}

TEST(CrashlibTools, ModuleImagesAnswerForLoadedLibraries)
{
    void* Libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void* Cxx = dlopen("libstdc++.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(Libc, nullptr);
    ASSERT_NE(Cxx, nullptr);
    void* Printf = dlsym(Libc, "printf");
    void* Terminate = dlsym(Cxx, "_ZSt9terminatev");
    const HModule LibcBase = ModuleOf(Printf), CxxBase = ModuleOf(Terminate);

    auto H = GetImageElfHeader(LibcBase);
    ASSERT_TRUE(H.has_value());
    EXPECT_TRUE(H->Is64);
    EXPECT_EQ(H->Type, ET_DYN);
    EXPECT_EQ(H->Machine, EM_X86_64);
    int OnStack = 0;
    EXPECT_FALSE(GetImageElfHeader(reinterpret_cast<HModule>(&OnStack)).has_value());
    EXPECT_TRUE(GetImageElfHeader(0).has_value()); // the program itself

    EXPECT_GT(GetSizeOfImage(LibcBase), 1u << 20);
    EXPECT_EQ(GetSizeOfImage(reinterpret_cast<HModule>(&OnStack)), 0u);
    EXPECT_EQ(GetImageProcAddress(LibcBase, "printf"), reinterpret_cast<uintptr_t>(Printf));
    EXPECT_EQ(GetImageProcAddress(LibcBase, "no_such_routine"), 0u);

    const std::string Name = GetExportName(LibcBase, reinterpret_cast<uintptr_t>(Printf), false);
    EXPECT_EQ(GetImageProcAddress(LibcBase, Name), reinterpret_cast<uintptr_t>(Printf)) << Name;
    EXPECT_EQ(GetExportNameW(CxxBase, reinterpret_cast<uintptr_t>(Terminate), false),
              u"_ZSt9terminatev");
    EXPECT_EQ(GetExportNameW(CxxBase, reinterpret_cast<uintptr_t>(Terminate), true),
              u"std::terminate()");
    EXPECT_EQ(GetExportNameW(CxxBase, reinterpret_cast<uintptr_t>(Terminate) + 1, true), u"");
}

TEST(CrashlibTools, UnmangleFollowsTheRuleForAtNames)
{
    struct {
        std::u16string In, Name, Unit;
        bool Changed;
    } const Cases[] = {
        {u"@Unit1@TFoo@Create$qv", u"TFoo.Create", u"Unit1", true},
        {u"@Unit2@TBar@$bdtr$qv", u"TBar.Destroy", u"Unit2", true},
        {u"@Unit2@TBar@$bctr$qqrv", u"TBar.Create", u"Unit2", true},
        {u"@Unit@Func$qv", u"Func", u"Unit", true},
        {u"@Func$qv", u"Func", u"", true},
        {u"@Unit@Var", u"Var", u"Unit", true},
        // Too short to leave anything after the unit: the unit goes back.
        {u"@Unit@", u"@Unit.Create", u"", true},
        // Template tail after the last "%@".
        {u"@%TFoo$i%@Bar", u"TFoo.Bar", u"", true},
        // "@_$...$@": the scan starts at the "@" after the "$".
        {u"@_$Foo$@Unit@Bar$qv", u"Unit.Bar", u"_$Foo$", true},
        // Trimmed, and a name still ending in "." gets "?".
        {u"@Unit@Foo@ $qv", u"Foo.?", u"Unit", true},
        {u"@Unit::Sub@Foo$qv", u"Foo", u"Unit.Sub", true},
        {u"Plain", u"Plain", u"", false},
        {u"", u"", u"", false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(WideToUtf8(C.In));
        const TUnmangled U = Unmangle(C.In);
        EXPECT_EQ(U.Name, C.Name);
        EXPECT_EQ(U.Unit, C.Unit);
        EXPECT_EQ(U.Changed, C.Changed);
        std::string A = WideToUtf8(C.In), AUnit = "junk";
        EXPECT_EQ(UnmangleNameA(A, AUnit), C.Changed);
        EXPECT_EQ(A, WideToUtf8(C.Name));
        EXPECT_EQ(AUnit, WideToUtf8(C.Unit));
    }
}

TEST(CrashlibTools, UnmangledCxxNamesEqualCxxfilt)
{
    // The mangled names of this program's own symbols, demangled by c++filt.
    std::istringstream Nm(
        RunCommand("nm --defined-only /proc/" + std::to_string(getpid()) +
                   "/exe | awk '$3 ~ /^_Z/ && $3 !~ /@/ {print $3}' | sort -u | head -3000"));
    std::vector<std::string> Names;
    for (std::string L; std::getline(Nm, L);)
        Names.push_back(L);
    ASSERT_GT(Names.size(), 500u);
    TempFolder Dir;
    std::string All;
    for (const auto& N : Names)
        All += N + "\n";
    TempFolder::Write(Dir.Path("names"), All);
    // -i: the runtime's short forms of the standard streams and strings.
    std::istringstream Filt(RunCommand("c++filt -i < " + Dir.Path("names")));
    std::size_t Checked = 0;
    for (const auto& N : Names) {
        std::string Expected;
        ASSERT_TRUE(std::getline(Filt, Expected));
        std::string Name = N, Unit = "junk";
        const bool Changed = UnmangleNameA(Name, Unit);
        if (Expected == N) { // c++filt could not demangle it either
            EXPECT_FALSE(Changed) << N;
            continue;
        }
        EXPECT_TRUE(Changed) << N;
        EXPECT_EQ(Name, Expected);
        EXPECT_EQ(Unit, "");
        std::u16string W = Utf8ToWide(N), WUnit;
        EXPECT_TRUE(UnmangleNameW(W, WUnit));
        EXPECT_EQ(WideToUtf8(W), Expected);
        ++Checked;
    }
    EXPECT_GT(Checked, 500u);
    std::string Bad = "_Z_not_a_name", Unit;
    EXPECT_FALSE(UnmangleNameA(Bad, Unit));
    EXPECT_EQ(Bad, "_Z_not_a_name");
}

TEST(CrashlibTools, BadReadRangeCoversRegionEndsAndProtections)
{
    const std::size_t PS = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* P = static_cast<char*>(
        mmap(nullptr, 2 * PS, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(P, MAP_FAILED);
    ASSERT_EQ(mprotect(P + PS, PS, PROT_NONE), 0);
    const auto A = reinterpret_cast<uintptr_t>(P);
    EXPECT_FALSE(IsBadReadRange(A, PS));
    EXPECT_TRUE(IsBadReadRange(A + PS - 4, 8)); // runs past the readable region
    EXPECT_TRUE(IsBadReadRange(A + PS, 1));
    EXPECT_TRUE(IsBadReadRange(0, 1));
    munmap(P, 2 * PS);
    EXPECT_TRUE(IsBadReadRange(A, 1));
}

TEST(CrashlibTools, TicksSinceCountsModuloTwoToThe32)
{
    const uint32_t Earlier = GetTickCount() - 250; // may wrap below zero
    const uint32_t Elapsed = TicksSince(Earlier);
    EXPECT_GE(Elapsed, 250u);
    EXPECT_LT(Elapsed, 5000u);
    const uint32_t Now = GetTickCount();
    usleep(20000);
    EXPECT_GE(TicksSince(Now), 19u);
}

TEST(CrashlibTools, InitKelExceptionClassInstallsTheLibraryClassOnlyWhenNoneIsSet)
{
    const TKelExceptionFactory Saved = KelExceptionFactory;
    KelExceptionFactory = nullptr;
    InitKelExceptionClass();
    ASSERT_NE(KelExceptionFactory, nullptr);
    auto E = NewKelException("boom");
    EXPECT_EQ(typeid(*E), typeid(KelException));
    EXPECT_EQ(E->Message, "boom");
    const TKelExceptionFactory Custom = [](std::string_view M) -> std::unique_ptr<KelException> {
        return std::make_unique<EExternal>(std::string(M));
    };
    KelExceptionFactory = Custom;
    InitKelExceptionClass();
    EXPECT_EQ(KelExceptionFactory, Custom);
    KelExceptionFactory = Saved;
    auto U = GetUnknownExceptionObject(nullptr);
    EXPECT_EQ(U->Message, "Unknown exception. Its class could not be determined.");
}
