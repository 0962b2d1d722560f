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
#include <unistd.h>
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

// ---- Vector encodings (VEX, EVEX, XOP), PadLock and lock ----------------------------

// Instruction sets the decoder leaves out, by Zydis's names: Knights Corner
// (which no x86-64 processor decodes; Zydis takes some VEX bytes for it),
// AMX tiles, AVX-512 half precision, exponential/reciprocal, 4FMAPS,
// 4VNNIW, BF16 and VP2INTERSECT, AVX-512 gathers and scatters, AMD's TBM.
// They are refused as undefined.
bool LeftOut(const ZydisDecodedInstruction& I)
{
    const std::string Isa = ZydisISASetGetString(I.meta.isa_set);
    for (const char* Set :
         {"KNC", "AMX", "FP16", "AVX512ER", "4FMAPS", "4VNNIW", "BF16", "VP2INTERSECT", "TBM"})
        if (Isa.find(Set) != std::string::npos)
            return true;
    const std::string Mn = ZydisMnemonicGetString(I.mnemonic);
    return Mn.starts_with("vpermil2") ||
           (I.encoding == ZYDIS_INSTRUCTION_ENCODING_EVEX &&
            (Mn.find("gather") != std::string::npos || Mn.find("scatter") != std::string::npos));
}

TEST(CrashlibDecoderVector, GeneratedEncodingsOfEveryOpcodeAgreeWithZydis)
{
    // Every opcode of the three VEX and EVEX maps with random prefix fields
    // (pp, W, L, mask, zeroing, broadcast) and random ModR/M: valid exactly
    // when Zydis says so, and then of its length.
    TZydis Z(true);
    uint32_t Seed = 2718281;
    auto Random = [&] {
        Seed = Seed * 1103515245 + 12345;
        return static_cast<uint8_t>(Seed >> 16);
    };
    size_t Count = 0, Valid = 0, Failures = 0;
    for (int Evex = 0; Evex < 2; Evex++)
        for (int Map = 1; Map <= 3; Map++)
            for (int Op = 0; Op < 256; Op++)
                for (int K = 0; K < 64; K++) {
                    uint8_t B[16];
                    size_t N = 0;
                    const uint8_t Pp = Random() & 3, W = Random() & 1;
                    const uint8_t L = Evex ? Random() % 3 : Random() & 1;
                    if (!Evex) {
                        B[N++] = 0xC4;
                        B[N++] = static_cast<uint8_t>(0xE0 | Map);
                        B[N++] = static_cast<uint8_t>(W << 7 | 0x78 | L << 2 | Pp);
                    } else {
                        B[N++] = 0x62;
                        B[N++] = static_cast<uint8_t>(0xF0 | Map);
                        B[N++] = static_cast<uint8_t>(W << 7 | 0x7C | Pp);
                        const uint8_t Zeroing = (Random() & 3) == 0,
                                      Broadcast = (Random() & 3) == 0;
                        B[N++] = static_cast<uint8_t>(Zeroing << 7 | L << 5 | Broadcast << 4 | 8 |
                                                      (Random() & 7));
                    }
                    B[N++] = static_cast<uint8_t>(Op);
                    while (N < sizeof B)
                        B[N++] = Random();
                    ZydisDecodedInstruction I;
                    const int ZL = Z.Decode(B, sizeof B, I);
                    if (ZL != 0 && LeftOut(I))
                        continue;
                    TDecodeState S;
                    DecodeInstruction(S, TCpuMode::x64, 0x1000, B, sizeof B, nullptr, false,
                                      nullptr);
                    const int OL = static_cast<int>(S.Info.Next - S.Info.Start);
                    Count++;
                    Valid += ZL != 0;
                    if ((ZL != 0) != S.Info.Valid || (ZL && ZL != OL)) {
                        if (++Failures <= 20)
                            ADD_FAILURE() << "ours " << S.Info.Valid << "/" << OL << ", Zydis "
                                          << ZL << ": " << HexBytes(B, 10);
                    }
                }
    EXPECT_EQ(Failures, 0u);
    EXPECT_GT(Valid, 7000u);
    EXPECT_GT(Count, 90000u);
}

