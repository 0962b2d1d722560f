#include "crashlib/kelElfImage.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <link.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
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

std::string RealPath(const std::string& P)
{
    char Buf[PATH_MAX];
    return realpath(P.c_str(), Buf) != nullptr ? std::string(Buf) : P;
}

std::string SelfExe()
{
    return RealPath("/proc/self/exe");
}

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

// Where the object that holds Symbol (opened as Handle) has its ELF header.
uintptr_t HeaderOf(void* Handle, const char* Symbol)
{
    Dl_info Info{};
    void* Addr = dlsym(Handle, Symbol);
    if (Addr == nullptr || dladdr(Addr, &Info) == 0)
        return 0;
    return reinterpret_cast<uintptr_t>(Info.dli_fbase);
}

std::string PathOf(void* Handle)
{
    link_map* Map = nullptr;
    if (dlinfo(Handle, RTLD_DI_LINKMAP, &Map) != 0 || Map == nullptr)
        return {};
    return RealPath(Map->l_name);
}

// Every defined dynamic symbol of a library looked up by name must give what
// the dynamic linker's dlsym gives.
void ExpectLookupsEqualDlsym(const char* Library, const char* AnySymbol)
{
    SCOPED_TRACE(Library);
    void* H = dlopen(Library, RTLD_NOW);
    ASSERT_NE(H, nullptr) << dlerror();
    const std::string Path = PathOf(H);
    auto File = TElfFile::Open(Path);
    ASSERT_NE(File, nullptr) << Path;
    auto Image = TElfLoadedImage::Open(HeaderOf(H, AnySymbol));
    ASSERT_NE(Image, nullptr);
    ASSERT_TRUE(Image->HasSymbolHash());

    std::map<std::string, std::set<uint8_t>> Types; // name -> types of its definitions
    std::map<std::string, bool> Unique;
    for (const auto& Y : File->Symbols(true)) {
        if (Y.Shndx == SHN_UNDEF || Y.Name.empty())
            continue;
        Types[Y.Name].insert(Y.Type);
        if (Y.Bind == STB_GNU_UNIQUE)
            Unique[Y.Name] = true;
    }
    ASSERT_GT(Types.size(), 1000u);
    std::vector<std::string> Wrong;
    std::size_t Compared = 0;
    for (const auto& [Name, Kinds] : Types) {
        const uintptr_t Ours = Image->FindSymbol(Name);
        if (Kinds.count(STT_TLS)) {
            if (Ours != 0)
                Wrong.push_back(Name + ": thread-local symbol given an address");
            continue;
        }
        if (Kinds.count(STT_GNU_IFUNC)) {
            // dlsym runs the resolver; we never run code and give the resolver.
            if (Ours == 0)
                Wrong.push_back(Name + ": indirect function not found");
            continue;
        }
        dlerror();
        const auto Theirs = reinterpret_cast<uintptr_t>(dlsym(H, Name.c_str()));
        ++Compared;
        if (Ours == Theirs)
            continue;
        // A unique symbol resolves to its first definition in the process.
        Dl_info Info{};
        if (Unique.count(Name) && dladdr(reinterpret_cast<void*>(Theirs), &Info) != 0 &&
            RealPath(Info.dli_fname) != Path)
            continue;
        std::ostringstream M;
        M << Name << ": ours " << std::hex << Ours << ", dlsym " << Theirs;
        Wrong.push_back(M.str());
    }
    EXPECT_GT(Compared, 1000u);
    EXPECT_TRUE(Wrong.empty()) << Wrong.size() << " differ, first: " << Wrong.front();
    // And the way back: an exported function's address gives its name, or
    // the name of an alias at the same address.
    const auto Addr = Image->FindSymbol(AnySymbol);
    const std::string Back = Image->SymbolNameAt(Addr);
    ASSERT_FALSE(Back.empty());
    EXPECT_EQ(Image->FindSymbol(Back), Addr) << Back;
    EXPECT_EQ(Image->SymbolNameAt(Addr + 1), "");
    EXPECT_EQ(Image->FindSymbol("no_such_symbol_anywhere_4711"), 0u);
}

struct TNmSymbol {
    uint64_t Value;
    std::string Name;
};

