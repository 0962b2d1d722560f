// Facts about the system and the modules of this process, readable symbol
// names, resources stored in the program file, and per-thread message ports
// on which routines are registered per message number.
//
// The crash reporter describes the system it runs on, reads the version
// record and the resources of the program file, looks at module images in
// memory through the ELF reader (kelElfImage), checks memory before reading it
// and lets any thread receive messages posted from other threads.
#pragma once

#include "crashlib/kelElfImage.h"
#include "crashlib/kelTypes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

// --- Operating system ------------------------------------------------------

// Description of the operating system; filled once, then returned as a copy.
// Major, Minor and Build are the kernel's release numbers ("6.1.0-28-amd64"
// gives 6, 1, 0). The family and edition fields describe Windows and stay
// 0 / false here.
struct TOS {
    uint32_t Major = 0;
    uint32_t Minor = 0;
    uint32_t Build = 0;
    // The kernel release and the C library's version, "Linux 6.1.0-28-amd64, glibc 2.36".
    std::u16string ServicePackText;
    bool Is9x = false;
    uint8_t Edition9x = 0;
    bool IsNT = false;
    uint8_t EditionNT = 0;
    uint8_t Edition = 0;
    bool Is64Bit = false; // the kernel's machine is x86_64
    uint32_t ServicePack = 0;
    // The distribution's name, " x64" on a 64-bit kernel, a blank and the
    // service-pack text: "Debian GNU/Linux 12 (bookworm) x64 Linux 6.1.0-28-amd64, glibc 2.36".
    std::u16string Description;
};

TOS GetOsInfo();
// The same from given inputs: the kernel's release and machine (uname), the
// text of /etc/os-release, the C library's version.
TOS MakeOsInfo(std::string_view Release, std::string_view Machine, std::string_view OsRelease,
               std::string_view LibcVersion);

// Free system resources of Windows 9x; 0 on every other system.
uint16_t GetFreeSystemResources9x(uint16_t Kind);

// The root of a path: "/" for an absolute path, empty otherwise.
std::string GetPathRootA(std::string_view Path);
// Short and long forms of a path are the same on this system.
std::string ToShortPathA(std::string_view Path);
std::u16string ToShortPathW(std::u16string_view Path);
std::string ToLongPathA(std::string_view Path);
std::u16string ToLongPathW(std::u16string_view Path);

// "a.b.c.d" from the high and low 16 bits of the two version words.
std::string VersionToStrA(uint32_t MostSignificant, uint32_t LeastSignificant);
std::u16string VersionToStrW(uint32_t MostSignificant, uint32_t LeastSignificant);

// The file version of a program or library from its version note (owner
// "Tolvex", type 1, "name=value" lines): the FileVersion numbers when they
// are not all zero, else the text of a "StringFileInfo\<table>\FileVersion"
// line, trimmed. Empty when the file has no such note or cannot be read.
std::u16string GetFileVersionW(const std::u16string& FileName);
std::string GetFileVersionA(const std::string& FileName);

// --- Module images -----------------------------------------------------------
// A module is named by the address of its ELF header (see GetModuleList);
// 0 names the program itself.

using HModule = uintptr_t;

// The module's ELF header when a sound one is mapped there.
std::optional<TElfHeader> GetImageElfHeader(HModule Module);
// The span of the module's load segments in memory; 0 when it has none.
uint64_t GetSizeOfImage(HModule Module);
// The address of the module's dynamic symbol Name (see
// TElfLoadedImage::FindSymbol); 0 when it does not define it.
uintptr_t GetImageProcAddress(HModule Module, std::string_view Name);
// The name of the dynamic symbol defined at exactly Address, empty when there
// is none. With Unmangle, a name that UnmangleNameW changes is given in its
// readable form, preceded by its unit name and "." when it has one.
std::u16string GetExportNameW(HModule Module, uintptr_t Address, bool Unmangle);
std::string GetExportName(HModule Module, uintptr_t Address, bool Unmangle);

