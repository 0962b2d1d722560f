// The crash library's x86 decoder beside capstone and Zydis on the code of
// the 32-bit and the 64-bit C library. Prints one table; each row is measured
// in the same run as its anchor.
//
//   length+validity  ours: DecodeInstruction       capstone: cs_disasm_iter, no detail
//                    (capstone cannot leave out its text, so it is its plain speed)
//   length+validity  ours: DecodeInstruction       Zydis: decoding without operands
//   full text        ours: decode + composed line  capstone: cs_disasm_iter (text)
#include "crashlib/kelDisAsm.h"

#include <Zydis/Zydis.h>
#include <capstone/capstone.h>
#include <elf.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct TCorpus {
    std::string Name;
    bool X64;
    std::vector<uint8_t> Code; // the executable sections, one after the other
};

std::vector<uint8_t> ReadFile(const char* Path)
{
    std::ifstream F(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(F), {}};
}

template <typename Ehdr, typename Shdr>
void AppendCode(const std::vector<uint8_t>& F, std::vector<uint8_t>& Out)
{
    Ehdr E;
    std::memcpy(&E, F.data(), sizeof E);
    for (unsigned I = 0; I < E.e_shnum; I++) {
        Shdr S;
        std::memcpy(&S, F.data() + E.e_shoff + size_t(I) * E.e_shentsize, sizeof S);
        if ((S.sh_flags & SHF_EXECINSTR) && S.sh_type == SHT_PROGBITS &&
            S.sh_offset + S.sh_size <= F.size())
            Out.insert(Out.end(), F.begin() + S.sh_offset, F.begin() + S.sh_offset + S.sh_size);
    }
}

bool LoadCorpus(const char* Path, const char* Name, TCorpus& C)
{
    auto F = ReadFile(Path);
    if (F.size() < sizeof(Elf64_Ehdr))
        return false;
    C.Name = Name;
    C.X64 = F[EI_CLASS] == ELFCLASS64;
    if (C.X64)
        AppendCode<Elf64_Ehdr, Elf64_Shdr>(F, C.Code);
    else
        AppendCode<Elf32_Ehdr, Elf32_Shdr>(F, C.Code);
    return !C.Code.empty();
}

class TZeroMemory : public TCodeReader {
public:
    bool TryRead(uint64_t, void* Dest, size_t Count) const override
    {
        std::memset(Dest, 0, Count);
        return true;
    }
};

// Runs one pass over the corpus (returning the instructions seen) as often
// as fits into about half a second; gives MB/s and instructions.
struct TResult {
    double MBps = 0;
    size_t Instructions = 0;
};

TResult Measure(const TCorpus& C, const std::function<size_t()>& Pass)
{
    using Clock = std::chrono::steady_clock;
    size_t Instructions = Pass(); // warm-up
    size_t Passes = 0;
    auto Start = Clock::now();
    double Seconds = 0;
    do {
        Pass();
        Passes++;
        Seconds = std::chrono::duration<double>(Clock::now() - Start).count();
    } while (Seconds < 0.5);
    return {double(C.Code.size()) * Passes / Seconds / 1e6, Instructions};
}

size_t OursLength(const TCorpus& C)
{
    static const TZeroMemory Zero;
    TDecodeState S;
    TCpuMode Mode = C.X64 ? TCpuMode::x64 : TCpuMode::x86;
    size_t N = 0, P = 0, Valid = 0;
    const uint8_t* B = C.Code.data();
    while (P < C.Code.size()) {
        DecodeInstruction(S, Mode, 0x10000000 + P, B + P, C.Code.size() - P, nullptr, false, &Zero);
        Valid += S.Info.Valid;
        P += S.Info.Valid ? S.Length : 1;
        N++;
    }
    return N + (Valid & 0);
}