TEST(CrashlibDecoderVector, LockOnlyBeforeReadModifyWriteMemoryInstructions)
{
    // A lock prefix before every one- and two-byte opcode, with and without
    // F3h, random operands: valid and of a length exactly as Zydis says.
    TZydis Z(true);
    uint32_t Seed = 31415;
    auto Random = [&] {
        Seed = Seed * 1103515245 + 12345;
        return static_cast<uint8_t>(Seed >> 16);
    };
    size_t Failures = 0, Valid = 0;
    for (int Page = 0; Page < 2; Page++)
        for (int Op = 0; Op < 256; Op++)
            for (int K = 0; K < 64; K++) {
                uint8_t B[16];
                size_t N = 0;
                B[N++] = 0xF0;
                if (K & 1)
                    B[N++] = 0xF3;
                if (Page)
                    B[N++] = 0x0F;
                B[N++] = static_cast<uint8_t>(Op);
                while (N < sizeof B)
                    B[N++] = Random();
                ZydisDecodedInstruction I;
                const int ZL = Z.Decode(B, sizeof B, I);
                TDecodeState S;
                DecodeInstruction(S, TCpuMode::x64, 0x1000, B, sizeof B, nullptr, false, nullptr);
                const int OL = static_cast<int>(S.Info.Next - S.Info.Start);
                Valid += ZL != 0;
                // An indirect branch's pointer is not read without memory.
                const bool Branch = S.Info.IsCall || S.Info.IsJump;
                if (!Branch && ((ZL != 0) != S.Info.Valid || (ZL && ZL != OL)) && ++Failures <= 20)
                    ADD_FAILURE() << "ours " << S.Info.Valid << "/" << OL << ", Zydis " << ZL
                                  << ": " << HexBytes(B, 8);
            }
    EXPECT_EQ(Failures, 0u);
    EXPECT_GT(Valid, 1000u);
}

