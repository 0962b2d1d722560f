// The opcode maps of the decoder, written once as mnemonic texts and operand
// templates in the notation of the processor manuals' opcode maps ("Eb,Gb":
// a byte ModR/M operand, then a byte register from the reg field). The flag
// words, the mnemonic list and its index tables are derived from them at
// compile time, so the decoder and the text composer read the same source.
//
// Operand tokens:
//   Eb Ew Ed Ev Ey  ModR/M general register or memory (byte, word, dword,
//                   operand size, dword or qword by REX.W)
//   M Mb Mw Md Mq Mt Mo Mp Ma   memory only (no size, byte ... 16 bytes,
//                   far pointer, bound pair)
//   Rd              ModR/M general register (register form only)
//   Gb Gw Gd Gv Gy  general register from the reg field
//   Zb Zv           general register from the low 3 opcode bits
//   AL eAX AX CL DX 1 ST STi   fixed registers, the constant 1, FPU registers
//   Sw Cd Dd        segment, control, debug register from the reg field
//   P Q N           MMX register from reg, MMX or memory from ModR/M, MMX from rm
//   V W U           XMM register from reg, XMM or memory, XMM from rm
//   Px Qx Nx        MMX operands that become XMM operands under 66h
//   Ib Iw Iz Iv     immediates: byte, word, operand size (Iv: 8 bytes for mov r64, imm64)
//   Jb Jz           branch displacements
//   Ap Ob Ov        far pointer, memory offset of address size
// A template may hold four variants separated by "/", chosen like the
// mnemonic's variants by the prefixes none, 66h, F3h, F2h.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace keldisasm {

struct TOpSpec {
    std::string_view Mn;  // mnemonic entry; "" for prefixes and escapes; "!" undefined
    std::string_view Ops; // operand template
    int8_t Track = -1;    // register class overwritten; -1: from the first operand
    uint16_t Word = 0;    // an explicit flag word (0: derive it)
};

inline constexpr TOpSpec Und{"!", "", 0, 0xFFFF};
inline constexpr TOpSpec Pfx{"", "", 0, 0};

// Register classes overwritten (flag bits 13-15).
enum : int8_t {
    trNone = 0,
    trReg = 1,
    trModRM = 2,
    trOpcodeReg = 3,
    trEax = 4,
    trRegModRM = 5,
    trEaxModRM = 6,
    trEaxOpcodeReg = 7
};

inline constexpr const char* Alu = "add|or|adc|sbb|and|sub|xor|cmp";
inline constexpr const char* Shift = "rol|ror|rcl|rcr|shl|shr|sal|sar";
inline constexpr const char* Jcc = "j%cc";

