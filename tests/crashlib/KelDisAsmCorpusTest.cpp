// The decoder on real code, with Zydis and capstone as oracles: every
// instruction of the /usr/lib32 libraries' code sections and a generated
// corpus of opcode x ModR/M x SIB x prefix combinations in 32-bit mode; the
// routines of libc, libstdc++, Qt Core and our own program in x86-64 mode.
#include "crashlib/kelDisAsm.h"

#include <Zydis/Zydis.h>
#include <capstone/capstone.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& Path)
{
    std::ifstream F(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(F), {}};
}

// A piece of code: its bytes in the file and its address.
struct TCodeRange {
    size_t Offset;
    size_t Size;
    uint64_t Address;
};

// The executable sections of an ELF file.
template <typename Ehdr, typename Shdr>
std::vector<TCodeRange> CodeSections(const std::vector<uint8_t>& F)
{
    std::vector<TCodeRange> R;
    if (F.size() < sizeof(Ehdr))
        return R;
    Ehdr E;
    std::memcpy(&E, F.data(), sizeof E);
    for (unsigned I = 0; I < E.e_shnum; I++) {
        Shdr S;
        size_t At = E.e_shoff + size_t(I) * E.e_shentsize;
        if (At + sizeof S > F.size())
            break;
        std::memcpy(&S, F.data() + At, sizeof S);
        if ((S.sh_flags & SHF_EXECINSTR) && S.sh_type == SHT_PROGBITS &&
            S.sh_offset + S.sh_size <= F.size())
            R.push_back(
                {static_cast<size_t>(S.sh_offset), static_cast<size_t>(S.sh_size), S.sh_addr});
    }
    return R;
}

bool Is64(const std::vector<uint8_t>& F)
{
    return F.size() > EI_CLASS && F[EI_CLASS] == ELFCLASS64;
}

std::vector<TCodeRange> CodeSectionsOf(const std::vector<uint8_t>& F)
{
    return Is64(F) ? CodeSections<Elf64_Ehdr, Elf64_Shdr>(F)
                   : CodeSections<Elf32_Ehdr, Elf32_Shdr>(F);
}

// The function symbols of a file with their sizes, as nm lists them (the
// dynamic ones when the file has no symbol table), placed in its code sections.
std::vector<TCodeRange> FunctionRanges(const fs::path& Path, const std::vector<uint8_t>& F)
{
    auto Sections = CodeSectionsOf(F);
    std::set<std::pair<uint64_t, uint64_t>> Symbols;
    for (const char* Options : {"--defined-only -S", "-D --defined-only -S"}) {
        std::string Command = std::string("nm ") + Options + " '" + Path.string() + "' 2>/dev/null";
        std::unique_ptr<FILE, int (*)(FILE*)> P(popen(Command.c_str(), "r"), pclose);
        char Line[4096];
        while (P && fgets(Line, sizeof Line, P.get())) {
            unsigned long long A, S;
            char Type;
            if (sscanf(Line, "%llx %llx %c", &A, &S, &Type) == 3 && S > 0 &&
                std::strchr("TtWwi", Type))
                Symbols.insert({A, S});
        }
        if (!Symbols.empty())
            break;
    }
    std::vector<TCodeRange> R;
    for (auto [A, S] : Symbols)
        for (auto& Sec : Sections)
            if (A >= Sec.Address && A + S <= Sec.Address + Sec.Size)
                R.push_back(
                    {Sec.Offset + static_cast<size_t>(A - Sec.Address), static_cast<size_t>(S), A});
    return R;
}

// Pointers of indirect branches are memory facts, not instruction facts: the
// oracle comparison reads zeros for every one of them.
class TZeroMemory : public TCodeReader {
public:
    bool TryRead(uint64_t, void* Dest, size_t Count) const override
    {
        std::memset(Dest, 0, Count);
        return true;
    }
};