TEST(CrashlibDecoderVector, XopPadLockAndLockCasesByTheirBytes)
{
    struct TCase {
        std::vector<uint8_t> Bytes;
        const char* Text; // nullptr: invalid
    };
    const TCase Cases[] = {
        // XOP (AMD): rotates with an immediate, by a register; a fourth register operand.
        {{0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x05}, "vprotd xmm0, xmm1, 5"},
        {{0x8F, 0xE9, 0x78, 0x92, 0xC1}, "vprotd xmm0, xmm1, xmm0"},
        {{0x8F, 0xE8, 0x74, 0xA2, 0xC2, 0x30}, "vpcmov ymm0, ymm1, ymm2, ymm3"},
        {{0x8F, 0xEA, 0xF8, 0x10, 0xC1, 0x04, 0x03, 0x00, 0x00}, "bextr rax, rcx, $304"},
        {{0x8F, 0xE9, 0x78, 0x01, 0xC1}, nullptr},       // TBM: not decoded
        {{0x8F, 0xE8, 0x78, 0x00, 0xC1, 0x00}, nullptr}, // no such XOP opcode
        {{0x8F, 0xC0}, "pop rax"},                       // map below 8: still pop
        // VIA PadLock.
        {{0x0F, 0xA7, 0xC0}, "xstore-rng"},
        {{0xF3, 0x0F, 0xA7, 0xC8}, "rep xcrypt-ecb"},
        {{0xF3, 0x0F, 0xA7, 0xE8}, "rep xcrypt-ofb"},
        {{0xF3, 0x0F, 0xA6, 0xD0}, "rep xsha256"},
        {{0x0F, 0xA6, 0xC0}, nullptr},       // montmul needs rep
        {{0xF3, 0x0F, 0xA7, 0xF0}, nullptr}, // no such form
        // Lock before read-modify-write memory operations only.
        {{0xF0, 0x01, 0x18}, "lock add [rax], ebx"},
        {{0xF0, 0x0F, 0xC1, 0x0A}, "lock xadd [rdx], ecx"},
        {{0xF0, 0x01, 0xD8}, nullptr},       // a register destination
        {{0xF0, 0x39, 0x18}, nullptr},       // cmp writes nothing
        {{0xF0, 0x8B, 0x00}, nullptr},       // mov
        {{0xF0, 0xC5, 0xF8, 0x77}, nullptr}, // before VEX
        // EVEX: masks, zeroing, broadcast, rounding, compressed displacement.
        {{0x62, 0xF1, 0x7C, 0xCB, 0x58, 0x42, 0x01},
         "vaddps zmm0{k3}{z}, zmm0, zword ptr [rdx+$40]"},
        {{0x62, 0xF1, 0x7C, 0x58, 0x58, 0x40, 0x01}, "vaddps zmm0, zmm0, dword ptr [rax+4]{1to16}"},
        {{0x62, 0xF1, 0x7C, 0x38, 0x58, 0xC2}, "vaddps zmm0, zmm0, zmm2{rd-sae}"},
        {{0x62, 0xF1, 0x7D, 0x48, 0x76, 0xC9}, "vpcmpeqd k1, zmm0, zmm1"},
        {{0x62, 0xF1, 0x7D, 0xC8, 0x76, 0xC9}, nullptr}, // zeroing into a mask
        {{0x62, 0xF1, 0x7C, 0x48, 0x77}, nullptr},       // no EVEX vzeroupper
        {{0xC4, 0xE1, 0x78, 0x04, 0xC0}, nullptr},       // undefined VEX opcode
        {{0xC5, 0xF0, 0x28, 0xC1}, nullptr},             // vvvv set where unused
    };
    TZydis Z(true);
    for (const TCase& C : Cases) {
        SCOPED_TRACE(HexBytes(C.Bytes.data(), C.Bytes.size()));
        std::vector<uint8_t> B = C.Bytes;
        B.resize(16, 0);
        ZydisDecodedInstruction I;
        const int ZL = Z.Decode(B.data(), B.size(), I);
        TDecodeState S;
        DecodeInstruction(S, TCpuMode::x64, 0x1000, B.data(), B.size(), nullptr, false, nullptr);
        EXPECT_EQ(S.Info.Valid, C.Text != nullptr);
        // The verdict is Zydis's, but for the instruction sets left out.
        if (!(ZL != 0 && LeftOut(I))) {
            EXPECT_EQ(ZL != 0, S.Info.Valid);
        }
        if (C.Text != nullptr) {
            EXPECT_EQ(static_cast<size_t>(S.Info.Next - S.Info.Start), C.Bytes.size());
            EXPECT_EQ(ComposeDecodedText(S, nullptr, nullptr).substr(19), C.Text);
        }
    }
}

TEST(CrashlibDecoderCorpus64, LibcryptoVectorCodeAgreesWithZydis)
{
    // Every vector instruction (VEX, EVEX, XOP) of libcrypto's code (its
    // AVX, AVX2, AVX-512 and XOP routines), from instruction to instruction
    // as Zydis reads it: the same length and verdict.
    const fs::path Path = LibDir / "libcrypto.so.3";
    if (!fs::exists(Path))
        GTEST_SKIP() << Path << " not found";
    auto F = ReadFile(Path);
    TZydis Z(true);
    TZeroMemory Zero;
    size_t Vector = 0, Failures = 0;
    for (auto& R : CodeSectionsOf(F)) {
        for (size_t P = 0; P < R.Size;) {
            const uint8_t* B = F.data() + R.Offset + P;
            const size_t N = std::min<size_t>(R.Size - P, 15);
            ZydisDecodedInstruction ZI;
            const int ZL = Z.Decode(B, N, ZI);
            TDecodeState S;
            DecodeInstruction(S, TCpuMode::x64, R.Address + P, B, N, nullptr, false, &Zero);
            const int OL = static_cast<int>(S.Info.Next - S.Info.Start);
            // Its code holds tables too, read here as instructions: the
            // legacy maps' verdicts on them are another test's business.
            const bool ZVector = ZL != 0 && ZI.encoding != ZYDIS_INSTRUCTION_ENCODING_LEGACY &&
                                 ZI.encoding != ZYDIS_INSTRUCTION_ENCODING_3DNOW;
            if (S.Encoding == enLegacy && !ZVector) {
                P += ZL ? static_cast<size_t>(ZL) : 1;
                continue;
            }
            Vector++;
            if (!(ZL && LeftOut(ZI)) && ((ZL != 0) != S.Info.Valid || (ZL && ZL != OL)) &&
                ++Failures <= 20)
                ADD_FAILURE() << std::hex << R.Address + P << ": ours " << S.Info.Valid << "/"
                              << std::dec << OL << ", Zydis " << ZL << ": " << HexBytes(B, N);
            P += ZL ? static_cast<size_t>(ZL) : 1;
        }
    }
    EXPECT_EQ(Failures, 0u);
    EXPECT_GT(Vector, 15000u);
}

