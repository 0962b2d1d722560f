// The function parser of the crash library, and the disassembly listing it
// composes for one routine.
//
// The parser follows the machine code of one routine from its entry the way
// the processor could run it: it follows jumps, records calls, reads case jump
// tables and exception-handler tables, and so finds every byte of code that
// belongs to the routine. All code is read through a TCodeReader, so a routine
// of a failing process is looked at without ever being touched.
//
// Both CPU modes are served. 32-bit code is parsed with the patterns its
// compiler and runtime library use (case tables behind the jump, guarded
// blocks with handler tables, a halt routine that does not return). For
// x86-64 code of this process the routine's bounds come from its unwind
// entry (FDE), the landing pads of its C++ exception table are code, calls of
// routines that never return are known by name, and GCC's jump tables of
// 32-bit offsets are read.
#pragma once

#include "crashlib/kelDisAsm.h"
#include "crashlib/kelElfImage.h"
#include "crashlib/kelMapHooks.h"
#include "crashlib/kelMemory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Error codes of a failed parse.
inline constexpr uint32_t FuncErrorNotCommitted = 22;      // the system's "invalid argument"
inline constexpr uint32_t FuncErrorInvalidCode = 0x770001; // invalid code was met
inline constexpr uint32_t FuncErrorTooLarge = 0x770002; // more areas or instructions than allowed

inline constexpr const char* FuncTextInvalidCode = "Invalid code!";
inline constexpr const char* FuncTextTooLarge = "Function too large!";
inline constexpr const char* FuncTextInternalError =
    "Internal error in ParseFunction while composing the disassembling string...  :-(";

// A stretch of code, or of data embedded in the code.
struct TCodeArea {
    uint64_t Start = 0;
    uint64_t End = 0;           // inclusive; 0 while the area waits to be parsed
    uint8_t CaseTable = 0;      // a case jump table (never decoded)
    uint8_t HandlerTable = 0;   // an exception-handler table (never decoded)
    uint64_t Referrer = 0;      // the branch that led here; 0 for the entry and found code
    TRegisterSources Registers; // valid at the start of the area
    bool IsData() const { return CaseTable || HandlerTable; }
};

// A call, or a jump that leaves the routine.
struct TFunctionCall {
    uint8_t IsCall = 0;
    uint64_t Start = 0;
    uint64_t Next = 0;
    uint64_t Target = 0;
    uint8_t Relative = 0;
    uint64_t TargetLocation = 0;
    uint64_t TargetPointerLocation = 0;
};

// A call or jump whose target could not be worked out.
struct TOpenBranch {
    uint8_t IsCall = 0;
    uint64_t Start = 0;
    uint64_t Next = 0;
};

// A case jump: the jump, its table and the table's entries. Tables that GCC
// puts outside the code (x86-64: 32-bit offsets from the table) are kept
// here only; a table right behind its jump is also a data area.
struct TCaseTable {
    uint64_t Jump = 0;  // the indirect jump
    uint64_t Table = 0; // the first entry
    uint8_t EntrySize = 4;
    bool Relative = false;         // entries are offsets from Table
    std::vector<uint64_t> Targets; // in table order, as read
};

// Bookkeeping for a caller that copies the routine.
struct TFunctionCopyRecord {
    uint32_t Started = 0; // 1 once parsing has started
    uint32_t Size = 0;    // code length + 4, and 4 per call through a pointer location
    uintptr_t Word1 = 0;
    uintptr_t Word2 = 0;
    std::string Text;
};

struct TFunctionInfo {
    bool Valid = false;
    uint64_t EntryPoint = 0;
    uint64_t CodeBegin = 0;
    uint32_t CodeLength = 0; // highest area end - code begin + 1
    uint64_t ErrorAddress = 0;
    uint32_t ErrorCode = 0;
    std::string Text;                 // the listing, or on failure the error text
    std::vector<TCodeArea> CodeAreas; // in the order found
    std::vector<TFunctionCall> Calls;
    std::vector<TOpenBranch> OpenBranches;
    bool Patchable = false;
    TFunctionCopyRecord Copy;
    // Added for code of either mode beyond the 32-bit runtime's patterns.
    TCpuMode Mode = TCpuMode::x86;
    std::vector<TCaseTable> CaseTables;
    std::vector<uint64_t> LandingPads; // the exception table's, inside the bounds
};

// Addresses of the runtime library's exception-handling routines that the
// parser recognises as branch targets (0 = none).
struct TRuntimeHandlers {
    uint64_t AnyException = 0;  // the except block follows the jump
    uint64_t OnException = 0;   // a handler table follows the jump
    uint64_t AutoException = 0; // the area ends
    uint64_t Finally = 0;       // the finally block follows the jump
    uint64_t Halt = 0;          // does not return
    uint64_t CxxThrow = 0;      // does not return
};

// The five routines of this program's runtime library. The C++ runtime has
// no routines of the first four kinds (its handlers are found through the
// exception tables instead): they are 0. The halt routine is exit().
uint64_t GetAnyExceptionHandler();
uint64_t GetOnExceptionHandler();
uint64_t GetAutoExceptionHandler();
uint64_t GetFinallyHandler();
uint64_t GetHaltRoutine();

// Everything the parser needs to know about the code around a routine.
struct TParseSetup {
    TCpuMode Mode = TCpuMode::x64;
    std::shared_ptr<const TCodeReader> Memory;
    bool Committed = true; // the entry lies in committed memory
    // The code the routine may occupy, inclusive.
    uint64_t BoundsLow = 0;
    uint64_t BoundsHigh = 0;
    TRuntimeHandlers Handlers;
    std::vector<uint64_t> LandingPads;
    // Whether a call does not come back; empty: only the handlers above are
    // known.
    std::function<bool(const TInstructionInfo&)> NoReturn;
    // Limits: a routine needing more is reported as too large.
    uint32_t MaxAreas = 8192;
    uint32_t MaxInstructions = 200000;
    uint32_t MaxCaseEntries = 4096;
};