struct TZydis {
    ZydisDecoder D;
    explicit TZydis(bool X64)
    {
        ZydisDecoderInit(&D, X64 ? ZYDIS_MACHINE_MODE_LONG_64 : ZYDIS_MACHINE_MODE_LEGACY_32,
                         X64 ? ZYDIS_STACK_WIDTH_64 : ZYDIS_STACK_WIDTH_32);
    }
    // Length, 0 when invalid.
    int Decode(const uint8_t* B, size_t N, ZydisDecodedInstruction& I) const
    {
        return ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&D, nullptr, B, N, &I)) ? I.length : 0;
    }
};

// The instruction sets that the 32-bit maps cover, by Zydis's names.
const std::set<std::string> Covered = {
    "AMD",      "AMD3DNOW",     "CMOV",          "FAT_NOP",      "FCMOV",      "CLFSH",
    "FXSAVE",   "I186",         "I286PROTECTED", "I286REAL",     "I386",       "I486",
    "I486REAL", "I86",          "LAHF",          "PAUSE",        "PENTIUMMMX", "PENTIUMREAL",
    "PPRO",     "PREFETCH_NOP", "RDPMC",         "SSE",          "SSE2",       "SSE2MMX",
    "SSE3",     "SSE3X87",      "SSEMXCSR",      "SSE_PREFETCH", "X87"};

// One line of the exceptions file.
struct TException {
    bool OursValid;
    std::string Prefixes;
    unsigned OpFrom, OpTo; // opcode words (0F00h + byte for the 0F page)
    std::string Form;      // *, mem, reg, suffix
    int RegFrom = 0, RegTo = 7;
    std::string Line;
    mutable size_t Uses = 0;
};

std::vector<TException> LoadExceptions()
{
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    fs::path P = fs::path(Src ? Src : TOLVEX_TEST_SOURCE_DIR) /
                 "tests/crashlib/data/DecoderZydisExceptions32.txt";
    std::ifstream F(P);
    std::vector<TException> R;
    std::string Line;
    while (std::getline(F, Line)) {
        if (Line.empty() || Line[0] == '#')
            continue;
        std::istringstream L(Line);
        std::string Side, Pfx, Ops, Form;
        L >> Side >> Pfx >> Ops >> Form;
        TException E{Side == "valid", Pfx, 0, 0xFFFF, "*", 0, 7, Line};
        if (Ops != "*") {
            auto Dash = Ops.find('-');
            E.OpFrom = std::stoul(Ops.substr(0, Dash), nullptr, 16);
            E.OpTo = Dash == std::string::npos ? E.OpFrom
                                               : std::stoul(Ops.substr(Dash + 1), nullptr, 16);
        }
        auto Slash = Form.find('/');
        E.Form = Slash == std::string::npos ? Form : Form.substr(0, Slash);
        if (E.Form.empty())
            E.Form = "*";
        if (Slash != std::string::npos) {
            std::string Regs = Form.substr(Slash + 1);
            E.RegFrom = Regs[0] - '0';
            E.RegTo = Regs.size() > 2 ? Regs[2] - '0' : E.RegFrom;
        }
        R.push_back(E);
    }
    return R;
}