// objdump's Intel text of a vector instruction in the composer's notation
// (the reviewed normalisation): lower case; "XMMWORD/YMMWORD/ZMMWORD PTR" are
// "oword/yword/zword ptr"; a broadcast "DWORD BCST [m]" is "dword ptr [m]"
// (ours says "{1toN}" after it, left out before comparing); "*1" of an
// index goes; a negative displacement written as its 64-bit complement is
// negative; a segment prefix written before the mnemonic moves into the
// memory operand (and goes where there is none); the pseudo-ops that spell a predicate
// ("vpcmpltuq", "vpclmulhqlqdq") are the instruction with its immediate; "addr32" and
// "{vex}" marks and the comment after "#" go.
std::string NormaliseObjdump(std::string T)
{
    if (const auto Hash = T.find('#'); Hash != std::string::npos)
        T.resize(Hash);
    while (!T.empty() && T.back() == ' ')
        T.pop_back();
    std::transform(T.begin(), T.end(), T.begin(), [](unsigned char C) { return std::tolower(C); });
    for (bool Again = true; Again;) {
        Again = false;
        for (const char* Mark : {"addr32 ", "{vex} "})
            if (T.starts_with(Mark)) {
                T.erase(0, std::strlen(Mark));
                Again = true;
            }
    }
    for (const char* Seg : {"es ", "cs ", "ss ", "ds ", "fs ", "gs "})
        if (T.starts_with(Seg)) {
            // Without a memory operand the prefix means nothing: it goes.
            if (T.find('[') != std::string::npos)
                T.insert(T.find('['), std::string(Seg, 2) + ":");
            T.erase(0, 3);
        }
    for (auto [From, To] : {std::pair<std::string, std::string>{"xmmword ptr", "oword ptr"},
                            {"ymmword ptr", "yword ptr"},
                            {"zmmword ptr", "zword ptr"},
                            {" bcst ", " ptr "}})
        for (size_t At; (At = T.find(From)) != std::string::npos;)
            T.replace(At, From.size(), To);
    for (const char* One : {"*1+", "*1-", "*1]"})
        for (size_t At; (At = T.find(One)) != std::string::npos;)
            T.erase(At, 2);
    // "+0xfffffffffffffe88" in an address is -0x178.
    if (const auto Plus = T.find("+0x"); Plus != std::string::npos) {
        size_t End = Plus + 3;
        while (End < T.size() && std::isxdigit(static_cast<unsigned char>(T[End])))
            End++;
        if (End - Plus - 3 == 16) {
            const uint64_t V = std::stoull(T.substr(Plus + 3, 16), nullptr, 16);
            if (V >> 63) {
                std::ostringstream H;
                H << "-0x" << std::hex << (0 - V);
                T.replace(Plus, End - Plus, H.str());
            }
        }
    }
    const std::string Mn = T.substr(0, T.find(' '));
    const std::string Ops = T.substr(Mn.size());
    if (Mn.starts_with("vpclmul") && Mn != "vpclmulqdq") {
        const int Imm = (Mn[7] == 'h' ? 1 : 0) | (Mn[9] == 'h' ? 0x10 : 0);
        return "vpclmulqdq" + Ops + "," + std::to_string(Imm);
    }
    static const char* const Predicates[] = {"eq",  "lt",  "le",  "false",
                                             "neq", "nlt", "nle", "true"};
    if (Mn.starts_with("vpcmp"))
        for (int P = 7; P >= 0; P--) {
            const std::string Rest = Mn.substr(5);
            const std::string Pred = Predicates[P];
            if (!Rest.starts_with(Pred))
                continue;
            const std::string Type = Rest.substr(Pred.size()); // "q", "uq"
            if (Type.size() == 2 || (Type.size() == 1 && P != 0))
                return "vpcmp" + Type + Ops + "," + std::to_string(P);
            break;
        }
    return T;
}