// The bytes of the resource Name of type Type stored in the module's file as
// the non-loaded section ".rsrc.<Type>.<Name>" (letters in any case); a
// numeric type is written in decimal. Empty when there is none.
std::string LoadResourceStr(HModule Module, std::string_view Type, std::string_view Name);
std::string LoadResourceStr(HModule Module, uint16_t Type, std::string_view Name);

// --- Names -------------------------------------------------------------------

// Turns a mangled symbol name into a readable one; true when it changed it.
// Names of the C++ ABI ("_Z...") become what the C++ runtime's demangler
// makes of them ("::" stays, no unit). Names of the form
// "@Unit@Class@Method$qv" become "Class.Method" with Unit "Unit"
// ("$bctr"/"$bdtr" give "Create"/"Destroy"). Any other name is left as it is.
bool UnmangleNameW(std::u16string& Name, std::u16string& Unit);
bool UnmangleNameA(std::string& Name, std::string& Unit);

// --- Memory and time -----------------------------------------------------------

// True when the range [Address, Address + Size) may not be read as the address
// space is now (unmapped, not readable, or running past its region of kind).
bool IsBadReadRange(uintptr_t Address, std::size_t Size);

// Milliseconds of a monotonic clock, cut to 32 bits.
uint32_t GetTickCount();
// Milliseconds since an earlier GetTickCount, modulo 2^32 (right across a wrap).
uint32_t TicksSince(uint32_t Earlier);

// Makes KelException the class of the library's exception objects when no
// other class has been installed.
void InitKelExceptionClass();

// --- Message ports -------------------------------------------------------------
// Every thread may have a message port, the stand-in for a hidden window:
// messages posted to it from any thread queue up, and the owning thread runs
// the routines registered for their numbers when it drains the queue. A
// thread's queue signals through an eventfd (GetMsgPortFd) that the thread's
// event loop watches; the main thread's is drained by the program's event loop.

using HMsgPort = uintptr_t; // 0 = none; a port's number is never used again
using TMsgHandlerProc = void (*)(HMsgPort Port, uint32_t Msg, uintptr_t WParam, intptr_t& Result,
                                 intptr_t LParam);
using TMsgHandlerMethod = void (*)(void* Instance, HMsgPort Port, uint32_t Msg, uintptr_t WParam,
                                   intptr_t& Result, intptr_t LParam);

// The message that closes a port.
inline constexpr uint32_t MsgPortClose = 0x10;
// Messages from this number on all reach the handlers; below it only those a
// hidden window receives (system, session and settings changes and the like).
inline constexpr uint32_t MsgPortFirstUser = 0x218;

// The port of a thread (0 = the calling thread), created when the calling
// thread asks for its own; 0 for another thread that has none.
HMsgPort GetMsgHandlerWindow(pid_t ThreadId = 0);

// Registers a routine (or a method: code and instance, with Handler null) for
// a message on a thread's port. Message 0 picks the lowest number from 1024 on
// that the port does not use yet. Returns the message number; 0 when the
// thread has no port (another thread's is never created) or the same routine
// is already registered for that message.
uint32_t AddMsgHandler(TMsgHandlerProc Handler, uint32_t Msg = 0, pid_t ThreadId = 0);
uint32_t AddMsgHandlerEx(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId,
                         TMsgHandlerMethod MethodCode, void* Instance);

// Removes every registration of the routine (for Msg only, unless it is 0).
// When the port has no routines left it goes away: at once on its own thread,
// through a posted close message from another thread. When this returns, the
// routine is not running on another thread and will not be called again, so
// its instance may be freed. (A routine must therefore not wait for a thread
// that is removing it.)
void DelMsgHandler(TMsgHandlerProc Handler, uint32_t Msg = 0, pid_t ThreadId = 0);
void DelMsgHandlerEx(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId,
                     TMsgHandlerMethod MethodCode, void* Instance);

// Queues a message for a port; false when there is no such port.
bool PostMsg(HMsgPort Port, uint32_t Msg, uintptr_t WParam = 0, intptr_t LParam = 0);

// The calling thread's message descriptor: readable while messages wait. It
// stays the same for the life of the thread, whatever ports come and go.
int GetMsgPortFd();
// Handles the messages waiting for the calling thread's ports, in the order
// they came; returns how many were taken from the queue.
int DrainMsgPort();