// The rule that explains a disagreement on the bytes B, or nullptr.
const TException* Explain(const std::vector<TException>& Rules, const uint8_t* B, size_t N,
                          bool OursValid)
{
    bool P66 = false, Rep = false, Lock = false;
    size_t I = 0;
    for (; I < N; I++) {
        uint8_t C = B[I];
        if (C == 0x66)
            P66 = true;
        else if (C == 0xF2 || C == 0xF3)
            Rep = true;
        else if (C == 0xF0)
            Lock = true;
        else if (!(C == 0x26 || C == 0x2E || C == 0x36 || C == 0x3E || C == 0x64 || C == 0x65 ||
                   C == 0x67))
            break;
    }
    if (I >= N)
        return nullptr;
    unsigned Op = B[I++];
    if (Op == 0x0F && I < N)
        Op = 0x0F00 + B[I++];
    uint8_t ModRM = I < N ? B[I] : 0;
    bool Mem = (ModRM >> 6) != 3;
    int Reg = (ModRM >> 3) & 7;
    for (auto& R : Rules) {
        if (R.OursValid != OursValid || Op < R.OpFrom || Op > R.OpTo)
            continue;
        if ((R.Prefixes == "none" && (P66 || Rep || Lock)) || (R.Prefixes == "66" && !P66) ||
            (R.Prefixes == "rep" && !Rep) || (R.Prefixes == "lock" && !Lock))
            continue;
        if ((R.Form == "mem" && !Mem) || (R.Form == "reg" && Mem) || Reg < R.RegFrom ||
            Reg > R.RegTo)
            continue;
        if (R.Form == "suffix") {
            TDecodeState S;
            DecodeInstruction(S, TCpuMode::x86, 0x1000, B, N, nullptr, false, nullptr);
            if (Amd3DNowName(static_cast<uint8_t>(S.Imm)))
                continue;
        }
        R.Uses++;
        return &R;
    }
    return nullptr;
}

std::string HexBytes(const uint8_t* B, size_t N)
{
    std::string T;
    char H[4];
    for (size_t I = 0; I < N; I++) {
        snprintf(H, sizeof H, "%02x ", B[I]);
        T += H;
    }
    return T;
}

// Compares one instruction; returns a description of an unexplained
// disagreement, or an empty text.
std::string Compare32(const TZydis& Z, const std::vector<TException>& Rules, const uint8_t* B,
                      size_t N, int* ZydisLength = nullptr)
{
    static const TZeroMemory Zero;
    ZydisDecodedInstruction ZI;
    int ZL = Z.Decode(B, N, ZI);
    if (ZydisLength)
        *ZydisLength = ZL;
    TDecodeState S;
    DecodeInstruction(S, TCpuMode::x86, 0x01000000, B, N, nullptr, false, &Zero);
    int OL = static_cast<int>(S.Info.Next - S.Info.Start);
    bool OV = S.Info.Valid;
    if (ZL && OV && ZL == OL)
        return {};
    if (!ZL && !OV)
        return {};
    if (ZL && OV)
        return "length " + std::to_string(OL) + ", Zydis " + std::to_string(ZL) + ": " +
               HexBytes(B, ZL);
    if (ZL && !OV) {
        std::string Isa = ZydisISASetGetString(ZI.meta.isa_set);
        if (!Covered.count(Isa) || Explain(Rules, B, N, false))
            return {};
        return "refused " + Isa + ": " + HexBytes(B, ZL);
    }
    if (Explain(Rules, B, N, true))
        return {};
    return "accepted, Zydis refuses: " + HexBytes(B, std::min<size_t>(N, 8));
}

std::vector<fs::path> Lib32Files()
{
    std::vector<fs::path> R;
    if (!fs::is_directory("/usr/lib32"))
        return R;
    for (auto& E : fs::directory_iterator("/usr/lib32")) {
        if (!E.is_regular_file() || E.is_symlink())
            continue;
        std::string N = E.path().filename().string();
        if (N.find(".so") != std::string::npos)
            R.push_back(E.path());
    }
    return R;
}

TEST(CrashlibDecoderCorpus32, Lib32CodeSectionsAgreeWithZydis)
{
    auto Files = Lib32Files();
    if (Files.empty())
        GTEST_SKIP() << "no /usr/lib32 libraries (packages libc6-i386, lib32stdc++6, lib32z1)";
    auto Rules = LoadExceptions();
    ASSERT_FALSE(Rules.empty());
    TZydis Z(false);
    size_t Count = 0, Failures = 0;
    for (auto& Path : Files) {
        auto F = ReadFile(Path);
        if (Is64(F))
            continue;
        for (auto& R : CodeSectionsOf(F)) {
            size_t P = 0;
            while (P < R.Size) {
                int ZL = 0;
                std::string Why = Compare32(Z, Rules, F.data() + R.Offset + P, R.Size - P, &ZL);
                Count++;
                if (!Why.empty() && ++Failures <= 20)
                    ADD_FAILURE() << Path.filename() << " +" << std::hex << R.Address + P << ": "
                                  << Why;
                P += ZL ? ZL : 1; // stay in step with the oracle
            }
        }
    }
    EXPECT_EQ(Failures, 0u);
    EXPECT_GT(Count, 500000u);
}