// Ours, in the notation objdump keeps where it reads as another real
// instruction: a compare for equality into a mask ("vpcmpq k1, a, b, 0") is
// written as the instruction of its own ("vpcmpeqq k1,a,b").
std::string NormaliseOurs(std::string O)
{
    if (const auto To = O.find("{1to"); To != std::string::npos)
        O.erase(To, O.find('}', To) - To + 1);
    if (O.starts_with("vpcmp") && O.size() > 9 && O[6] == ' ' && O.ends_with(", 0"))
        O = "vpcmpeq" + O.substr(5, O.size() - 5 - 3);
    return O;
}

TEST(CrashlibComposerCorpus64, LibcryptoVectorTextsAgreeWithObjdump)
{
    // Every vector instruction of libcrypto, gathered into one file that
    // objdump reads in Intel syntax; our text and its agree after the
    // normalisation above (numbers by value, up to sign-extension).
    const fs::path Path = LibDir / "libcrypto.so.3";
    if (!fs::exists(Path) || std::system("command -v objdump >/dev/null") != 0)
        GTEST_SKIP() << "no libcrypto or objdump";
    auto F = ReadFile(Path);
    TZydis Z(true);
    std::vector<uint8_t> Gathered;
    std::vector<std::string> Ours;
    for (auto& R : CodeSectionsOf(F))
        for (size_t P = 0; P < R.Size;) {
            const uint8_t* B = F.data() + R.Offset + P;
            const size_t N = std::min<size_t>(R.Size - P, 15);
            ZydisDecodedInstruction ZI;
            const int ZL = Z.Decode(B, N, ZI);
            TDecodeState S;
            DecodeInstruction(S, TCpuMode::x64, 0x1000 + Gathered.size(), B, N, nullptr, false,
                              nullptr);
            if (ZL && S.Info.Valid && S.Encoding != enLegacy) {
                Ours.push_back(ComposeDecodedText(S, nullptr, nullptr).substr(19));
                Gathered.insert(Gathered.end(), B, B + ZL);
            }
            P += ZL ? static_cast<size_t>(ZL) : 1;
        }
    ASSERT_GT(Ours.size(), 15000u);
    const fs::path Bin = fs::temp_directory_path() / ("tolvex-vector-" + std::to_string(getpid()));
    {
        std::ofstream Out(Bin, std::ios::binary);
        Out.write(reinterpret_cast<const char*>(Gathered.data()),
                  static_cast<std::streamsize>(Gathered.size()));
    }
    FILE* P = popen(("objdump -D -b binary -m i386:x86-64 -M intel " + Bin.string()).c_str(), "r");
    ASSERT_NE(P, nullptr);
    std::vector<std::string> Theirs;
    char Line[512];
    while (std::fgets(Line, sizeof Line, P) != nullptr) {
        std::string L(Line);
        // "   5c:\tc5 f8 77             \tvzeroupper"
        const auto Tab2 = L.find('\t', L.find('\t') + 1);
        if (L.find(":\t") == std::string::npos || Tab2 == std::string::npos)
            continue;
        std::string Text = L.substr(Tab2 + 1);
        while (!Text.empty() && (Text.back() == '\n' || Text.back() == ' '))
            Text.pop_back();
        Theirs.push_back(Text);
    }
    pclose(P);
    fs::remove(Bin);
    ASSERT_EQ(Theirs.size(), Ours.size());
    size_t Failures = 0;
    for (size_t I = 0; I < Ours.size(); I++) {
        const std::string O = NormaliseOurs(Ours[I]);
        const std::string T = NormaliseObjdump(Theirs[I]);
        if (!SameText(O, T) && ++Failures <= 30)
            ADD_FAILURE() << "ours \"" << Ours[I] << "\", objdump \"" << Theirs[I] << "\"";
    }
    EXPECT_EQ(Failures, 0u);
}

} // namespace
