#include "crashlib/kelDwarf.h"

#include "crashlib/kelElfImage.h"
#include "crashlib/kelMapFile.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelZip.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dwarf.h>
#include <elf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

std::mutex RootLock;
std::string& Root()
{
    static std::string* const R = new std::string("/usr/lib/debug");
    return *R;
}

std::string FolderOf(const std::string& Path)
{
    const auto Slash = Path.rfind('/');
    return Slash == std::string::npos ? std::string(".") : Path.substr(0, Slash);
}

std::string ToHex(const unsigned char* Bytes, std::size_t N)
{
    static const char Digits[] = "0123456789abcdef";
    std::string Out;
    for (std::size_t I = 0; I < N; ++I) {
        Out.push_back(Digits[Bytes[I] >> 4]);
        Out.push_back(Digits[Bytes[I] & 15]);
    }
    return Out;
}

std::string BuildIdOf(const std::string& Path)
{
    auto File = TElfFile::Open(Path);
    if (!File)
        return {};
    auto Note = File->FindNote("GNU", 3); // NT_GNU_BUILD_ID
    if (!Note)
        return {};
    return ToHex(reinterpret_cast<const unsigned char*>(Note->data()), Note->size());
}

bool FileCrcIs(const std::string& Path, uint32_t Crc)
{
    const int Fd = OpenRegularFile(Path.c_str());
    if (Fd < 0)
        return false;
    uint32_t Running = 0xFFFFFFFFu;
    std::vector<char> Buffer(1 << 16);
    ssize_t N;
    while ((N = read(Fd, Buffer.data(), Buffer.size())) > 0)
        Running = UpdateCrc32(Running, Buffer.data(), static_cast<std::size_t>(N));
    close(Fd);
    return N == 0 && ~Running == Crc;
}

// A regular file (stat does not wait on a named pipe, as opening one would).
bool IsFile(const std::string& Path)
{
    struct stat St {};
    return stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

// An open file as a source of ELF bytes: what is checked is what is read.
class TDescriptorSource : public TElfSource {
public:
    explicit TDescriptorSource(int AFd) : Fd(AFd)
    {
        struct stat St {};
        if (fstat(Fd, &St) == 0)
            Size = static_cast<uint64_t>(St.st_size);
    }
    bool Read(uint64_t Offset, void* Out, std::size_t Count) const override
    {
        return Offset <= Size && Count <= Size - Offset && ReadFileAt(Fd, Offset, Out, Count);
    }
    uint64_t Limit() const override { return Size; }

private:
    int Fd;
    uint64_t Size = 0;
};

std::string BuildIdOfDescriptor(int Fd)
{
    auto File = TElfFile::Open(std::make_unique<TDescriptorSource>(Fd));
    if (!File)
        return {};
    auto Note = File->FindNote("GNU", 3); // NT_GNU_BUILD_ID
    return Note ? *Note : std::string();
}

} // namespace

std::string GetDebugFileRoot()
{
    std::lock_guard<std::mutex> Guard(RootLock);
    return Root();
}

void SetDebugFileRoot(std::string NewRoot)
{
    std::lock_guard<std::mutex> Guard(RootLock);
    Root() = std::move(NewRoot);
}

std::string FindSeparateDebugFile(const std::string& ModuleFile, std::string_view BuildId,
                                  std::string_view DebugLink, uint32_t DebugLinkCrc)
{
    const std::string DebugRoot = GetDebugFileRoot();
    if (BuildId.size() > 2) {
        const std::string Path = DebugRoot + "/.build-id/" + std::string(BuildId.substr(0, 2)) +
                                 "/" + std::string(BuildId.substr(2)) + ".debug";
        if (IsFile(Path) && BuildIdOf(Path) == BuildId)
            return Path;
    }
    if (DebugLink.empty() || DebugLink.find('/') != std::string_view::npos)
        return {};
    const std::string Folder = FolderOf(ModuleFile);
    const std::string Link(DebugLink);
    std::vector<std::string> Paths{Folder + "/" + Link, Folder + "/.debug/" + Link};
    // The debug root mirrors absolute folders only: a module named by a
    // relative path has no place under it.
    if (Folder.starts_with('/'))
        Paths.push_back(DebugRoot + Folder + "/" + Link);
    for (const std::string& Path : Paths) {
        // The module itself may carry the debuglink's name.
        if (Path == ModuleFile || !IsFile(Path))
            continue;
        if (!BuildId.empty() ? BuildIdOf(Path) == BuildId : FileCrcIs(Path, DebugLinkCrc))
            return Path;
    }
    return {};
}