TEST(CrashlibDecoderCorpus32, GeneratedOpcodeFormsAgreeWithZydis)
{
    auto Rules = LoadExceptions();
    ASSERT_FALSE(Rules.empty());
    TZydis Z(false);
    const std::vector<std::vector<uint8_t>> Prefixes = {
        {},     {0x66}, {0x67},       {0xF2},       {0xF3},
        {0xF0}, {0x64}, {0x66, 0x67}, {0x2E, 0xF3}, {0x66, 0xF2}};
    size_t Count = 0, Failures = 0;
    uint32_t Seed = 12345;
    auto Random = [&] {
        Seed = Seed * 1103515245 + 12345;
        return static_cast<uint8_t>(Seed >> 16);
    };
    for (int Page = 0; Page < 2; Page++)
        for (int Op = 0; Op < 256; Op++)
            for (auto& Pfx : Prefixes)
                for (int ModRM = 0; ModRM < 256; ModRM++) {
                    // Every SIB byte behind the ModR/M bytes that take one; a
                    // sample of them for the rest.
                    bool TakesSib = (ModRM >> 6) != 3 && (ModRM & 7) == 4;
                    int Sibs = TakesSib && Pfx.empty() ? 256 : 2;
                    for (int K = 0; K < Sibs; K++) {
                        uint8_t B[24];
                        size_t N = 0;
                        for (uint8_t P : Pfx)
                            B[N++] = P;
                        if (Page)
                            B[N++] = 0x0F;
                        B[N++] = static_cast<uint8_t>(Op);
                        B[N++] = static_cast<uint8_t>(ModRM);
                        B[N++] = TakesSib && Pfx.empty() ? static_cast<uint8_t>(K) : Random();
                        while (N < sizeof B)
                            B[N++] = Random();
                        std::string Why = Compare32(Z, Rules, B, sizeof B);
                        Count++;
                        if (!Why.empty() && ++Failures <= 20)
                            ADD_FAILURE() << Why;
                    }
                }
    EXPECT_EQ(Failures, 0u);
    EXPECT_GT(Count, 5000000u);
    // Every rule of the reviewed list is needed by some disagreement.
    for (auto& R : Rules)
        EXPECT_GT(R.Uses, 0u) << "unused exception: " << R.Line;
}

// In x86-64 mode there is nothing to excuse: within the routines of real
// programs every length and every verdict equals Zydis's.
void ExpectX64Agreement(const fs::path& Path, size_t MinInstructions)
{
    if (!fs::exists(Path))
        GTEST_SKIP() << Path << " not found";
    auto F = ReadFile(Path);
    auto Ranges = FunctionRanges(Path, F);
    ASSERT_FALSE(Ranges.empty()) << Path;
    TZydis Z(true);
    TZeroMemory Zero;
    size_t Count = 0, Failures = 0;
    for (auto& R : Ranges) {
        size_t P = 0;
        while (P < R.Size) {
            const uint8_t* B = F.data() + R.Offset + P;
            size_t N = R.Size - P;
            ZydisDecodedInstruction ZI;
            int ZL = Z.Decode(B, N, ZI);
            TDecodeState S;
            DecodeInstruction(S, TCpuMode::x64, R.Address + P, B, N, nullptr, false, &Zero);
            int OL = static_cast<int>(S.Info.Next - S.Info.Start);
            Count++;
            if ((ZL != 0) != S.Info.Valid || (ZL && ZL != OL)) {
                if (++Failures <= 20)
                    ADD_FAILURE() << Path.filename() << " +" << std::hex << R.Address + P
                                  << ": ours " << S.Info.Valid << "/" << std::dec << OL
                                  << ", Zydis " << ZL << ": "
                                  << HexBytes(B, std::min<size_t>(N, 15));
            }
            P += ZL ? ZL : 1;
        }
    }
    EXPECT_EQ(Failures, 0u) << Path;
    EXPECT_GT(Count, MinInstructions) << Path;
}