std::vector<TNmSymbol> NmSorted(const std::string& Args)
{
    std::vector<TNmSymbol> Out;
    std::istringstream In(RunCommand("nm -n --defined-only " + Args + " 2>/dev/null"));
    std::string Line;
    while (std::getline(In, Line)) {
        std::istringstream L(Line);
        std::string Value, Type, Name;
        if (!(L >> Value >> Type >> Name) || Type == "a" || Type == "A")
            continue;
        // Thread-local symbols hold offsets into the thread's block, not
        // addresses; nothing else lies in the first page, the ELF header's.
        if (std::stoull(Value, nullptr, 16) < 0x1000)
            continue;
        Name = Name.substr(0, Name.find('@'));
        Out.push_back({std::stoull(Value, nullptr, 16), Name});
    }
    return Out;
}

void ExpectSymbolsByAddressEqualNm(const std::string& Path, bool Dynamic)
{
    SCOPED_TRACE(Path);
    auto File = TElfFile::Open(Path);
    ASSERT_NE(File, nullptr);
    TElfSymbolMap Map(File->Symbols(Dynamic));
    auto Nm = NmSorted((Dynamic ? "-D " : "") + Path);
    ASSERT_GT(Nm.size(), 500u);
    std::size_t Checked = 0;
    const std::size_t Step = Nm.size() / 400 + 1;
    for (std::size_t I = 0; I + 1 < Nm.size(); I += Step) {
        // A few addresses from the symbol's start up to just below the next one.
        const uint64_t Next = Nm[I + 1].Value;
        for (uint64_t Addr : {Nm[I].Value, (Nm[I].Value + Next) / 2, Next - 1}) {
            if (Addr < Nm[I].Value || Addr >= Next)
                continue;
            std::set<std::string> Names;
            for (std::size_t K = I; K < Nm.size() && Nm[K].Value == Nm[I].Value; ++K)
                Names.insert(Nm[K].Name);
            for (std::size_t K = I; K > 0 && Nm[K - 1].Value == Nm[I].Value; --K)
                Names.insert(Nm[K - 1].Name);
            const TElfSymbol* Y = Map.Find(Addr);
            ASSERT_NE(Y, nullptr) << std::hex << Addr;
            EXPECT_EQ(Y->Value, Nm[I].Value) << std::hex << Addr;
            EXPECT_TRUE(Names.count(Y->Name.substr(0, Y->Name.find('@'))))
                << Y->Name << " at " << std::hex << Addr;
            ++Checked;
        }
    }
    EXPECT_GT(Checked, 300u);
    EXPECT_EQ(Map.Find(0), nullptr);
}

uint64_t ReadelfImageSpan(const std::string& Path)
{
    std::istringstream In(RunCommand("readelf -lW " + Path));
    std::string Line;
    uint64_t Low = UINT64_MAX, High = 0;
    while (std::getline(In, Line)) {
        std::istringstream L(Line);
        std::string Type, Off, VAddr, PAddr, FileSz, MemSz;
        if (!(L >> Type >> Off >> VAddr >> PAddr >> FileSz >> MemSz) || Type != "LOAD")
            continue;
        uint64_t V = std::stoull(VAddr, nullptr, 16), M = std::stoull(MemSz, nullptr, 16);
        Low = std::min(Low, V & ~uint64_t{0xfff});
        High = std::max(High, V + M);
    }
    return High > Low ? High - Low : 0;
}

} // namespace

TEST(CrashlibElfImage, LookupsByNameEqualDlsymInLibcLibstdcxxAndQtCore)
{
    ExpectLookupsEqualDlsym("libc.so.6", "printf");
    ExpectLookupsEqualDlsym("libstdc++.so.6", "_ZSt9terminatev");
    ExpectLookupsEqualDlsym("libQt6Core.so.6", "qVersion");
}

TEST(CrashlibElfImage, SymbolsByAddressEqualNm)
{
    ExpectSymbolsByAddressEqualNm(SelfExe(), false);
    void* H = dlopen("libstdc++.so.6", RTLD_NOW);
    ASSERT_NE(H, nullptr);
    ExpectSymbolsByAddressEqualNm(PathOf(H), true);
    // A 32-bit file: the other class of every table.
    if (access("/usr/lib32/libc.so.6", R_OK) == 0) {
        ExpectSymbolsByAddressEqualNm("/usr/lib32/libc.so.6", true);
        auto File = TElfFile::Open("/usr/lib32/libc.so.6");
        ASSERT_NE(File, nullptr);
        EXPECT_FALSE(File->Header().Is64);
        EXPECT_EQ(File->Header().Machine, EM_386);
        EXPECT_EQ(File->ImageSize(), ReadelfImageSpan("/usr/lib32/libc.so.6"));
    }
}