int OpenDebugAltFile(const std::string& NamingFile, const std::string& AltPath)
{
    auto Naming = TElfFile::Open(NamingFile);
    const TElfSection* Link = Naming ? Naming->FindSection(".gnu_debugaltlink") : nullptr;
    auto Bytes = Link ? Naming->ReadSection(*Link, 1 << 16) : std::nullopt;
    // The section holds the file's name, a zero byte and its build-id.
    const std::size_t Zero = Bytes ? Bytes->find('\0') : std::string::npos;
    if (Zero == std::string::npos || Zero + 1 >= Bytes->size())
        return -1;
    const std::string Wanted = Bytes->substr(Zero + 1);
    const int Fd = OpenRegularFile(AltPath.c_str());
    if (Fd < 0)
        return -1;
    if (BuildIdOfDescriptor(Fd) != Wanted) {
        close(Fd);
        return -1;
    }
    return Fd;
}

namespace {

int NoElf(Dwfl_Module*, void**, const char*, Dwarf_Addr, char**, Elf**)
{
    return -1;
}

int FindDebugInfo(Dwfl_Module* Mod, void**, const char* ModName, Dwarf_Addr, const char* FileName,
                  const char* DebugLink, GElf_Word Crc, char** DebugFileName)
{
    const std::string Module = FileName != nullptr ? FileName : ModName != nullptr ? ModName : "";
    std::string Path;
    if (DebugLink != nullptr && DebugLink[0] == '/' && Crc == 0) {
        // The shared file of a dwz-compressed debug file, named by the file
        // being read (Module): taken only when its build-id is the one that
        // file records.
        const int Fd = OpenDebugAltFile(Module, DebugLink);
        if (Fd >= 0)
            *DebugFileName = strdup(DebugLink);
        else
            errno = ENOENT;
        return Fd;
    } else {
        const unsigned char* Bits = nullptr;
        GElf_Addr Vaddr;
        const int N = dwfl_module_build_id(Mod, &Bits, &Vaddr);
        const std::string Id = N > 0 ? ToHex(Bits, static_cast<std::size_t>(N)) : std::string();
        Path = FindSeparateDebugFile(Module, Id, DebugLink != nullptr ? DebugLink : "", Crc);
    }
    if (Path.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int Fd = OpenRegularFile(Path.c_str());
    if (Fd >= 0)
        *DebugFileName = strdup(Path.c_str());
    return Fd;
}

char* NoDebugInfoPath = nullptr;

const Dwfl_Callbacks Callbacks = {
    NoElf,
    FindDebugInfo,
    dwfl_offline_section_address,
    &NoDebugInfoPath,
};

struct TDwflCloser {
    void operator()(Dwfl* D) const { dwfl_end(D); }
};

std::vector<TElfSymbol> FunctionSymbols(const TElfFile& File)
{
    auto All = File.Symbols(false);
    if (All.empty())
        All = File.Symbols(true);
    std::vector<TElfSymbol> Out;
    for (auto& S : All)
        if (S.Type == STT_FUNC || S.Type == STT_GNU_IFUNC)
            Out.push_back(std::move(S));
    return Out;
}

struct TRow {
    uintptr_t Address;
    uint32_t Line;
    uint32_t File;
    bool End;
    uint32_t Order;
};

struct TScope {
    uintptr_t Low;
    uintptr_t High;
    uint32_t Depth;
    uint32_t Name;
};

class TDwarfReader {
public:
    TDwarfReader(TMapFile& AMap, uintptr_t ABias, const TElfSymbolMap& ASymbols)
        : Map(AMap), Bias(ABias), Symbols(ASymbols)
    {
    }

    std::vector<TRow> Rows;
    std::vector<TScope> Scopes;
    std::vector<std::u16string> Files;
    std::vector<std::u16string> Names;

    // The sized function symbols, as the outermost routines: they name code
    // that no DWARF routine describes.
    // Only those starting in [From, To) (file addresses) when given.
    void AddSymbolScopes(const std::vector<TElfSymbol>& Functions, uint64_t From = 0,
                         uint64_t To = UINT64_MAX)
    {
        for (const auto& S : Functions) {
            const uintptr_t L = static_cast<uintptr_t>(S.Value) + Bias;
            if (S.Size == 0 || S.Shndx == SHN_UNDEF || S.Name.empty() || L < Map.CodeBase ||
                L >= Map.CodeEnd || S.Value < From || S.Value >= To)
                continue;
            auto [It, New] =
                NameIds.try_emplace(S.Name.c_str(), static_cast<uint32_t>(Names.size()));
            if (New)
                Names.push_back(Readable(S.Name.c_str()));
            Scopes.push_back({L, L + static_cast<uintptr_t>(S.Size), 0, It->second});
        }
    }

    void ReadUnit(Dwarf_Die* Cu, Dwarf_Addr CuBias)
    {
        Dwarf_Lines* Lines = nullptr;
        size_t N = 0;
        if (dwarf_getsrclines(Cu, &Lines, &N) == 0) {
            for (size_t I = 0; I < N; ++I) {
                Dwarf_Line* L = dwarf_onesrcline(Lines, I);
                Dwarf_Addr A;
                int LineNo = 0;
                bool End = false;
                if (L == nullptr || dwarf_lineaddr(L, &A) != 0)
                    continue;
                dwarf_lineno(L, &LineNo);
                dwarf_lineendsequence(L, &End);
                const char* Src = dwarf_linesrc(L, nullptr, nullptr);
                const uintptr_t At = static_cast<uintptr_t>(A + CuBias) + Bias;
                // Code the linker discarded keeps addresses near 0.
                if (At < Map.CodeBase || At > Map.CodeEnd)
                    continue;
                Rows.push_back({At, static_cast<uint32_t>(LineNo), FileIndex(Src), End,
                                static_cast<uint32_t>(Rows.size())});
            }
        }
        Dwarf_Die Child;
        if (dwarf_child(Cu, &Child) == 0)
            Walk(&Child, 0, CuBias);
    }

private:
    TMapFile& Map;
    uintptr_t Bias;
    const TElfSymbolMap& Symbols;
    std::unordered_map<const char*, uint32_t> FileIds;
    std::unordered_map<const char*, uint32_t> NameIds;
    std::unordered_map<std::u16string, uint32_t> OwnNameIds;

    uint32_t FileIndex(const char* Src)
    {
        if (Src == nullptr)
            Src = "??";
        auto [It, New] = FileIds.try_emplace(Src, static_cast<uint32_t>(Files.size()));
        if (New) {
            // Several units may name one file through different strings.
            std::u16string W = Utf8ToWide(Src);
            auto Same = std::find(Files.begin(), Files.end(), W);
            if (Same != Files.end())
                It->second = static_cast<uint32_t>(Same - Files.begin());
            else
                Files.push_back(std::move(W));
        }
        return It->second;
    }

    // The entry's own name: its linkage name made readable, else its plain
    // name, each also from its abstract origin or declaration (an inlined
    // routine is named after itself, not after the routine it was inlined
    // into, as its lines are). A routine of internal linkage has no linkage
    // name in DWARF: when its own symbol starts its range (the same routine
    // by name, not a neighbour's part), the symbol's readable name tells its
    // class and parameters; the compiler's clone marks (".part.0", ".cold")
    // are left out, as they name no routine of the source.
    uint32_t NameIndex(Dwarf_Die* Die, uintptr_t Low, bool Inlined)
    {
        Dwarf_Attribute Attr;
        const char* Raw = nullptr;
        if (dwarf_attr_integrate(Die, DW_AT_linkage_name, &Attr) != nullptr ||
            dwarf_attr_integrate(Die, DW_AT_MIPS_linkage_name, &Attr) != nullptr)
            Raw = dwarf_formstring(&Attr);
        const char* Plain = nullptr;
        if (Raw == nullptr && dwarf_attr_integrate(Die, DW_AT_name, &Attr) != nullptr)
            Plain = dwarf_formstring(&Attr);
        if (Raw == nullptr && !Inlined) {
            const TElfSymbol* Sym = Symbols.Find(Low - Bias);
            if (Sym != nullptr && Sym->Value == Low - Bias && !Sym->Name.empty()) {
                std::u16string Own = WithoutCloneMarks(Readable(Sym->Name.c_str()));
                if (Plain == nullptr || BaseName(Own) == Utf8ToWide(Plain)) {
                    auto [It, New] =
                        OwnNameIds.try_emplace(Own, static_cast<uint32_t>(Names.size()));
                    if (New)
                        Names.push_back(std::move(Own));
                    return It->second;
                }
            }
        }
        if (Raw == nullptr)
            Raw = Plain;
        if (Raw == nullptr)
            Raw = "";
        auto [It, New] = NameIds.try_emplace(Raw, static_cast<uint32_t>(Names.size()));
        if (New)
            Names.push_back(Readable(Raw));
        return It->second;
    }

    // "f.part.0" -> "f", "g(int) [clone .cold]" -> "g(int)".
    static std::u16string WithoutCloneMarks(std::u16string Name)
    {
        if (const auto Clone = Name.find(u" [clone "); Clone != std::u16string::npos)
            Name.resize(Clone);
        if (Name.find(u'(') == std::u16string::npos)
            if (const auto Dot = Name.find(u'.'); Dot != std::u16string::npos && Dot > 0)
                Name.resize(Dot);
        return Name;
    }

    // The routine's own name in a readable one: "ns::C::f(int) const" -> "f".
    static std::u16string BaseName(std::u16string Name)
    {
        static constexpr std::u16string_view Anonymous = u"(anonymous namespace)";
        for (auto At = Name.find(Anonymous); At != std::u16string::npos; At = Name.find(Anonymous))
            Name.replace(At, Anonymous.size(), u"{}");
        std::u16string B = Name.substr(0, Name.find(u'('));
        // The last component outside template arguments.
        int Depth = 0;
        std::size_t Start = 0;
        for (std::size_t I = 0; I < B.size(); ++I) {
            if (B[I] == u'<')
                ++Depth;
            else if (B[I] == u'>')
                --Depth;
            else if (Depth == 0 && B[I] == u':' && I + 1 < B.size() && B[I + 1] == u':')
                Start = I + 2;
        }
        return B.substr(Start);
    }

    static std::u16string Readable(const char* Raw)
    {
        std::string Text = Raw;
        int Status = 0;
        std::unique_ptr<char, decltype(&std::free)> D(
            abi::__cxa_demangle(Raw, nullptr, nullptr, &Status), &std::free);
        if (Status == 0 && D)
            Text = D.get();
        return Text.empty() ? u"??" : Utf8ToWide(Text);
    }

    // Each address is named by the innermost routine whose code holds it,
    // inlined ones included, as addr2line names it.
    void Walk(Dwarf_Die* First, uint32_t Depth, Dwarf_Addr CuBias)
    {
        Dwarf_Die Die = *First;
        do {
            const int Tag = dwarf_tag(&Die);
            uint32_t Inner = Depth;
            if (Tag == DW_TAG_subprogram || Tag == DW_TAG_inlined_subroutine) {
                Dwarf_Addr Base, Low, High;
                ptrdiff_t Offset = 0;
                while ((Offset = dwarf_ranges(&Die, Offset, &Base, &Low, &High)) > 0) {
                    const uintptr_t L = static_cast<uintptr_t>(Low + CuBias) + Bias;
                    const uintptr_t H = static_cast<uintptr_t>(High + CuBias) + Bias;
                    // Code the linker discarded keeps addresses near 0.
                    if (H <= L || L < Map.CodeBase || L >= Map.CodeEnd)
                        continue;
                    Scopes.push_back(
                        {L, H, Depth + 1, NameIndex(&Die, L, Tag == DW_TAG_inlined_subroutine)});
                }
                Inner = Depth + 1;
            }
            const bool Descend = Tag == DW_TAG_subprogram || Tag == DW_TAG_inlined_subroutine ||
                                 Tag == DW_TAG_lexical_block || Tag == DW_TAG_namespace ||
                                 Tag == DW_TAG_try_block || Tag == DW_TAG_catch_block ||
                                 Tag == DW_TAG_module || Tag == DW_TAG_structure_type ||
                                 Tag == DW_TAG_class_type || Tag == DW_TAG_union_type;
            Dwarf_Die Child;
            if (Descend && Inner < 200 && dwarf_haschildren(&Die) && dwarf_child(&Die, &Child) == 0)
                Walk(&Child, Inner, CuBias);
        } while (dwarf_siblingof(&Die, &Die) == 0);
    }
};

// Lines and source-file segments from the rows of all line programs.
void AddLines(TMapFile& Map, std::vector<TRow>& Rows, const std::vector<std::u16string>& Files)
{
    // Of the rows at one address the one libdw gives last answers, as it
    // answers a lookup, but a row of code wins over an end of sequence (which
    // answers none): one unit's sequence may end where another unit's code
    // starts, and the units come in any order. Otherwise libdw's order is
    // kept.
    std::stable_sort(Rows.begin(), Rows.end(), [](const TRow& A, const TRow& B) {
        if (A.Address != B.Address)
            return A.Address < B.Address;
        return A.End && !B.End;
    });
    std::size_t Out = 0;
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        if (I + 1 < Rows.size() && Rows[I + 1].Address == Rows[I].Address)
            continue;
        Rows[Out++] = Rows[I];
    }
    Rows.resize(Out);
    Map.Lines.reserve(Map.Lines.size() + Rows.size());
    for (std::size_t I = 0; I + 1 < Rows.size(); ++I) {
        const TRow& R = Rows[I];
        if (R.End)
            continue;
        Map.AddMapLine(R.Line, R.Address);
        const uintptr_t End = Rows[I + 1].Address;
        if (!Map.Segments.empty()) {
            TMfSegment& Last = Map.Segments.back();
            if (Last.Class == mcCode && Last.Start + Last.Length == R.Address &&
                Last.UnitName == Files[R.File]) {
                Last.Length = End - Last.Start;
                continue;
            }
        }
        Map.Segments.push_back({1, mcCode, R.Address, End - R.Address, Files[R.File], 0});
    }
}

// One public per change of the innermost routine, and a nameless one where
// the code of every routine has ended.
void AddRoutines(TMapFile& Map, std::vector<TScope>& Scopes,
                 const std::vector<std::u16string>& Names)
{
    std::sort(Scopes.begin(), Scopes.end(), [](const TScope& A, const TScope& B) {
        if (A.Low != B.Low)
            return A.Low < B.Low;
        if (A.High != B.High)
            return A.High > B.High; // the outer one first
        return A.Depth < B.Depth;
    });
    std::vector<const TScope*> Open;
    // Each public keeps where its routine (the range of it that holds the
    // public) begins: code after an inlined routine is its outer routine's,
    // measured from that routine's start.
    auto Emit = [&Map](uintptr_t Address, const std::u16string& Name, uintptr_t Start) {
        const uintptr_t Begin = Start == Address ? 0 : Start;
        if (!Map.Publics.empty() && Map.Publics.back().Address == Address) {
            Map.Publics.back().Name = Name;
            Map.Publics.back().Start = Begin;
        } else
            Map.Publics.push_back({1, mcCode, Name, Address, Begin});
    };
    static const std::u16string NoName;
    auto CloseUpTo = [&](uintptr_t Address) {
        while (!Open.empty() && Open.back()->High <= Address) {
            const uintptr_t End = Open.back()->High;
            while (!Open.empty() && Open.back()->High <= End)
                Open.pop_back();
            if (Open.empty())
                Emit(End, NoName, End);
            else
                Emit(End, Names[Open.back()->Name], Open.back()->Low);
        }
    };
    for (const TScope& S : Scopes) {
        CloseUpTo(S.Low);
        Open.push_back(&S);
        Emit(S.Low, Names[S.Name], S.Low);
    }
    CloseUpTo(UINTPTR_MAX);
}

} // namespace