const fs::path LibDir = "/usr/lib/x86_64-linux-gnu";

TEST(CrashlibDecoderCorpus64, LibcRoutinesAgreeWithZydis)
{
    ExpectX64Agreement(LibDir / "libc.so.6", 100000);
}
TEST(CrashlibDecoderCorpus64, LibstdcxxRoutinesAgreeWithZydis)
{
    ExpectX64Agreement(LibDir / "libstdc++.so.6", 100000);
}
TEST(CrashlibDecoderCorpus64, QtCoreRoutinesAgreeWithZydis)
{
    ExpectX64Agreement(LibDir / "libQt6Core.so.6", 100000);
}
TEST(CrashlibDecoderCorpus64, OwnProgramRoutinesAgreeWithZydis)
{
    // The program when it has been built beside the tests, and this test
    // program, which holds the crash library itself, in any case.
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    if (Bin && fs::exists(fs::path(Bin) / "tolvex"))
        ExpectX64Agreement(fs::path(Bin) / "tolvex", 10000);
    ExpectX64Agreement(fs::read_symlink("/proc/self/exe"), 10000);
}

// --- Texts against capstone ---------------------------------------------------------------

// Both texts reduced to what they must agree on: size words, blanks and the
// branch displacement go, numbers become values, condition names one spelling.
std::vector<std::string> Tokens(std::string T)
{
    static const std::map<std::string, std::string> Alias = {
        {"jz", "je"},         {"jnz", "jne"},       {"jnb", "jae"},     {"setz", "sete"},
        {"setnz", "setne"},   {"setnb", "setae"},   {"cmovz", "cmove"}, {"cmovnz", "cmovne"},
        {"cmovnb", "cmovae"}, {"pushad", "pushal"}, {"popad", "popal"}, {"st", "st(0)"},
        {"oword", ""},        {"xmmword", ""},      {"xword", ""},      {"tbyte", ""},
        {"qword", ""},        {"dword", ""},        {"word", ""},       {"byte", ""},
        {"fword", ""},        {"ptr", ""},          {"movabs", "mov"}};
    // "+$1a ($00401234)" -> the target alone
    auto Open = T.find(" (");
    if (Open != std::string::npos && T.back() == ')') {
        auto Start = T.rfind(' ', Open - 1);
        T = T.substr(0, Start + 1) + T.substr(Open + 2, T.size() - Open - 3);
    }
    std::vector<std::string> R;
    std::string Cur;
    auto Flush = [&] {
        if (Cur.empty())
            return;
        auto A = Alias.find(Cur);
        if (A != Alias.end())
            Cur = A->second;
        if (!Cur.empty())
            R.push_back(Cur);
        Cur.clear();
    };
    for (size_t I = 0; I < T.size(); I++) {
        char C = T[I];
        if (C == '$' || (C == '0' && I + 1 < T.size() && T[I + 1] == 'x') ||
            std::isdigit(static_cast<unsigned char>(C))) {
            if (!Cur.empty()) { // a register name such as r12 or st(1)
                Cur += C;
                continue;
            }
            Flush();
            size_t J = I;
            int Base = 10;
            if (C == '$')
                J++, Base = 16;
            else if (C == '0' && T[I + 1] == 'x')
                J += 2, Base = 16;
            size_t K = J;
            while (K < T.size() && std::isxdigit(static_cast<unsigned char>(T[K])))
                K++;
            uint64_t V = std::stoull(T.substr(J, K - J), nullptr, Base);
            R.push_back("#" + std::to_string(V));
            I = K - 1;
        } else if (std::isalnum(static_cast<unsigned char>(C)) || C == '(' || C == ')' ||
                   C == '_') {
            Cur += C;
        } else {
            Flush();
            if (C != ' ' && C != ',')
                R.push_back(std::string(1, C));
        }
    }
    Flush();
    return R;
}