TEST(CrashlibElfImage, ImageSizeIsTheSpanOfTheLoadSegments)
{
    void* H = dlopen("libc.so.6", RTLD_NOW);
    ASSERT_NE(H, nullptr);
    const std::string Path = PathOf(H);
    auto File = TElfFile::Open(Path);
    auto Image = TElfLoadedImage::Open(HeaderOf(H, "printf"));
    ASSERT_NE(File, nullptr);
    ASSERT_NE(Image, nullptr);
    const uint64_t Span = ReadelfImageSpan(Path);
    ASSERT_GT(Span, 0u);
    EXPECT_EQ(File->ImageSize(), Span);
    EXPECT_EQ(Image->ImageSize(), Span);
    EXPECT_EQ(Image->Bias(), HeaderOf(H, "printf")); // a shared object starts at 0
}

TEST(CrashlibElfImage, ModuleListEqualsTheLoadedObjectsOfTheMaps)
{
    dlopen("libQt6Core.so.6", RTLD_NOW);
    const auto Modules = GetModuleList();
    struct TLoaded {
        std::string Path;
        uintptr_t Start;
    };
    std::vector<TLoaded> Loaded;
    dl_iterate_phdr(
        [](dl_phdr_info* Info, std::size_t, void* Data) {
            std::string Name = Info->dlpi_name ? Info->dlpi_name : "";
            if (Name.find("linux-vdso") != std::string::npos)
                return 0;
            uintptr_t Start = UINTPTR_MAX;
            for (int I = 0; I < Info->dlpi_phnum; ++I)
                if (Info->dlpi_phdr[I].p_type == PT_LOAD)
                    Start = std::min<uintptr_t>(Start, Info->dlpi_addr +
                                                           (Info->dlpi_phdr[I].p_vaddr & ~0xfffUL));
            static_cast<std::vector<TLoaded>*>(Data)->push_back(
                {Name.empty() ? SelfExe() : RealPath(Name), Start});
            return 0;
        },
        &Loaded);
    ASSERT_GE(Loaded.size(), 4u);
    for (const auto& L : Loaded) {
        SCOPED_TRACE(L.Path);
        uintptr_t Module = 0;
        std::string File;
        ASSERT_TRUE(FindModuleOfAddr(L.Start, Module, File));
        EXPECT_EQ(Module, L.Start);
        EXPECT_EQ(RealPath(File), L.Path);
    }
    // Nothing listed that the loader did not load.
    std::set<std::string> LoadedPaths;
    for (const auto& L : Loaded)
        LoadedPaths.insert(L.Path);
    for (const auto& M : Modules)
        EXPECT_TRUE(LoadedPaths.count(RealPath(M.FileName))) << M.FileName;
    // Every module in address order, inside the maps' file mappings.
    for (std::size_t I = 1; I < Modules.size(); ++I)
        EXPECT_LE(Modules[I - 1].End, Modules[I].Base);

    int OnStack = 0;
    uintptr_t Module = 1;
    std::string File = "x";
    EXPECT_FALSE(FindModuleOfAddr(reinterpret_cast<uintptr_t>(&OnStack), Module, File));
    EXPECT_EQ(Module, 0u);
    EXPECT_TRUE(File.empty());
}

TEST(CrashlibElfImage, VersionNoteIsFoundInTheFileAndInMemory)
{
    // The oracle: readelf's dump of the note's descriptor bytes.
    std::istringstream In(RunCommand("readelf -n " + SelfExe()));
    std::string Line, Hex;
    bool InOurs = false;
    while (std::getline(In, Line)) {
        if (Line.find("Tolvex") != std::string::npos)
            InOurs = true;
        else if (InOurs && Line.find("description data:") != std::string::npos)
            Hex = Line.substr(Line.find(':') + 1);
        else if (InOurs && !Hex.empty() && Line.find("  ") == 0 &&
                 Line.find("Owner") == std::string::npos && Line.find(':') == std::string::npos)
            Hex += Line;
        else if (!Hex.empty())
            break;
    }
    std::string Expected;
    std::istringstream H(Hex);
    std::string Byte;
    while (H >> Byte)
        Expected += static_cast<char>(std::stoi(Byte, nullptr, 16));
    ASSERT_NE(Expected.find("FileVersion="), std::string::npos) << Hex;

    auto File = TElfFile::Open(SelfExe());
    ASSERT_NE(File, nullptr);
    EXPECT_EQ(File->FindNote("Tolvex", 1), Expected);
    EXPECT_EQ(File->FindNote("Tolvex", 2), std::nullopt);
    EXPECT_EQ(File->FindNote("Tolve", 1), std::nullopt);
    uintptr_t Module = 0;
    std::string Name;
    ASSERT_TRUE(FindModuleOfAddr(reinterpret_cast<uintptr_t>(&SelfExe), Module, Name));
    auto Image = TElfLoadedImage::Open(Module);
    ASSERT_NE(Image, nullptr);
    EXPECT_EQ(Image->FindNote("Tolvex", 1), Expected);
}