bool LoadDwarfInfo(TMapFile& Map, const std::string& FileName, const TElfFile& File)
{
    const std::vector<TElfSymbol> Functions = FunctionSymbols(File);
    const TElfSymbolMap Symbols(Functions);
    TDwarfReader Reader(Map, Map.Bias, Symbols);
    {
        // In crash-time mode a lock a crashed thread holds is not waited
        // for: the map is then read from its other sources, and not kept.
        TLibraryLockGuard Guard(TLibraryLock::DebugInfo);
        if (!Guard.Locked()) {
            Map.Partial = true;
            return false;
        }
        std::unique_ptr<Dwfl, TDwflCloser> D(dwfl_begin(&Callbacks));
        if (!D)
            return false;
        // Reported at 0, so that libdw gives the file's own addresses. The
        // file is opened here, never by libdw, so that it cannot wait under
        // the lock.
        const int Fd = OpenRegularFile(FileName.c_str());
        if (Fd < 0)
            return false;
        Dwfl_Module* Mod = dwfl_report_elf(D.get(), "module", FileName.c_str(), Fd, 0, false);
        if (Mod == nullptr)
            close(Fd);
        dwfl_report_end(D.get(), nullptr, nullptr);
        if (Mod == nullptr)
            return false;
        Dwarf_Addr ModBias = 0;
        if (dwfl_module_getdwarf(Mod, &ModBias) == nullptr)
            return false;
        Dwarf_Die* Cu = nullptr;
        Dwarf_Addr CuBias = 0;
        while ((Cu = dwfl_module_nextcu(Mod, Cu, &CuBias)) != nullptr)
            Reader.ReadUnit(Cu, CuBias);
    }
    if (Reader.Rows.empty())
        return false;
    Reader.AddSymbolScopes(Functions);
    AddLines(Map, Reader.Rows, Reader.Files);
    AddRoutines(Map, Reader.Scopes, Reader.Names);
    if (Map.Publics.empty()) {
        const std::size_t Segments = Map.Segments.size();
        Map.LoadElfSymbols(File);
        // Keep the source-file segments: they name the lines' files.
        Map.Segments.resize(Segments);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reading unit by unit

struct TLazyDebugInfo::TImpl {
    std::unique_ptr<Dwfl, TDwflCloser> Session;
    Dwfl_Module* Mod = nullptr;
    std::vector<TElfSymbol> Functions;
    std::unique_ptr<TElfSymbolMap> Symbols;
    // The address ranges (file addresses) of the units read, and the
    // addresses asked for that no unit holds.
    std::vector<std::pair<uint64_t, uint64_t>> Read;
    std::unordered_map<uint64_t, bool> NoUnit;
    std::vector<Dwarf_Off> Units;
};

TLazyDebugInfo::TLazyDebugInfo() : Impl(std::make_unique<TImpl>()) {}
TLazyDebugInfo::~TLazyDebugInfo()
{
    // libdw's session is ended under the lock, as every use of libdw is.
    std::lock_guard<std::recursive_timed_mutex> Guard(LibraryLock(TLibraryLock::DebugInfo));
    Impl.reset();
}

std::shared_ptr<TLazyDebugInfo> TLazyDebugInfo::Open(const std::string& FileName,
                                                     const TElfFile& File)
{
    auto Lazy = std::shared_ptr<TLazyDebugInfo>(new TLazyDebugInfo);
    TImpl& I = *Lazy->Impl;
    TLibraryLockGuard Guard(TLibraryLock::DebugInfo);
    if (!Guard.Locked())
        return nullptr;
    I.Session.reset(dwfl_begin(&Callbacks));
    const int Fd = I.Session ? OpenRegularFile(FileName.c_str()) : -1;
    if (Fd < 0)
        return nullptr;
    I.Mod = dwfl_report_elf(I.Session.get(), "module", FileName.c_str(), Fd, 0, false);
    if (I.Mod == nullptr)
        close(Fd);
    dwfl_report_end(I.Session.get(), nullptr, nullptr);
    Dwarf_Addr ModBias = 0;
    if (I.Mod == nullptr || dwfl_module_getdwarf(I.Mod, &ModBias) == nullptr)
        return nullptr;
    I.Functions = FunctionSymbols(File);
    I.Symbols = std::make_unique<TElfSymbolMap>(I.Functions);
    return Lazy;
}

std::shared_lock<std::shared_timed_mutex> TLazyDebugInfo::Read(TMapFile& Map, uintptr_t Address)
{
    const uint64_t At = Address - Map.Bias;
    auto Known = [&] {
        for (const auto& [Low, High] : Impl->Read)
            if (At >= Low && At < High)
                return true;
        return Impl->NoUnit.count(At) != 0;
    };
    const bool Bounded = CrashTimeMode();
    auto Shared = [&] {
        return Bounded ? std::shared_lock<std::shared_timed_mutex>(TablesLock, CrashLockWait)
                       : std::shared_lock<std::shared_timed_mutex>(TablesLock);
    };
    {
        auto Reading = Shared();
        if (!Reading.owns_lock() || Known())
            return Reading;
    }
    {
        auto Writing = Bounded
                           ? std::unique_lock<std::shared_timed_mutex>(TablesLock, CrashLockWait)
                           : std::unique_lock<std::shared_timed_mutex>(TablesLock);
        if (Writing.owns_lock() && !Known())
            ReadUnitAt(Map, At);
    }
    return Shared();
}

void TLazyDebugInfo::ReadUnitAt(TMapFile& Map, uint64_t At)
{
    TImpl& I = *Impl;
    // In crash-time mode a lock a crashed thread holds is not waited for:
    // the tables answer as they are.
    TLibraryLockGuard Guard(TLibraryLock::DebugInfo);
    if (!Guard.Locked())
        return;
    Dwarf_Addr CuBias = 0;
    Dwarf_Die* Cu = dwfl_module_addrdie(I.Mod, At, &CuBias);
    if (Cu == nullptr) {
        if (I.NoUnit.size() < 65536)
            I.NoUnit.emplace(At, true);
        return;
    }
    std::vector<std::pair<uint64_t, uint64_t>> Ranges;
    Dwarf_Addr Base, Low, High;
    for (ptrdiff_t Offset = 0; (Offset = dwarf_ranges(Cu, Offset, &Base, &Low, &High)) > 0;)
        if (High > Low)
            Ranges.emplace_back(Low + CuBias, High + CuBias);
    const Dwarf_Off Unit = dwarf_dieoffset(Cu);
    if (std::find(I.Units.begin(), I.Units.end(), Unit) != I.Units.end() || Ranges.empty()) {
        I.NoUnit.emplace(At, true); // read already: the address lies in no range of it
        return;
    }
    I.Units.push_back(Unit);
    TMapFile Part;
    Part.Bias = Map.Bias;
    Part.CodeBase = Map.CodeBase;
    Part.CodeEnd = Map.CodeEnd;
    TDwarfReader Reader(Part, Map.Bias, *I.Symbols);
    Reader.ReadUnit(Cu, CuBias);
    for (const auto& [L, H] : Ranges)
        Reader.AddSymbolScopes(I.Functions, L, H);
    AddLines(Part, Reader.Rows, Reader.Files);
    AddRoutines(Part, Reader.Scopes, Reader.Names);
    Part.SortTables();
    // What the module's symbols said inside the unit's ranges gives way to
    // what its DWARF says; the tables stay sorted.
    auto Inside = [&](uintptr_t A) {
        for (const auto& [L, H] : Ranges)
            if (A - Map.Bias >= L && A - Map.Bias < H)
                return true;
        return false;
    };
    std::erase_if(Map.Publics, [&](const TMfPublic& P) { return Inside(P.Address); });
    auto Merge = [](auto& To, auto& From, auto Less) {
        const auto Middle = static_cast<std::ptrdiff_t>(To.size());
        To.insert(To.end(), std::make_move_iterator(From.begin()),
                  std::make_move_iterator(From.end()));
        std::inplace_merge(To.begin(), To.begin() + Middle, To.end(), Less);
    };
    Merge(Map.Publics, Part.Publics,
          [](const TMfPublic& A, const TMfPublic& B) { return A.Address < B.Address; });
    Merge(Map.Lines, Part.Lines,
          [](const TMapFileLine& A, const TMapFileLine& B) { return A.Address < B.Address; });
    Merge(Map.Segments, Part.Segments, [](const TMfSegment& A, const TMfSegment& B) {
        return A.Class != B.Class ? A.Class < B.Class : A.Start < B.Start;
    });
    I.Read.insert(I.Read.end(), Ranges.begin(), Ranges.end());
}