// Numbers agree when one is the other sign-extended from some width
// ("-1" beside "0xffffffff" for an 83h immediate, and the like).
bool SameNumber(const std::string& A, const std::string& B, const std::string& SignA,
                const std::string& SignB)
{
    uint64_t X = std::stoull(A.substr(1)), Y = std::stoull(B.substr(1));
    if (SignA == "-")
        X = 0 - X;
    if (SignB == "-")
        Y = 0 - Y;
    for (int W : {8, 16, 32, 64}) {
        uint64_t M = W == 64 ? ~uint64_t(0) : (uint64_t(1) << W) - 1;
        if ((X & M) == (Y & M))
            return true;
    }
    return false;
}

bool SameText(const std::string& Ours, const std::string& Theirs)
{
    auto A = Tokens(Ours), B = Tokens(Theirs);
    // A leading sign belongs to the number after it.
    auto Normalise = [](std::vector<std::string>& V) {
        std::vector<std::string> R;
        for (size_t I = 0; I < V.size(); I++) {
            if ((V[I] == "-" || V[I] == "+") && I + 1 < V.size() && V[I + 1][0] == '#' &&
                (R.empty() || R.back() == "[" || R.back() == ":" || R.back()[0] != '#')) {
                bool InMemory = !R.empty() && R.back() != "[" &&
                                std::find(R.begin(), R.end(), "[") != R.end() &&
                                std::find(R.begin(), R.end(), "]") == R.end();
                if (InMemory) {
                    R.push_back(V[I]);
                    continue;
                }
                R.push_back(V[I] + V[I + 1]);
                I++;
                continue;
            }
            R.push_back(V[I]);
        }
        V = R;
    };
    Normalise(A);
    Normalise(B);
    // A zero displacement: "[esi+0]" is "[esi]".
    auto DropZero = [](std::vector<std::string>& V) {
        for (size_t I = 0; I + 2 < V.size(); I++)
            if ((V[I] == "+" || V[I] == "-") && V[I + 1] == "#0" && V[I + 2] == "]")
                V.erase(V.begin() + I, V.begin() + I + 2);
    };
    DropZero(A);
    DropZero(B);
    // x87: capstone leaves out st(0) where the form implies it.
    if (!A.empty() && A[0][0] == 'f') {
        std::erase(A, "st(0)");
        std::erase(B, "st(0)");
    }
    // Segment register moves: capstone names the 32-bit register.
    static const std::set<std::string> Segments = {"es", "cs", "ss", "ds", "fs", "gs"};
    bool SegmentMove = std::any_of(A.begin(), A.end(), [&](auto& T) { return Segments.count(T); });
    if (A.size() != B.size())
        return false;
    for (size_t I = 0; I < A.size(); I++) {
        if (A[I] == B[I])
            continue;
        auto Num = [](const std::string& S, std::string& Sign) {
            Sign = S[0] == '-' || S[0] == '+' ? S.substr(0, 1) : "";
            return S.substr(Sign.size());
        };
        std::string SA, SB;
        std::string NA = Num(A[I], SA), NB = Num(B[I], SB);
        if (NA[0] == '#' && NB[0] == '#' && SameNumber(NA, NB, SA, SB))
            continue;
        if (SegmentMove && "e" + A[I] == B[I])
            continue;
        return false;
    }
    return true;
}