// clang-format off
inline constexpr std::array<TOpSpec, 256> OneByteSpec = {{
    /*00*/ {"add", "Eb,Gb"}, {"add", "Ev,Gv"}, {"add", "Gb,Eb"}, {"add", "Gv,Ev"},
    /*04*/ {"add", "AL,Ib"}, {"add", "eAX,Iz"}, {"push %seg", "", 0}, {"pop %seg", "", 0},
    /*08*/ {"or", "Eb,Gb"}, {"or", "Ev,Gv"}, {"or", "Gb,Eb"}, {"or", "Gv,Ev"},
    /*0C*/ {"or", "AL,Ib"}, {"or", "eAX,Iz"}, {"push %seg", "", 0}, Pfx,
    /*10*/ {"adc", "Eb,Gb"}, {"adc", "Ev,Gv"}, {"adc", "Gb,Eb"}, {"adc", "Gv,Ev"},
    /*14*/ {"adc", "AL,Ib"}, {"adc", "eAX,Iz"}, {"push %seg", "", 0}, {"pop %seg", "", 0},
    /*18*/ {"sbb", "Eb,Gb"}, {"sbb", "Ev,Gv"}, {"sbb", "Gb,Eb"}, {"sbb", "Gv,Ev"},
    /*1C*/ {"sbb", "AL,Ib"}, {"sbb", "eAX,Iz"}, {"push %seg", "", 0}, {"pop %seg", "", 0},
    /*20*/ {"and", "Eb,Gb"}, {"and", "Ev,Gv"}, {"and", "Gb,Eb"}, {"and", "Gv,Ev"},
    /*24*/ {"and", "AL,Ib"}, {"and", "eAX,Iz"}, Pfx, {"daa", "", 0},
    /*28*/ {"sub", "Eb,Gb"}, {"sub", "Ev,Gv"}, {"sub", "Gb,Eb"}, {"sub", "Gv,Ev"},
    /*2C*/ {"sub", "AL,Ib"}, {"sub", "eAX,Iz"}, Pfx, {"das", "", 0},
    /*30*/ {"xor", "Eb,Gb"}, {"xor", "Ev,Gv"}, {"xor", "Gb,Eb"}, {"xor", "Gv,Ev"},
    /*34*/ {"xor", "AL,Ib"}, {"xor", "eAX,Iz"}, Pfx, {"aaa", "", 0},
    /*38*/ {"cmp", "Eb,Gb", 0}, {"cmp", "Ev,Gv", 0}, {"cmp", "Gb,Eb", 0}, {"cmp", "Gv,Ev", 0},
    /*3C*/ {"cmp", "AL,Ib", 0}, {"cmp", "eAX,Iz", 0}, Pfx, {"aas", "", 0},
    /*40*/ {"inc", "Zv"}, {"inc", "Zv"}, {"inc", "Zv"}, {"inc", "Zv"},
    /*44*/ {"inc", "Zv"}, {"inc", "Zv"}, {"inc", "Zv"}, {"inc", "Zv"},
    /*48*/ {"dec", "Zv"}, {"dec", "Zv"}, {"dec", "Zv"}, {"dec", "Zv"},
    /*4C*/ {"dec", "Zv"}, {"dec", "Zv"}, {"dec", "Zv"}, {"dec", "Zv"},
    /*50*/ {"push", "Zv", 0}, {"push", "Zv", 0}, {"push", "Zv", 0}, {"push", "Zv", 0},
    /*54*/ {"push", "Zv", 0}, {"push", "Zv", 0}, {"push", "Zv", 0}, {"push", "Zv", 0},
    /*58*/ {"pop", "Zv"}, {"pop", "Zv"}, {"pop", "Zv"}, {"pop", "Zv"},
    /*5C*/ {"pop", "Zv"}, {"pop", "Zv"}, {"pop", "Zv"}, {"pop", "Zv"},
    /*60*/ {"pushad/pusha", "", 0}, {"popad/popa", "", 0}, {"bound", "Gv,Ma", 0}, {"arpl", "Ew,Gw"},
    /*64*/ Pfx, Pfx, Pfx, Pfx,
    /*68*/ {"push", "Iz", 0}, {"imul", "Gv,Ev,Iz"}, {"push", "Ib", 0}, {"imul", "Gv,Ev,Ib"},
    /*6C*/ {"insb", "", 0}, {"insd/insw", "", 0}, {"outsb", "", 0}, {"outsd/outsw", "", 0},
    /*70*/ {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"},
    /*74*/ {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"},
    /*78*/ {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"},
    /*7C*/ {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"}, {Jcc, "Jb"},
    /*80*/ {Alu, "Eb,Ib", 0}, {Alu, "Ev,Iz", 0}, {Alu, "Eb,Ib", 0}, {Alu, "Ev,Ib", 0},
    /*84*/ {"test", "Eb,Gb", 0}, {"test", "Ev,Gv", 0}, {"xchg", "Eb,Gb", trRegModRM}, {"xchg", "Ev,Gv", trRegModRM},
    /*88*/ {"mov", "Eb,Gb"}, {"mov", "Ev,Gv"}, {"mov", "Gb,Eb"}, {"mov", "Gv,Ev"},
    /*8C*/ {"mov", "Ev,Sw"}, {"lea", "Gv,M"}, {"mov", "Sw,Ew", 0}, {"pop", "Ev"},
    /*90*/ {"nop", "", 0}, {"xchg", "eAX,Zv", trEaxOpcodeReg}, {"xchg", "eAX,Zv", trEaxOpcodeReg}, {"xchg", "eAX,Zv", trEaxOpcodeReg},
    /*94*/ {"xchg", "eAX,Zv", trEaxOpcodeReg}, {"xchg", "eAX,Zv", trEaxOpcodeReg}, {"xchg", "eAX,Zv", trEaxOpcodeReg}, {"xchg", "eAX,Zv", trEaxOpcodeReg},
    /*98*/ {"cwde/cbw", "", 0}, {"cdq/cwd", "", 0}, {"call", "Ap", 0}, {"wait", "", 0},
    /*9C*/ {"pushfd/pushf", "", 0}, {"popfd/popf", "", 0}, {"sahf", "", 0}, {"lahf", "", 0},
    /*A0*/ {"mov", "AL,Ob"}, {"mov", "eAX,Ov"}, {"mov", "Ob,AL", 0}, {"mov", "Ov,eAX", 0},
    /*A4*/ {"movsb", "", 0}, {"movsd/movsw", "", 0}, {"cmpsb", "", 0}, {"cmpsd/cmpsw", "", 0},
    /*A8*/ {"test", "AL,Ib", 0}, {"test", "eAX,Iz", 0}, {"stosb", "", 0}, {"stosd/stosw", "", 0},
    /*AC*/ {"lodsb", "", 0}, {"lodsd/lodsw", "", 0}, {"scasb", "", 0}, {"scasd/scasw", "", 0},
    /*B0*/ {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"},
    /*B4*/ {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"}, {"mov", "Zb,Ib"},
    /*B8*/ {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"},
    /*BC*/ {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"}, {"mov", "Zv,Iv"},
    /*C0*/ {Shift, "Eb,Ib"}, {Shift, "Ev,Ib"}, {"ret", "Iw", 0}, {"ret", "", 0},
    /*C4*/ {"les", "Gv,Mp"}, {"lds", "Gv,Mp"}, {"mov", "Eb,Ib"}, {"mov", "Ev,Iz", 0},
    /*C8*/ {"enter", "Iw,Ib", 0}, {"leave", "", 0}, {"retf", "Iw", 0}, {"retf", "", 0},
    /*CC*/ {"int3", "", 0}, {"int", "Ib", 0}, {"into", "", 0}, {"iretd/iret", "", 0},
    /*D0*/ {Shift, "Eb,1"}, {Shift, "Ev,1"}, {Shift, "Eb,CL"}, {Shift, "Ev,CL"},
    /*D4*/ {"aam", "Ib", 0}, {"aad", "Ib", 0}, Und, {"xlatb", "", 0},
    /*D8*/ {"add|mul|com|comp|sub|subr|div|divr", "", 0, 0x0008},
    /*D9*/ {"ld|xch|nop:st|stp1:stp|chs-abs---tst-xam--:ldenv|ld1-ldl2t-ldl2e-ldpi-ldlg2-ldln2-ldz-:ldcw|"
            "2xm1-yl2x-ptan-patan-xtract-prem1-decstp-incstp:nstenv|prem-yl2xp1-sqrt-sincos-rndint-scale-sin-cos:nstcw",
            "", 0, 0x0008},
    /*DA*/ {"cmovb:iadd|cmove:imul|cmovbe:icom|cmovu:icomp|:isub|-ucompp------:isubr|:idiv|:idivr", "", 0, 0x0008},
    /*DB*/ {"cmovnb:ild|cmovne:isttp|cmovnbe:ist|cmovnu:istp|neni-ndisi-nclex-ninit-setpm---:|ucomi:ld|comi:|:stp",
            "", 0, 0x0008},
    /*DC*/ {"add|mul|com2:com|comp3:comp|subr:sub|sub:subr|divr:div|div:divr", "", 0, 0x0008},
    /*DD*/ {"free:ld|xch4:isttp|st|stp|ucom:rstor|ucomp:|:nsave|:nstsw", "", 0, 0x0008},
    /*DE*/ {"addp:iadd|mulp:imul|comp5:icom|compp:icomp|subrp:isub|subp:isubr|divrp:idiv|divp:idivr", "", 0, 0x0008},
    /*DF*/ {"freep:ild|xch7:isttp|stp8:ist|stp9:istp|nstsw:bld|ucomip:ild|comip:bstp|:istp", "", 0, 0x0008},
    /*E0*/ {"loopne", "Jb"}, {"loope", "Jb"}, {"loop", "Jb"}, {"jecxz/jcxz", "Jb"},
    /*E4*/ {"in", "AL,Ib"}, {"in", "eAX,Ib"}, {"out", "Ib,AL"}, {"out", "Ib,eAX"},
    /*E8*/ {"call", "Jz"}, {"jmp", "Jz"}, {"jmp", "Ap", 0}, {"jmp", "Jb"},
    /*EC*/ {"in", "AL,DX"}, {"in", "eAX,DX"}, {"out", "DX,AL"}, {"out", "DX,eAX"},
    /*F0*/ Pfx, Und, Pfx, Pfx,
    /*F4*/ {"hlt", "", 0}, {"cmc", "", 0}, {"test||not|neg|mul|imul|div|idiv", "", 0, 0x0008},
           {"test||not|neg|mul|imul|div|idiv", "", 0, 0x0008},
    /*F8*/ {"clc", "", 0}, {"stc", "", 0}, {"cli", "", 0}, {"sti", "", 0},
    /*FC*/ {"cld", "", 0}, {"std", "", 0}, {"inc|dec", "Eb", 0}, {"inc|dec|call|call|jmp|jmp|push", "Ev", 0, 0x01A0},
}};

inline constexpr const char* PxQx = "Px,Qx";

inline constexpr std::array<TOpSpec, 256> TwoByteSpec = {{
    /*00*/ {"sldt|str|lldt|ltr|verr|verw", "Ew", 0}, {"sgdt|sidt|lgdt|lidt|smsw||lmsw|rdtscp:invlpg", "Ew", 0},
           {"lar", "Gv,Ew"}, {"lsl", "Gv,Ew"},
    /*04*/ Und, {"syscall", "", 0}, {"clts", "", 0}, {"sysret", "", 0},
    /*08*/ {"invd", "", 0}, {"wbinvd", "", 0}, Und, Und,
    /*0C*/ Und, {"prefetch|prefetchw", "Mb", 0}, {"femms", "", 0}, {"", "P,Q,Ib", 0, 0x049F},
    /*10*/ {"movups/movupd/movss/movsd", "V,W"}, {"movups/movupd/movss/movsd", "W,V"},
           {"movhlps/movlpd/movsldup/movddup:movlps/movlpd/movsldup/movddup", "V,W"}, {"movlpS", "Mq,V", 0},
    /*14*/ {"unpcklpS", "V,W"}, {"unpckhpS", "V,W"},
           {"movlhps/movhpd/movshdup/:movhps/movhpd/movshdup/", "V,W"},
           {"movlhps/movhpd/movshdup/:movhps/movhpd/movshdup/", "Mq,V", 0},
    /*18*/ {"prefetchnta|prefetcht0|prefetcht1|prefetcht2", "Mb", 0}, Und, Und, Und,
    /*1C*/ Und, Und, Und, {"nop", "Ev", 0},
    /*20*/ {"mov", "Rd,Cd"}, {"mov", "Rd,Dd"}, {"mov", "Cd,Rd", 0}, {"mov", "Dd,Rd", 0},
    /*24*/ Und, Und, Und, Und,
    /*28*/ {"movapS", "V,W"}, {"movapS", "W,V", 0},
           {"cvtpi2ps/cvtpi2pd/cvtsi2ss/cvtsi2sd", "V,Q/V,Q/V,Ey/V,Ey"}, {"movntpS", "Mo,V", 0},
    /*2C*/ {"cvttps2pi/cvttpd2pi/cvttss2si/cvttsd2si", "P,W/P,W/Gy,W/Gy,W", 0},
           {"cvtps2pi/cvtpd2pi/cvtss2si/cvtsd2si", "P,W/P,W/Gy,W/Gy,W", 0},
           {"ucomisS", "V,W", 0}, {"comisS", "V,W", 0},
    /*30*/ {"wrmsr", "", 0}, {"rdtsc", "", 0}, {"rdmsr", "", 0}, {"rdpmc", "", 0},
    /*34*/ {"sysenter", "", 0}, {"sysexit", "", 0}, Und, Und,
    /*38*/ Und, Und, Und, Und,
    /*3C*/ Und, Und, Und, Und,
    /*40*/ {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"},
    /*44*/ {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"},
    /*48*/ {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"},
    /*4C*/ {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"}, {"cmov%cc", "Gv,Ev"},
    /*50*/ {"movmskpS", "Gd,U"}, {"sqrtPS", "V,W"}, {"rsqrtPS", "V,W"}, {"rcpPS", "V,W"},
    /*54*/ {"andpS", "V,W"}, {"andnpS", "V,W"}, {"orpS", "V,W"}, {"xorpS", "V,W"},
    /*58*/ {"addPS", "V,W"}, {"mulPS", "V,W"}, {"cvtps2pd/cvtpd2ps/cvtss2sd/cvtsd2ss", "V,W"},
           {"cvtdq2ps/cvtps2dq/cvttps2dq/", "V,W"},
    /*5C*/ {"subPS", "V,W"}, {"minPS", "V,W"}, {"divPS", "V,W"}, {"maxPS", "V,W"},
    /*60*/ {"punpcklbw", PxQx}, {"punpcklwd", PxQx}, {"punpckldq", PxQx}, {"packsswb", PxQx},
    /*64*/ {"pcmpgtb", PxQx}, {"pcmpgtw", PxQx}, {"pcmpgtd", PxQx}, {"packuswb", PxQx},
    /*68*/ {"punpckhbw", PxQx}, {"punpckhwd", PxQx}, {"punpckhdq", PxQx}, {"packssdw", PxQx},
    /*6C*/ {"punpcklqdq", PxQx}, {"punpckhqdq", PxQx}, {"movd", "Px,Ey"},
           {"movq/movdqa/movdqu/", "Px,Qx/Px,Qx/V,W/"},
    /*70*/ {"pshufw/pshufd/pshufhw/pshuflw", "Px,Qx,Ib/Px,Qx,Ib/V,W,Ib/V,W,Ib"},
           {"||psrlw||psraw||psllw|", "Nx,Ib", 0}, {"||psrld||psrad||pslld|", "Nx,Ib", 0},
           {"||psrlq|psrldq|||psllq|pslldq", "Nx,Ib", 0},
    /*74*/ {"pcmpeqb", PxQx}, {"pcmpeqw", PxQx}, {"pcmpeqd", PxQx}, {"emms", "", 0},
    /*78*/ Und, Und, Und, Und,
    /*7C*/ {"/haddpd//haddps", "V,W"}, {"/hsubpd//hsubps", "V,W"},
           {"movd/movd/movq/", "Ey,Px/Ey,Px/V,W/", 0}, {"movq/movdqa/movdqu/", "Qx,Px/Qx,Px/W,V/", 0},
    /*80*/ {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"},
    /*84*/ {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"},
    /*88*/ {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"},
    /*8C*/ {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"}, {Jcc, "Jz"},
    /*90*/ {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"},
    /*94*/ {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"},
    /*98*/ {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"},
    /*9C*/ {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"}, {"set%cc", "Eb"},
    /*A0*/ {"push %seg", "", 0}, {"pop %seg", "", 0}, {"cpuid", "", 0}, {"bt", "Ev,Gv", 0},
    /*A4*/ {"shld", "Ev,Gv,Ib"}, {"shld", "Ev,Gv,CL"}, Und, Und,
    /*A8*/ {"push %seg", "", 0}, {"pop %seg", "", 0}, {"rsm", "", 0}, {"bts", "Ev,Gv"},
    /*AC*/ {"shrd", "Ev,Gv,Ib"}, {"shrd", "Ev,Gv,CL"},
           {"fxsave|fxrstor|ldmxcsr|stmxcsr||lfence:|mfence:|sfence:clflush", "M", 0}, {"imul", "Gv,Ev"},
    /*B0*/ {"cmpxchg", "Eb,Gb", trEaxModRM}, {"cmpxchg", "Ev,Gv", trEaxModRM}, {"lss", "Gv,Mp"}, {"btr", "Ev,Gv"},
    /*B4*/ {"lfs", "Gv,Mp"}, {"lgs", "Gv,Mp"}, {"movzx", "Gv,Eb"}, {"movzx", "Gv,Ew"},
    /*B8*/ Und, Und, {"||||bt|bts|btr|btc", "Ev,Ib", 0}, {"btc", "Ev,Gv"},
    /*BC*/ {"bsf", "Gv,Ev"}, {"bsr", "Gv,Ev"}, {"movsx", "Gv,Eb"}, {"movsx", "Gv,Ew"},
    /*C0*/ {"xadd", "Eb,Gb", trRegModRM}, {"xadd", "Ev,Gv", trRegModRM}, {"cmpPS", "V,W,Ib", 0},
           {"movnti", "Md,Gy", 0},
    /*C4*/ {"pinsrw", "Px,Ed,Ib", 0}, {"pextrw", "Gd,Nx,Ib"}, {"shufpS", "V,W,Ib", 0}, {"|cmpxchg8b", "Mq", 0},
    /*C8*/ {"bswap", "Zv"}, {"bswap", "Zv"}, {"bswap", "Zv"}, {"bswap", "Zv"},
    /*CC*/ {"bswap", "Zv"}, {"bswap", "Zv"}, {"bswap", "Zv"}, {"bswap", "Zv"},
    /*D0*/ {"/addsubpd//addsubps", "V,W"}, {"psrlw", PxQx}, {"psrld", PxQx}, {"psrlq", PxQx},
    /*D4*/ {"paddq", PxQx}, {"pmullw", PxQx}, {"/movq/movq2dq/movdq2q", "/W,V/V,N/P,U", 0}, {"pmovmskb", "Gd,Nx"},
    /*D8*/ {"psubusb", PxQx}, {"psubusw", PxQx}, {"pminub", PxQx}, {"pand", PxQx},
    /*DC*/ {"paddusb", PxQx}, {"paddusw", PxQx}, {"pmaxub", PxQx}, {"pandn", PxQx},
    /*E0*/ {"pavgb", PxQx}, {"psraw", PxQx}, {"psrad", PxQx}, {"pavgw", PxQx},
    /*E4*/ {"pmulhuw", PxQx}, {"pmulhw", PxQx}, {"/cvttpd2dq/cvtdq2pd/cvtpd2dq", "V,W"}, {"movntq/movntdq", "M,Px", 0},
    /*E8*/ {"psubsb", PxQx}, {"psubsw", PxQx}, {"pminsw", PxQx}, {"por", PxQx},
    /*EC*/ {"paddsb", PxQx}, {"paddsw", PxQx}, {"pmaxsw", PxQx}, {"pxor", PxQx},
    /*F0*/ {"///lddqu", "V,M"}, {"psllw", PxQx}, {"pslld", PxQx}, {"psllq", PxQx},
    /*F4*/ {"pmuludq", PxQx}, {"pmaddwd", PxQx}, {"psadbw", PxQx}, {"maskmovq/maskmovdqu", "Px,Nx", 0},
    /*F8*/ {"psubb", PxQx}, {"psubw", PxQx}, {"psubd", PxQx}, {"psubq", PxQx},
    /*FC*/ {"paddb", PxQx}, {"paddw", PxQx}, {"paddd", PxQx}, Und,
}};

// The group rows: per reg field, the memory forms, then the register forms.
struct TGroupSpec {
    uint8_t Opcode;
    std::array<TOpSpec, 8> Memory;
    std::array<TOpSpec, 8> Register;
};

inline constexpr TOpSpec FpuMem(std::string_view Ops) { return {"f", Ops, 0}; }
inline constexpr TOpSpec FpuReg(std::string_view Ops) { return {"f", Ops, 0}; }

inline constexpr std::array<TGroupSpec, 10> GroupSpec = {{
    {0xF6,
     {{{"g", "Eb,Ib", 0}, Und, {"g", "Eb", trModRM}, {"g", "Eb", trModRM},
       {"g", "Eb", trEax}, {"g", "Eb", trEax}, {"g", "Eb", trEax}, {"g", "Eb", trEax}}},
     {{{"g", "Eb,Ib", 0}, Und, {"g", "Eb", trModRM}, {"g", "Eb", trModRM},
       {"g", "Eb", trEax}, {"g", "Eb", trEax}, {"g", "Eb", trEax}, {"g", "Eb", trEax}}}},
    {0xF7,
     {{{"g", "Ev,Iz", 0}, Und, {"g", "Ev", trModRM}, {"g", "Ev", trModRM},
       {"g", "Ev", trEax}, {"g", "Ev", trEax}, {"g", "Ev", trEax}, {"g", "Ev", trEax}}},
     {{{"g", "Ev,Iz", 0}, Und, {"g", "Ev", trModRM}, {"g", "Ev", trModRM},
       {"g", "Ev", trEax}, {"g", "Ev", trEax}, {"g", "Ev", trEax}, {"g", "Ev", trEax}}}},
    {0xD8,
     {{FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), FpuMem("Md"),
       FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), FpuMem("Md")}},
     {{FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("STi"), FpuReg("STi"),
       FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi")}}},
    {0xD9,
     {{FpuMem("Md"), Und, FpuMem("Md"), FpuMem("Md"), FpuMem("M"), FpuMem("Mw"), FpuMem("M"), FpuMem("Mw")}},
     {{FpuReg("STi"), FpuReg("STi"), FpuReg(""), FpuReg("STi"),
       FpuReg(""), FpuReg(""), FpuReg(""), FpuReg("")}}},
    {0xDA,
     {{FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), FpuMem("Md"),
       FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), FpuMem("Md")}},
     {{FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi"), Und, FpuReg(""), Und, Und}}},
    {0xDB,
     {{FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), FpuMem("Md"), Und, FpuMem("Mt"), Und, FpuMem("Mt")}},
     {{FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi"), FpuReg("ST,STi"),
       FpuReg(""), FpuReg("ST,STi"), FpuReg("ST,STi"), Und}}},
    {0xDC,
     {{FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq"),
       FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq")}},
     {{FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi"), FpuReg("STi"),
       FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi,ST")}}},
    {0xDD,
     {{FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq"), FpuMem("Mq"), FpuMem("M"), Und, FpuMem("M"), FpuMem("Mw")}},
     {{FpuReg("STi"), FpuReg("STi"), FpuReg("STi"), FpuReg("STi"), FpuReg("STi"), FpuReg("STi"), Und, Und}}},
    {0xDE,
     {{FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw"),
       FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw")}},
     {{FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi"), FpuReg(""),
       FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi,ST"), FpuReg("STi,ST")}}},
    {0xDF,
     {{FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw"), FpuMem("Mw"),
       FpuMem("Mt"), FpuMem("Mq"), FpuMem("Mt"), FpuMem("Mq")}},
     {{FpuReg("STi"), FpuReg("STi"), FpuReg("STi"), FpuReg("STi"),
       FpuReg("AX"), FpuReg("ST,STi"), FpuReg("ST,STi"), Und}}},
}};
// clang-format on

// --- Deriving the flag words -------------------------------------------------------

// The first of the "/"-separated variants of a template.
constexpr std::string_view FirstVariant(std::string_view Ops)
{
    auto P = Ops.find('/');
    if (P == 0) { // no variant without prefix: take the first non-empty one
        while (P != std::string_view::npos && P + 1 < Ops.size() && Ops[P + 1] == '/')
            P++;
        Ops = Ops.substr(P + 1);
        P = Ops.find('/');
    }
    return P == std::string_view::npos ? Ops : Ops.substr(0, P);
}

template <typename F> constexpr void ForEachToken(std::string_view Ops, F&& Visit)
{
    while (!Ops.empty()) {
        auto P = Ops.find(',');
        Visit(Ops.substr(0, P));
        if (P == std::string_view::npos)
            break;
        Ops = Ops.substr(P + 1);
    }
}

constexpr bool IsModRMToken(std::string_view T)
{
    return T.starts_with("E") || T.starts_with("M") || T == "Rd" || T == "Q" || T == "N" ||
           T == "W" || T == "U" || T == "Qx" || T == "Nx";
}

constexpr int RegisterKind(std::string_view T)
{
    if (T == "Gb")
        return 1;
    if (T == "Zb")
        return 2;
    if (T == "AL" || T == "eAX" || T == "AX")
        return 3;
    if (T == "Gv" || T == "Gw" || T == "Gd" || T == "Gy")
        return 4;
    if (T == "Zv")
        return 5;
    if (T == "Sw" || T == "Cd" || T == "Dd")
        return 6;
    if (T == "P" || T == "V" || T == "Px" || T == "ST")
        return 7;
    return 0;
}

constexpr uint16_t DeriveFlagWord(const TOpSpec& S)
{
    if (S.Word)
        return S.Word;
    if (S.Mn.empty())
        return 0;
    std::string_view Ops = FirstVariant(S.Ops);
    int R = 0, M = 0, Imm = 0, Rel = 0, Imms = 0, Track = 0;
    bool Byte = false, Wide = false, ModRMFirst = false, First = true;
    std::string_view MTok;
    ForEachToken(Ops, [&](std::string_view T) {
        if (T.empty())
            return;
        if (IsModRMToken(T)) {
            if (!M) {
                MTok = T;
                if (T == "Eb")
                    M = 2;
                else if (T == "Ev" || T == "Ey")
                    M = 4;
                else if (T == "W" || T == "U")
                    M = 6;
                else if (T == "Qx" || T == "Nx")
                    M = 5;
                else
                    M = 3;
                if (First)
                    ModRMFirst = true;
            }
        } else if (int K = RegisterKind(T)) {
            if (!R)
                R = K;
        }
        if (T == "Eb" || T == "Gb" || T == "Zb" || T == "AL")
            Byte = true;
        if (T == "Ev" || T == "Gv" || T == "Zv" || T == "eAX")
            Wide = true;
        if (T == "Ib" || T == "Jb")
            Imm = 1, Imms++;
        else if (T == "Iw")
            Imm = 2, Imms++;
        else if (T == "Iz" || T == "Iv" || T == "Jz")
            Imm = 3, Imms++;
        if (T[0] == 'J')
            Rel = 1;
        if (First) {
            if (T[0] == 'G')
                Track = trReg;
            else if (T[0] == 'E' || T == "Rd")
                Track = trModRM;
            else if (T[0] == 'Z')
                Track = trOpcodeReg;
            else if (T == "AL" || T == "eAX" || T == "AX")
                Track = trEax;
        }
        First = false;
    });
    if (Imms > 1)
        Imm = 0; // enter: two immediates, sized specially
    if (M == 5 && R != 7)
        M = 7; // an MMX/XMM operand beside a general register
    int Size;
    if (Byte && !Wide)
        Size = 0;
    else if (M == 4)
        Size = 3;
    else if (Wide && M == 0)
        Size = 1;
    else if (!R && !M)
        Size = 0;
    else
        Size = 2;
    bool ShowSize =
        M >= 2 && M <= 4 && R == 0 && MTok != "M" && MTok != "Mp" && MTok != "Ma" && MTok != "Rd";
    if (S.Track >= 0)
        Track = S.Track;
    return static_cast<uint16_t>(R | (M << 3) | (Size << 6) | (ShowSize ? 0x100 : 0) |
                                 (ModRMFirst ? 0x200 : 0) | (Imm << 10) | (Rel << 12) |
                                 (Track << 13));
}

constexpr std::array<uint16_t, 256> DeriveTable(const std::array<TOpSpec, 256>& Spec)
{
    std::array<uint16_t, 256> T{};
    for (size_t I = 0; I < 256; I++)
        T[I] = DeriveFlagWord(Spec[I]);
    return T;
}

// --- The mnemonic list ----------------------------------------------------------------

constexpr bool IsMnemonic(std::string_view Mn)
{
    return !Mn.empty() && Mn != "!";
}

// Plain entries first, alphabetically, then the entries that only exist
// under a prefix ("/addsubpd//addsubps"), then the group entries ("|" lists).
constexpr int MnemonicClass(std::string_view S)
{
    return S.find('|') != std::string_view::npos ? 2 : S.starts_with("/") ? 1 : 0;
}

constexpr bool MnemonicBefore(std::string_view A, std::string_view B)
{
    if (MnemonicClass(A) != MnemonicClass(B))
        return MnemonicClass(A) < MnemonicClass(B);
    return A < B;
}

struct TMnemonicSet {
    std::array<std::string_view, 512> Items{};
    size_t Count = 0;
};

constexpr TMnemonicSet CollectMnemonics()
{
    // Sorted with each entry's class computed once: the compile-time budget
    // of some compilers is too small for recomputing it in every comparison.
    struct TKeyed {
        int Class;
        std::string_view Mn;
    };
    std::array<TKeyed, 512> Keyed{};
    size_t N = 0;
    for (auto* Spec : {&OneByteSpec, &TwoByteSpec})
        for (auto& O : *Spec)
            if (IsMnemonic(O.Mn))
                Keyed[N++] = {MnemonicClass(O.Mn), O.Mn};
    std::sort(Keyed.begin(), Keyed.begin() + N, [](const TKeyed& A, const TKeyed& B) {
        return A.Class != B.Class ? A.Class < B.Class : A.Mn < B.Mn;
    });
    TMnemonicSet S;
    for (size_t I = 0; I < N; I++)
        if (S.Count == 0 || S.Items[S.Count - 1] != Keyed[I].Mn)
            S.Items[S.Count++] = Keyed[I].Mn;
    return S;
}

inline constexpr TMnemonicSet Mnemonics = CollectMnemonics();

constexpr size_t MnemonicListLength()
{
    size_t N = 0;
    for (size_t I = 0; I < Mnemonics.Count; I++)
        N += Mnemonics.Items[I].size() + 1;
    return N;
}

constexpr std::array<char, MnemonicListLength()> BuildMnemonicList()
{
    std::array<char, MnemonicListLength()> L{};
    size_t P = 0;
    for (size_t I = 0; I < Mnemonics.Count; I++) {
        for (char C : Mnemonics.Items[I])
            L[P++] = C;
        L[P++] = '\x01';
    }
    return L;
}

constexpr uint8_t MnemonicIndexOf(std::string_view Mn)
{
    if (!IsMnemonic(Mn))
        return 0;
    auto End = Mnemonics.Items.begin() + Mnemonics.Count;
    auto It = std::lower_bound(Mnemonics.Items.begin(), End, Mn, MnemonicBefore);
    return It != End && *It == Mn ? static_cast<uint8_t>(It - Mnemonics.Items.begin() + 1) : 0;
}

constexpr std::array<uint8_t, 256> DeriveIndex(const std::array<TOpSpec, 256>& Spec)
{
    std::array<uint8_t, 256> T{};
    for (size_t I = 0; I < 256; I++)
        T[I] = MnemonicIndexOf(Spec[I].Mn);
    return T;
}

// --- The three-byte maps (x86-64 mode, legacy encodings) -------------------------------
// Names and operands for texts only; which opcodes exist is the decoder's
// own opcode set. Variants by prefix as in the two-byte map; "X0" is the
// implicit xmm0 of the blend instructions.
struct TThreeByteSpec {
    uint8_t Map; // 2: 0F38, 3: 0F3A
    uint8_t Op;
    std::string_view Mn;
    std::string_view Ops;
};

// clang-format off
inline constexpr TThreeByteSpec ThreeByteSpec[] = {
    {2, 0x00, "pshufb", "Px,Qx"}, {2, 0x01, "phaddw", "Px,Qx"}, {2, 0x02, "phaddd", "Px,Qx"},
    {2, 0x03, "phaddsw", "Px,Qx"}, {2, 0x04, "pmaddubsw", "Px,Qx"}, {2, 0x05, "phsubw", "Px,Qx"},
    {2, 0x06, "phsubd", "Px,Qx"}, {2, 0x07, "phsubsw", "Px,Qx"}, {2, 0x08, "psignb", "Px,Qx"},
    {2, 0x09, "psignw", "Px,Qx"}, {2, 0x0A, "psignd", "Px,Qx"}, {2, 0x0B, "pmulhrsw", "Px,Qx"},
    {2, 0x10, "pblendvb", "V,W,X0"}, {2, 0x14, "blendvps", "V,W,X0"}, {2, 0x15, "blendvpd", "V,W,X0"},
    {2, 0x17, "ptest", "V,W"}, {2, 0x1C, "pabsb", "Px,Qx"}, {2, 0x1D, "pabsw", "Px,Qx"},
    {2, 0x1E, "pabsd", "Px,Qx"}, {2, 0x20, "pmovsxbw", "V,W"}, {2, 0x21, "pmovsxbd", "V,W"},
    {2, 0x22, "pmovsxbq", "V,W"}, {2, 0x23, "pmovsxwd", "V,W"}, {2, 0x24, "pmovsxwq", "V,W"},
    {2, 0x25, "pmovsxdq", "V,W"}, {2, 0x28, "pmuldq", "V,W"}, {2, 0x29, "pcmpeqq", "V,W"},
    {2, 0x2A, "movntdqa", "V,M"}, {2, 0x2B, "packusdw", "V,W"}, {2, 0x30, "pmovzxbw", "V,W"},
    {2, 0x31, "pmovzxbd", "V,W"}, {2, 0x32, "pmovzxbq", "V,W"}, {2, 0x33, "pmovzxwd", "V,W"},
    {2, 0x34, "pmovzxwq", "V,W"}, {2, 0x35, "pmovzxdq", "V,W"}, {2, 0x37, "pcmpgtq", "V,W"},
    {2, 0x38, "pminsb", "V,W"}, {2, 0x39, "pminsd", "V,W"}, {2, 0x3A, "pminuw", "V,W"},
    {2, 0x3B, "pminud", "V,W"}, {2, 0x3C, "pmaxsb", "V,W"}, {2, 0x3D, "pmaxsd", "V,W"},
    {2, 0x3E, "pmaxuw", "V,W"}, {2, 0x3F, "pmaxud", "V,W"}, {2, 0x40, "pmulld", "V,W"},
    {2, 0x41, "phminposuw", "V,W"}, {2, 0x80, "invept", "Gy,Mo"}, {2, 0x81, "invvpid", "Gy,Mo"},
    {2, 0x82, "invpcid", "Gy,Mo"}, {2, 0xC8, "sha1nexte", "V,W"}, {2, 0xC9, "sha1msg1", "V,W"},
    {2, 0xCA, "sha1msg2", "V,W"}, {2, 0xCB, "sha256rnds2", "V,W,X0"}, {2, 0xCC, "sha256msg1", "V,W"},
    {2, 0xCD, "sha256msg2", "V,W"}, {2, 0xCF, "gf2p8mulb", "V,W"}, {2, 0xDB, "aesimc", "V,W"},
    {2, 0xDC, "aesenc", "V,W"}, {2, 0xDD, "aesenclast", "V,W"}, {2, 0xDE, "aesdec", "V,W"},
    {2, 0xDF, "aesdeclast", "V,W"},
    {2, 0xF0, "movbe/movbe//crc32", "Gv,Ev/Gv,Ev//Gy,Eb"},
    {2, 0xF1, "movbe/movbe//crc32", "Ev,Gv/Ev,Gv//Gy,Ev"},
    {2, 0xF6, "/adcx/adox/", "/Gy,Ey/Gy,Ey/"},
    {3, 0x08, "roundps", "V,W,Ib"}, {3, 0x09, "roundpd", "V,W,Ib"}, {3, 0x0A, "roundss", "V,W,Ib"},
    {3, 0x0B, "roundsd", "V,W,Ib"}, {3, 0x0C, "blendps", "V,W,Ib"}, {3, 0x0D, "blendpd", "V,W,Ib"},
    {3, 0x0E, "pblendw", "V,W,Ib"}, {3, 0x0F, "palignr", "Px,Qx,Ib"}, {3, 0x14, "pextrb", "Ed,V,Ib"},
    {3, 0x15, "pextrw", "Ed,V,Ib"}, {3, 0x16, "pextrd", "Ey,V,Ib"}, {3, 0x17, "extractps", "Ed,V,Ib"},
    {3, 0x20, "pinsrb", "V,Ed,Ib"}, {3, 0x21, "insertps", "V,W,Ib"}, {3, 0x22, "pinsrd", "V,Ey,Ib"},
    {3, 0x40, "dpps", "V,W,Ib"}, {3, 0x41, "dppd", "V,W,Ib"}, {3, 0x42, "mpsadbw", "V,W,Ib"},
    {3, 0x44, "pclmulqdq", "V,W,Ib"}, {3, 0x60, "pcmpestrm", "V,W,Ib"}, {3, 0x61, "pcmpestri", "V,W,Ib"},
    {3, 0x62, "pcmpistrm", "V,W,Ib"}, {3, 0x63, "pcmpistri", "V,W,Ib"}, {3, 0xCC, "sha1rnds4", "V,W,Ib"},
    {3, 0xCE, "gf2p8affineqb", "V,W,Ib"}, {3, 0xCF, "gf2p8affineinvqb", "V,W,Ib"},
    {3, 0xDF, "aeskeygenassist", "V,W,Ib"},
};
// clang-format on

constexpr const TThreeByteSpec* FindThreeByte(uint8_t Map, uint8_t Op)
{
    for (auto& E : ThreeByteSpec)
        if (E.Map == Map && E.Op == Op)
            return &E;
    return nullptr;
}

} // namespace keldisasm