// Parses the routine at Code as Setup describes its surroundings.
void ParseFunctionIn(uint64_t Code, const TParseSetup& Setup, TFunctionInfo& Info);

// The setup for a routine of this process: memory through the fault-free
// reader (with Ranges, or a snapshot taken now when null), bounds from the routine's
// unwind entry or else its module's code segment or memory region, landing
// pads from its exception table, calls that never return known by name.
// Handlers left 0 are taken from this program's runtime library.
// Symbols, when given, are the process's symbols to name call targets with
// (one TProcessSymbols serves many parses; a new one reads the module list).
TParseSetup MakeProcessParseSetup(uint64_t Code, const TDATryRead* Ranges,
                                  const TRuntimeHandlers& Handlers = {},
                                  std::shared_ptr<class TProcessSymbols> Symbols = nullptr);

// A routine of this process, with the default settings.
void ParseFunction(uintptr_t Code, TFunctionInfo& Info);
// The full form: each handler left 0 is taken from this program's runtime.
void ParseFunctionEx(uintptr_t Code, const TDATryRead* Ranges, uintptr_t AnyException,
                     uintptr_t OnException, uintptr_t AutoException, uintptr_t Finally,
                     uintptr_t Halt, TFunctionInfo& Info);

// The unwind entry of a code address of this process: [Begin, End) of the
// routine part it covers and its exception table (0 when none).
struct TUnwindEntry {
    uint64_t Begin = 0;
    uint64_t End = 0;
    uint64_t Lsda = 0;
};
bool FindUnwindEntry(uint64_t Address, TUnwindEntry& Entry, const TCodeReader& Memory);
// The same through the search table of the module's ".eh_frame_hdr" at Hdr
// (where its PT_GNU_EH_FRAME segment is loaded); never touches the heap.
bool FindUnwindEntryByHeader(uint64_t Hdr, uint64_t Address, TUnwindEntry& Entry,
                             const TCodeReader& Memory);
// The landing pads of an exception table (LSDA) of a routine part starting
// at FunctionStart, each once, in table order.
std::vector<uint64_t> ReadLandingPads(uint64_t Lsda, uint64_t FunctionStart,
                                      const TCodeReader& Memory);

// Whether a routine of this name never returns (abort, exit, __cxa_throw,
// _Unwind_Resume, std::terminate, std::__throw_*...). Mangled and readable
// names are both known; a symbol version ("@GLIBC_2.2.5") is ignored.
bool IsNoReturnName(std::string_view Name);

// Names of code addresses of this process: the module's exported symbols,
// then the map data's name hook. Calls through the procedure linkage table
// are named after the routine they lead to.
class TProcessSymbols final : public TSymbolSource {
public:
    explicit TProcessSymbols(std::shared_ptr<const TCodeReader> Memory = nullptr);
    ~TProcessSymbols() override;
    std::string AddressToName(uint64_t Address, std::string& Module,
                              bool& MainProgram) const override;
    uint64_t ImageEnd(uint64_t Address) const override;
    // The name of the routine a call or jump leads to, also through a
    // linkage-table entry or a pointer slot filled by the dynamic linker.
    std::string TargetName(const TInstructionInfo& Branch) const;
    // The same from the modules' exports and linkage tables alone, never
    // from debug information (which may mean reading a module's DWARF).
    std::string ExportedTargetName(const TInstructionInfo& Branch) const;
    // The module image holding Address, read through the same memory; null
    // when no module holds it.
    const TElfLoadedImage* ImageOf(uint64_t Address) const;

    struct TImpl;

private:
    std::string Name(const TInstructionInfo& Branch, bool ExportsOnly) const;
    std::unique_ptr<TImpl> Impl;
};

// The name of the routine at Address in a module: its export first, then the
// map data's name hook. False when neither knows one.
bool AddressToName(uintptr_t Module, uintptr_t Address, std::string& Name);

// --- Listing ----------------------------------------------------------------

// What a listing is composed with besides the parse.
struct TListingSources {
    const TSymbolSource* Symbols = nullptr; // names for comments
    TMapLineHook Lines = nullptr;           // source lines; null: none shown
    std::string Name;                       // the routine's name; empty: "sub_" + address
};

// Composes the listing of a parsed routine (Info.Valid) into its lines joined
// by CR LF. Format writes branch targets inside the routine as labels and sets
// off tables and the ends of the code's flow; LineLimit (0 = none) keeps about
// that many lines before and after the crash address.
std::string ComposeFunctionListing(const TFunctionInfo& Info, const TParseSetup& Setup,
                                   uint64_t CrashAddress, bool Format, int LineLimit,
                                   const TListingSources& Sources);

// Parses the routine of this process at Code and composes its listing into
// Text (on failure the error text).
void ParseFunctionText(uintptr_t Code, std::string& Text, uintptr_t CrashAddress,
                       TFunctionInfo& Info, bool Format, int LineLimit);

// The routine the bug report calls for a listing: null until a unit that
// links the disassembler in (crashreport's kelLinkDisAsm) installs
// ParseFunctionText at start-up.
using TDisAsmListingHook = void (*)(uintptr_t Code, std::string& Text, uintptr_t CrashAddress,
                                    TFunctionInfo& Info, bool Format, int LineLimit);
extern std::atomic<TDisAsmListingHook> DisAsmListingHook;