// Texts of the instructions in the one- and two-byte maps (the instruction
// sets Covered names, and in x86-64 mode the legacy encodings), against capstone.
void ExpectTextsAgree(const fs::path& Path, bool X64, size_t MinCompared)
{
    if (!fs::exists(Path))
        GTEST_SKIP() << Path << " not found";
    auto F = ReadFile(Path);
    csh H;
    ASSERT_EQ(cs_open(CS_ARCH_X86, X64 ? CS_MODE_64 : CS_MODE_32, &H), CS_ERR_OK);
    cs_insn* Insn = cs_malloc(H);
    TZydis Z(X64);
    TCpuMode Mode = X64 ? TCpuMode::x64 : TCpuMode::x86;
    size_t Column = X64 ? 19 : 11;
    size_t Compared = 0, Failures = 0;
    for (auto& R : CodeSectionsOf(F)) {
        size_t P = 0;
        while (P < R.Size) {
            const uint8_t* B = F.data() + R.Offset + P;
            size_t N = std::min<size_t>(R.Size - P, 15);
            TDecodeState S;
            DecodeInstruction(S, Mode, R.Address + P, B, N, nullptr, false, nullptr);
            size_t Len = S.Info.Valid ? static_cast<size_t>(S.Info.Next - S.Info.Start) : 1;
            const uint8_t* Code = B;
            size_t Left = N;
            uint64_t At = R.Address + P;
            ZydisDecodedInstruction ZI;
            std::string Isa = Z.Decode(B, N, ZI) ? ZydisISASetGetString(ZI.meta.isa_set) : "";
            // x86-64 mode also names the legacy three-byte maps' instructions.
            static const std::set<std::string> ThreeByte = {"SSSE3", "SSSE3MMX",  "SSE4", "SSE42",
                                                            "AES",   "PCLMULQDQ", "SHA",  "MOVBE",
                                                            "GFNI",  "ADOX_ADCX"};
            bool InMaps =
                S.Encoding == enLegacy && ((Covered.count(Isa) && S.Map <= map0F) ||
                                           (X64 && (Isa == "LONGMODE" || ThreeByte.count(Isa))));
            if (S.Info.Valid && InMaps && cs_disasm_iter(H, &Code, &Left, &At, Insn) &&
                Insn->size == Len) {
                std::string Ours = ComposeDecodedText(S, nullptr, nullptr).substr(Column);
                std::string Theirs = std::string(Insn->mnemonic) + " " + Insn->op_str;
                // String instructions: capstone spells out their implicit operands.
                uint8_t Op = S.OpcodeByte;
                bool Strings = S.Map == mapOneByte &&
                               ((Op >= 0xA4 && Op <= 0xAF && Op != 0xA8 && Op != 0xA9) ||
                                (Op >= 0x6C && Op <= 0x6F));
                if (Strings)
                    Theirs = Insn->mnemonic;
                // We show F2h/F3h before every one-byte opcode, capstone only
                // where they mean something.
                if (Theirs == "pause ")
                    Theirs = "rep nop"; // F3h before nop, spelled as the prefix it is
                if (!Theirs.starts_with("rep")) {
                    for (std::string_view Rep : {"repne ", "rep "})
                        if (Ours.starts_with(Rep))
                            Ours = Ours.substr(Rep.size());
                }
                Compared++;
                if (!SameText(Ours, Theirs) && ++Failures <= 30)
                    ADD_FAILURE() << std::hex << R.Address + P << ": " << HexBytes(B, Len)
                                  << "| ours \"" << Ours << "\", capstone \"" << Theirs << "\"";
            }
            P += Len;
        }
    }
    cs_free(Insn, 1);
    cs_close(&H);
    EXPECT_EQ(Failures, 0u) << Path;
    EXPECT_GT(Compared, MinCompared) << Path;
}

TEST(CrashlibComposerCorpus32, Lib32TextsAgreeWithCapstone)
{
    ExpectTextsAgree("/usr/lib32/libc.so.6", false, 300000);
}

TEST(CrashlibComposerCorpus64, LibcTextsAgreeWithCapstone)
{
    ExpectTextsAgree(LibDir / "libc.so.6", true, 200000);
}

} // namespace