size_t OursText(const TCorpus& C, std::string& Sink)
{
    static const TZeroMemory Zero;
    TDecodeState S;
    TCpuMode Mode = C.X64 ? TCpuMode::x64 : TCpuMode::x86;
    size_t N = 0, P = 0;
    const uint8_t* B = C.Code.data();
    while (P < C.Code.size()) {
        DecodeInstruction(S, Mode, 0x10000000 + P, B + P, C.Code.size() - P, nullptr, false, &Zero);
        Sink = ComposeDecodedText(S, nullptr, nullptr);
        P += S.Info.Valid ? S.Length : 1;
        N++;
    }
    return N;
}

size_t Capstone(const TCorpus& C, csh H, cs_insn* Insn)
{
    size_t N = 0, P = 0;
    while (P < C.Code.size()) {
        const uint8_t* Code = C.Code.data() + P;
        size_t Left = std::min<size_t>(C.Code.size() - P, 15);
        uint64_t At = 0x10000000 + P;
        P += cs_disasm_iter(H, &Code, &Left, &At, Insn) ? Insn->size : 1;
        N++;
    }
    return N;
}

size_t Zydis(const TCorpus& C, const ZydisDecoder& D)
{
    size_t N = 0, P = 0;
    ZydisDecodedInstruction I;
    while (P < C.Code.size()) {
        bool Ok = ZYAN_SUCCESS(
            ZydisDecoderDecodeInstruction(&D, nullptr, C.Code.data() + P, C.Code.size() - P, &I));
        P += Ok ? I.length : 1;
        N++;
    }
    return N;
}

} // namespace

int main()
{
    std::vector<TCorpus> Corpora;
    TCorpus C;
    if (LoadCorpus("/usr/lib32/libc.so.6", "libc i386", C))
        Corpora.push_back(std::move(C));
    C = {};
    if (LoadCorpus("/usr/lib/x86_64-linux-gnu/libc.so.6", "libc x86-64", C))
        Corpora.push_back(std::move(C));

    std::printf("%-12s %-16s %10s %9s   %-22s %10s %8s\n", "corpus", "what", "ours MB/s", "Minsn/s",
                "anchor", "its MB/s", "ratio");
    for (auto& K : Corpora) {
        csh H;
        cs_open(CS_ARCH_X86, K.X64 ? CS_MODE_64 : CS_MODE_32, &H);
        cs_option(H, CS_OPT_DETAIL, CS_OPT_OFF);
        cs_insn* Insn = cs_malloc(H);
        ZydisDecoder D;
        ZydisDecoderInit(&D, K.X64 ? ZYDIS_MACHINE_MODE_LONG_64 : ZYDIS_MACHINE_MODE_LEGACY_32,
                         K.X64 ? ZYDIS_STACK_WIDTH_64 : ZYDIS_STACK_WIDTH_32);
        std::string Sink;

        TResult Ours = Measure(K, [&] { return OursLength(K); });
        TResult Cap = Measure(K, [&] { return Capstone(K, H, Insn); });
        TResult Zyd = Measure(K, [&] { return Zydis(K, D); });
        TResult Text = Measure(K, [&] { return OursText(K, Sink); });
        auto Row = [&](const char* What, const TResult& A, const char* Anchor, const TResult& B) {
            double Minsn = A.MBps * 1e6 / double(K.Code.size()) * double(A.Instructions) / 1e6;
            std::printf("%-12s %-16s %10.1f %9.1f   %-22s %10.1f %7.2fx\n", K.Name.c_str(), What,
                        A.MBps, Minsn, Anchor, B.MBps, A.MBps / B.MBps);
        };
        Row("length+validity", Ours, "capstone (no detail)", Cap);
        Row("length+validity", Ours, "Zydis (no operands)", Zyd);
        Row("full text", Text, "capstone (text)", Cap);
        cs_free(Insn, 1);
        cs_close(&H);
    }
    if (Corpora.empty())
        std::printf("no corpus: /usr/lib32/libc.so.6 and /usr/lib/x86_64-linux-gnu/libc.so.6 are "
                    "missing\n");
    return 0;
}