TEST(CrashlibElfImage, MalformedFilesAreRefusedOrReadWithinBounds)
{
    const std::string Good = ReadFile(SelfExe());
    ASSERT_GT(Good.size(), 4096u);
    // Cut short anywhere: never a read outside the bytes (the sanitizer
    // builds would see one); a cut inside the header refuses the file.
    for (std::size_t Len = 0; Len < 200; Len += 7) {
        auto F = TElfFile::Open(std::make_unique<TElfBytes>(std::string_view(Good).substr(0, Len)));
        EXPECT_EQ(F, nullptr) << Len;
    }
    for (std::size_t Len = 4096; Len < Good.size(); Len += Good.size() / 13) {
        auto Copy = std::make_unique<std::string>(Good.substr(0, Len));
        auto F = TElfFile::Open(std::make_unique<TElfBytes>(*Copy));
        if (F) {
            (void)F->Symbols(false);
            (void)F->FindNote("Tolvex", 1);
        }
    }
    auto Patched = [&](std::size_t At, const void* Bytes, std::size_t N) {
        std::string S = Good;
        std::memcpy(S.data() + At, Bytes, N);
        return S;
    };
    const unsigned char Big = ELFDATA2MSB, Class3 = 3;
    const uint16_t BadPhEnt = 12, BadStrNdx = 0xfff0;
    const uint64_t FarAway = uint64_t{1} << 40;
    std::string BigEndian = Patched(EI_DATA, &Big, 1);
    std::string NoClass = Patched(EI_CLASS, &Class3, 1);
    std::string PhEnt = Patched(offsetof(Elf64_Ehdr, e_phentsize), &BadPhEnt, 2);
    std::string ShFar = Patched(offsetof(Elf64_Ehdr, e_shoff), &FarAway, 8);
    std::string StrNdx = Patched(offsetof(Elf64_Ehdr, e_shstrndx), &BadStrNdx, 2);
    EXPECT_EQ(TElfFile::Open(std::make_unique<TElfBytes>(BigEndian)), nullptr);
    EXPECT_EQ(TElfFile::Open(std::make_unique<TElfBytes>(NoClass)), nullptr);
    EXPECT_EQ(TElfFile::Open(std::make_unique<TElfBytes>(PhEnt)), nullptr);
    EXPECT_EQ(TElfFile::Open(std::make_unique<TElfBytes>(ShFar)), nullptr);
    auto NoNames = TElfFile::Open(std::make_unique<TElfBytes>(StrNdx));
    ASSERT_NE(NoNames, nullptr); // readable, but its sections have no names
    EXPECT_EQ(NoNames->FindSection(".text"), nullptr);
    EXPECT_FALSE(NoNames->Sections().empty());
    EXPECT_EQ(TElfFile::Open("/nonexistent/file"), nullptr);
    EXPECT_EQ(TElfFile::Open("/proc/self"), nullptr);
}

TEST(CrashlibElfImage, NoteBlocksWithBadSizesAreRefused)
{
    auto Note = [](uint32_t NameSize, uint32_t DescSize, uint32_t Type, std::string Body) {
        std::string S(12, '\0');
        std::memcpy(S.data(), &NameSize, 4);
        std::memcpy(S.data() + 4, &DescSize, 4);
        std::memcpy(S.data() + 8, &Type, 4);
        return S + Body;
    };
    const std::string A = Note(4, 3, 7, std::string("abc\0xyz\0", 8));
    const std::string B = Note(7, 5, 1, std::string("Tolvex\0\0hello\0\0\0", 16));
    EXPECT_EQ(FindNoteInBlock(A + B, "Tolvex", 1), "hello");
    EXPECT_EQ(FindNoteInBlock(A + B, "abc", 7), "xyz");
    EXPECT_EQ(FindNoteInBlock(A, "Tolvex", 1), std::nullopt);
    // A descriptor that claims more bytes than the block has.
    EXPECT_EQ(FindNoteInBlock(Note(7, 0xfffffff0u, 1, std::string("Tolvex\0\0", 8)), "Tolvex", 1),
              std::nullopt);
    EXPECT_EQ(FindNoteInBlock(Note(0xffffffffu, 0, 1, ""), "", 1), std::nullopt);
    EXPECT_EQ(FindNoteInBlock(B.substr(0, 20), "Tolvex", 1), std::nullopt);
}
