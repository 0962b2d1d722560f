#include "crashlib/kelTools.h"

#include "crashlib/kelStrings.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <deque>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// --- Operating system ------------------------------------------------------

namespace {

std::string ReadSmallFile(const char* Path)
{
    std::string Out;
    int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    if (Fd < 0)
        return Out;
    char Buf[4096];
    for (;;) {
        ssize_t Got = read(Fd, Buf, sizeof Buf);
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got <= 0 || Out.size() > (1u << 20))
            break;
        Out.append(Buf, static_cast<std::size_t>(Got));
    }
    close(Fd);
    return Out;
}

// A value of os-release: shell-like, optionally quoted, with \-escapes.
std::string OsReleaseValue(std::string_view Text, std::string_view Key)
{
    while (!Text.empty()) {
        std::size_t Eol = Text.find('\n');
        std::string_view Line = Text.substr(0, Eol);
        Text.remove_prefix(Eol == std::string_view::npos ? Text.size() : Eol + 1);
        while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' '))
            Line.remove_suffix(1);
        if (Line.size() <= Key.size() || Line.substr(0, Key.size()) != Key ||
            Line[Key.size()] != '=')
            continue;
        std::string_view V = Line.substr(Key.size() + 1);
        std::string Out;
        char Quote = 0;
        if (!V.empty() && (V.front() == '"' || V.front() == '\'')) {
            Quote = V.front();
            V.remove_prefix(1);
        }
        for (std::size_t I = 0; I < V.size(); ++I) {
            char C = V[I];
            if (Quote != 0 && C == Quote)
                break;
            if (C == '\\' && Quote != '\'' && I + 1 < V.size()) {
                Out += V[++I];
                continue;
            }
            Out += C;
        }
        return Out;
    }
    return {};
}

uint32_t LeadingNumber(std::string_view& S)
{
    uint64_t V = 0;
    std::size_t I = 0;
    for (; I < S.size() && I < 9 && S[I] >= '0' && S[I] <= '9'; ++I)
        V = V * 10 + static_cast<uint64_t>(S[I] - '0');
    S.remove_prefix(I);
    return static_cast<uint32_t>(V);
}

} // namespace

TOS MakeOsInfo(std::string_view Release, std::string_view Machine, std::string_view OsRelease,
               std::string_view LibcVersion)
{
    TOS Os;
    std::string_view R = Release;
    Os.Major = LeadingNumber(R);
    if (!R.empty() && R.front() == '.') {
        R.remove_prefix(1);
        Os.Minor = LeadingNumber(R);
        if (!R.empty() && R.front() == '.') {
            R.remove_prefix(1);
            Os.Build = LeadingNumber(R);
        }
    }
    Os.Is64Bit = Machine == "x86_64";
    std::string Sp;
    if (!Release.empty())
        Sp = "Linux " + std::string(Release);
    if (!LibcVersion.empty())
        Sp += (Sp.empty() ? "" : ", ") + std::string("glibc ") + std::string(LibcVersion);
    Os.ServicePackText = Utf8ToWide(Sp);

    std::string Name = OsReleaseValue(OsRelease, "PRETTY_NAME");
    if (Name.empty())
        Name = OsReleaseValue(OsRelease, "NAME");
    if (Name.empty())
        Name = "Linux";
    if (Os.Is64Bit)
        Name += " x64";
    if (!Sp.empty())
        Name += " " + Sp;
    Os.Description = Utf8ToWide(Name);
    return Os;
}

TOS GetOsInfo()
{
    static const TOS Cached = [] {
        utsname U{};
        if (uname(&U) != 0)
            std::memset(&U, 0, sizeof U);
        std::string OsRelease = ReadSmallFile("/etc/os-release");
        if (OsRelease.empty())
            OsRelease = ReadSmallFile("/usr/lib/os-release");
        return MakeOsInfo(U.release, U.machine, OsRelease, gnu_get_libc_version());
    }();
    return Cached;
}

uint16_t GetFreeSystemResources9x(uint16_t)
{
    return 0;
}

std::string GetPathRootA(std::string_view Path)
{
    return (!Path.empty() && Path.front() == '/') ? "/" : "";
}

std::string ToShortPathA(std::string_view Path)
{
    return std::string(Path);
}

std::u16string ToShortPathW(std::u16string_view Path)
{
    return std::u16string(Path);
}

std::string ToLongPathA(std::string_view Path)
{
    return std::string(Path);
}

std::u16string ToLongPathW(std::u16string_view Path)
{
    return std::u16string(Path);
}

std::string VersionToStrA(uint32_t Ms, uint32_t Ls)
{
    return std::to_string(Ms >> 16) + "." + std::to_string(Ms & 0xffff) + "." +
           std::to_string(Ls >> 16) + "." + std::to_string(Ls & 0xffff);
}

std::u16string VersionToStrW(uint32_t Ms, uint32_t Ls)
{
    return Utf8ToWide(VersionToStrA(Ms, Ls));
}

std::string GetFileVersionA(const std::string& FileName)
{
    auto File = TElfFile::Open(FileName);
    if (!File)
        return {};
    auto Note = File->FindNote("Tolvex", 1);
    if (!Note)
        return {};
    std::string_view Text = *Note;
    std::string Fallback;
    while (!Text.empty()) {
        std::size_t Eol = Text.find('\n');
        std::string_view Line = Text.substr(0, Eol);
        Text.remove_prefix(Eol == std::string_view::npos ? Text.size() : Eol + 1);
        constexpr std::string_view Fixed = "FileVersion=";
        constexpr std::string_view Table = "StringFileInfo\\";
        constexpr std::string_view Key = "\\FileVersion=";
        if (Line.substr(0, Fixed.size()) == Fixed) {
            std::string_view V = Line.substr(Fixed.size());
            uint32_t Part[4] = {};
            bool Sound = true;
            for (int I = 0; I < 4 && Sound; ++I) {
                std::size_t Before = V.size();
                Part[I] = LeadingNumber(V);
                Sound = V.size() < Before && Part[I] <= 0xffff &&
                        (I == 3 ? V.empty() : (!V.empty() && V.front() == '.'));
                if (Sound && I < 3)
                    V.remove_prefix(1);
            }
            const uint32_t Ms = (Part[0] << 16) | Part[1], Ls = (Part[2] << 16) | Part[3];
            if (Sound && (Ms != 0 || Ls != 0))
                return VersionToStrA(Ms, Ls);
        } else if (Fallback.empty() && Line.substr(0, Table.size()) == Table) {
            std::size_t At = Line.find(Key);
            if (At != std::string_view::npos && Line.find('\\', Table.size()) == At) {
                Fallback = std::string(Line.substr(At + Key.size()));
                TrimStrA(Fallback);
            }
        }
    }
    return Fallback;
}

std::u16string GetFileVersionW(const std::u16string& FileName)
{
    return Utf8ToWide(GetFileVersionA(WideToUtf8(FileName)));
}

// --- Module images -----------------------------------------------------------

namespace {

// The module handle 0 stands for the program itself.
bool ResolveModule(HModule Module, HModule& Header, std::string& File)
{
    if (Module == 0) {
        static const uintptr_t Self = reinterpret_cast<uintptr_t>(&ResolveModule);
        return FindModuleOfAddr(Self, Header, File);
    }
    for (const auto& M : GetModuleList())
        if (M.Base == Module) {
            Header = M.Base;
            File = M.FileName;
            return true;
        }
    return false;
}

std::unique_ptr<TElfLoadedImage> OpenImage(HModule Module)
{
    HModule Header;
    std::string File;
    if (Module == 0 && !ResolveModule(Module, Header, File))
        return nullptr;
    return TElfLoadedImage::Open(Module == 0 ? Header : Module);
}

} // namespace

std::optional<TElfHeader> GetImageElfHeader(HModule Module)
{
    auto Image = OpenImage(Module);
    if (!Image)
        return std::nullopt;
    TElfMemorySource Memory;
    return ReadElfHeader(Memory, Image->HeaderAddress());
}

uint64_t GetSizeOfImage(HModule Module)
{
    auto Image = OpenImage(Module);
    return Image ? Image->ImageSize() : 0;
}

uintptr_t GetImageProcAddress(HModule Module, std::string_view Name)
{
    auto Image = OpenImage(Module);
    return Image ? Image->FindSymbol(Name) : 0;
}

std::u16string GetExportNameW(HModule Module, uintptr_t Address, bool Unmangle)
{
    auto Image = OpenImage(Module);
    if (!Image)
        return {};
    std::u16string Name = Utf8ToWide(Image->SymbolNameAt(Address));
    if (Unmangle && !Name.empty()) {
        std::u16string Readable = Name, Unit;
        if (UnmangleNameW(Readable, Unit))
            Name = Unit.empty() ? Readable : Unit + u"." + Readable;
    }
    return Name;
}

std::string GetExportName(HModule Module, uintptr_t Address, bool Unmangle)
{
    return WideToUtf8(GetExportNameW(Module, Address, Unmangle));
}

std::string LoadResourceStr(HModule Module, std::string_view Type, std::string_view Name)
{
    HModule Header;
    std::string Path;
    if (Type.empty() || Name.empty() || !ResolveModule(Module, Header, Path))
        return {};
    auto File = TElfFile::Open(Path);
    if (!File)
        return {};
    const TElfSection* Section =
        File->FindSectionNoCase(".rsrc." + std::string(Type) + "." + std::string(Name));
    if (Section == nullptr)
        return {};
    return File->ReadSection(*Section, 256u << 20).value_or(std::string());
}

std::string LoadResourceStr(HModule Module, uint16_t Type, std::string_view Name)
{
    return LoadResourceStr(Module, std::to_string(Type), Name);
}

// --- Names -------------------------------------------------------------------

namespace {

template <class S> void ReplaceAll(S& Text, const S& From, const S& To)
{
    for (std::size_t At = Text.find(From); At != S::npos; At = Text.find(From, At + To.size()))
        Text.replace(At, From.size(), To);
}

void Trim(std::string& S)
{
    TrimStrA(S);
}

void Trim(std::u16string& S)
{
    TrimStrW(S);
}

std::string Demangle(const std::string& Mangled)
{
    int Status = 0;
    std::unique_ptr<char, decltype(&std::free)> Out(
        abi::__cxa_demangle(Mangled.c_str(), nullptr, nullptr, &Status), &std::free);
    return (Status == 0 && Out) ? std::string(Out.get()) : std::string();
}

// The rule for "@Unit@Class@Method$qv" names, on either kind of string.
template <class S> bool UnmangleBorland(S& Name, S& Unit)
{
    using C = typename S::value_type;
    Unit.clear();
    ReplaceAll(Name, S{C(':'), C(':')}, S{C('.')});
    if (Name.empty() || Name[0] != C('@'))
        return false;

    S Tail;
    if (Name.size() >= 2 && Name[1] == C('%')) {
        // The last "%@" that starts at index 2 or later.
        for (std::size_t At = Name.size() - 1; At-- > 2;) {
            if (Name[At] == C('%') && Name[At + 1] == C('@')) {
                Tail = S{C('.')} + Name.substr(At + 2);
                break;
            }
        }
    }
    std::size_t Start = 2;
    if (Name.size() > 6 && Name[1] == C('_') && Name[2] == C('$')) {
        std::size_t Dollar = Name.find(C('$'), 4);
        if (Dollar != S::npos && Dollar + 1 < Name.size() && Name[Dollar + 1] == C('@'))
            Start = Dollar + 1;
    }
    bool FoundUnit = false, CutAtDollar = false, Destructor = false;
    for (std::size_t I = Start; I < Name.size(); ++I) {
        if (Name[I] == C('@')) {
            Name[I] = C('.');
            if (!FoundUnit) {
                FoundUnit = true;
                Unit = Name.substr(1, I - 1);
            }
        } else if (Name[I] == C('$')) {
            Destructor = I + 2 < Name.size() && Name[I + 2] == C('d');
            Name = Name.substr(0, I) + Tail;
            CutAtDollar = true;
            break;
        }
    }
    if (FoundUnit && Name.size() > Unit.size() + 2) {
        Name.erase(0, Unit.size() + 2);
    } else {
        Unit.clear();
        if (CutAtDollar)
            Name.erase(0, 1);
    }
    if (!Name.empty() && Name[0] == C('%'))
        Name.erase(0, 1);
    else if (!Name.empty() && Name[0] == C('.'))
        Name[0] = C('@');
    if (!Name.empty() && Name.back() == C('.')) {
        const char* Word = Destructor ? "Destroy" : "Create";
        for (const char* P = Word; *P; ++P)
            Name += C(*P);
    }
    Trim(Name);
    if (!Name.empty() && Name.back() == C('.'))
        Name += C('?');
    return true;
}

} // namespace

bool UnmangleNameA(std::string& Name, std::string& Unit)
{
    if (Name.size() > 2 && Name[0] == '_' && Name[1] == 'Z') {
        Unit.clear();
        std::string Readable = Demangle(Name);
        if (Readable.empty())
            return false;
        Name = std::move(Readable);
        return true;
    }
    return UnmangleBorland(Name, Unit);
}

bool UnmangleNameW(std::u16string& Name, std::u16string& Unit)
{
    if (Name.size() > 2 && Name[0] == u'_' && Name[1] == u'Z') {
        Unit.clear();
        std::string Readable = Demangle(WideToUtf8(Name));
        if (Readable.empty())
            return false;
        Name = Utf8ToWide(Readable);
        return true;
    }
    return UnmangleBorland(Name, Unit);
}

// --- Memory and time -----------------------------------------------------------

bool IsBadReadRange(uintptr_t Address, std::size_t Size)
{
    return QueryMemoryAccess(Address, Size) != kaReadable;
}

uint32_t GetTickCount()
{
    timespec T{};
    clock_gettime(CLOCK_MONOTONIC, &T);
    const uint64_t Ms =
        static_cast<uint64_t>(T.tv_sec) * 1000 + static_cast<uint64_t>(T.tv_nsec) / 1000000;
    return static_cast<uint32_t>(Ms);
}

uint32_t TicksSince(uint32_t Earlier)
{
    return GetTickCount() - Earlier;
}

void InitKelExceptionClass()
{
    if (KelExceptionFactory == nullptr)
        KelExceptionFactory = [](std::string_view Message) -> std::unique_ptr<KelException> {
            return std::make_unique<KelException>(std::string(Message));
        };
}

// --- Message ports -------------------------------------------------------------

namespace {

pid_t CurrentThreadId()
{
    return gettid();
}

struct TQueuedMsg {
    HMsgPort Port;
    uint32_t Msg;
    uintptr_t WParam;
    intptr_t LParam;
};

// One per thread: the messages for all of the thread's ports.
struct TMsgQueue {
    TMsgQueue() : Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~TMsgQueue()
    {
        if (Fd >= 0)
            close(Fd);
    }
    TMsgQueue(const TMsgQueue&) = delete;
    TMsgQueue& operator=(const TMsgQueue&) = delete;

    void Push(const TQueuedMsg& M)
    {
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Items.push_back(M);
        }
        const uint64_t One = 1;
        while (write(Fd, &One, sizeof One) < 0 && errno == EINTR) {
        }
    }

    const int Fd;
    std::mutex Lock;
    std::deque<TQueuedMsg> Items;
};

struct THandlerEntry {
    uint32_t Msg;
    TMsgHandlerProc Proc;
    TMsgHandlerMethod Code;
    void* Instance;

    bool SameRoutine(const THandlerEntry& O) const
    {
        return Proc == O.Proc && Code == O.Code && Instance == O.Instance;
    }
    bool operator==(const THandlerEntry& O) const { return Msg == O.Msg && SameRoutine(O); }
};

// The thread-port list: one record per thread that has a port with routines.
struct TPortRecord {
    pid_t Thread;
    HMsgPort Port;
    std::vector<THandlerEntry> Handlers;
};

// A port that exists (it may outlive its record until its thread handles the
// close message posted to it).
struct TPort {
    pid_t Thread;
    std::shared_ptr<TMsgQueue> Queue;
};

// A routine being called right now, so that a removal on another thread can
// wait for the call to end before the routine's owner frees it.
struct TCall {
    pid_t Thread;
    THandlerEntry Entry;
};

struct TRegistry {
    std::mutex Lock;
    std::condition_variable CallEnded;
    std::vector<TPortRecord> Records;
    std::unordered_map<HMsgPort, TPort> Ports;
    std::unordered_map<pid_t, std::shared_ptr<TMsgQueue>> Queues;
    std::vector<TCall> Calls;
    HMsgPort NextPort = 1;

    TPortRecord* FindRecord(pid_t Thread)
    {
        for (auto& R : Records)
            if (R.Thread == Thread)
                return &R;
        return nullptr;
    }
    void RemoveRecord(pid_t Thread)
    {
        Records.erase(std::remove_if(Records.begin(), Records.end(),
                                     [Thread](const TPortRecord& R) { return R.Thread == Thread; }),
                      Records.end());
    }
};

// Never destroyed: threads that end during the process's exit still find it.
TRegistry& Registry()
{
    static TRegistry* R = new TRegistry;
    return *R;
}

// The calling thread's queue, made on first use; when the thread ends, its
// ports and routines go with it.
struct TThreadQueue {
    std::shared_ptr<TMsgQueue> Queue;
    pid_t Thread = 0;

    ~TThreadQueue()
    {
        if (!Queue)
            return;
        auto& R = Registry();
        std::lock_guard<std::mutex> Guard(R.Lock);
        R.RemoveRecord(Thread);
        for (auto It = R.Ports.begin(); It != R.Ports.end();)
            It = It->second.Thread == Thread ? R.Ports.erase(It) : std::next(It);
        R.Queues.erase(Thread);
    }
};

thread_local TThreadQueue OwnQueue;

// Under the registry's lock.
std::shared_ptr<TMsgQueue> OwnQueueLocked(TRegistry& R)
{
    if (!OwnQueue.Queue) {
        OwnQueue.Queue = std::make_shared<TMsgQueue>();
        OwnQueue.Thread = CurrentThreadId();
        R.Queues[OwnQueue.Thread] = OwnQueue.Queue;
    }
    return OwnQueue.Queue;
}

// Under the registry's lock: the thread's port, made when it is the calling thread's.
HMsgPort PortLocked(TRegistry& R, pid_t Thread)
{
    const pid_t Self = CurrentThreadId();
    if (Thread == 0)
        Thread = Self;
    if (const TPortRecord* Rec = R.FindRecord(Thread))
        return Rec->Port;
    if (Thread != Self)
        return 0;
    const HMsgPort Port = R.NextPort++;
    R.Ports[Port] = TPort{Self, OwnQueueLocked(R)};
    R.Records.push_back(TPortRecord{Self, Port, {}});
    return Port;
}

// The messages below MsgPortFirstUser that reach the handlers: those a hidden
// window gets from the system (session end, settings, device and power
// changes and the like).
bool PassedOn(uint32_t Msg)
{
    static constexpr uint32_t Passed[] = {0x11, 0x12, 0x15, 0x16, 0x17, 0x1A, 0x1B, 0x1C, 0x1D,
                                          0x1E, 0x2A, 0x41, 0x48, 0x4A, 0x50, 0x51, 0x54, 0x7E};
    if (Msg >= MsgPortFirstUser)
        return true;
    return std::find(std::begin(Passed), std::end(Passed), Msg) != std::end(Passed);
}

void Dispatch(const TQueuedMsg& M)
{
    auto& R = Registry();
    const pid_t Self = CurrentThreadId();
    std::vector<THandlerEntry> Copy;
    {
        std::lock_guard<std::mutex> Guard(R.Lock);
        auto Port = R.Ports.find(M.Port);
        if (Port == R.Ports.end() || Port->second.Thread != Self)
            return; // the port went away meanwhile
        if (M.Msg == MsgPortClose) {
            // Closing destroys the port and whatever routines it still has.
            R.Ports.erase(Port);
            R.Records.erase(std::remove_if(R.Records.begin(), R.Records.end(),
                                           [&](const TPortRecord& X) { return X.Port == M.Port; }),
                            R.Records.end());
            return;
        }
        if (!PassedOn(M.Msg))
            return;
        for (const auto& Rec : R.Records)
            if (Rec.Port == M.Port)
                for (const auto& E : Rec.Handlers)
                    if (E.Msg == M.Msg)
                        Copy.push_back(E);
    }
    intptr_t Result = 0;
    for (const auto& E : Copy) {
        // Called outside the lock; but only while it is still registered, and
        // marked as running so that its removal waits for the call to end.
        {
            std::lock_guard<std::mutex> Guard(R.Lock);
            bool Registered = false;
            for (const auto& Rec : R.Records)
                if (Rec.Port == M.Port)
                    Registered = std::find(Rec.Handlers.begin(), Rec.Handlers.end(), E) !=
                                 Rec.Handlers.end();
            if (!Registered)
                continue;
            R.Calls.push_back(TCall{Self, E});
        }
        if (E.Proc != nullptr)
            E.Proc(M.Port, M.Msg, M.WParam, Result, M.LParam);
        else if (E.Code != nullptr)
            E.Code(E.Instance, M.Port, M.Msg, M.WParam, Result, M.LParam);
        {
            std::lock_guard<std::mutex> Guard(R.Lock);
            for (auto It = R.Calls.begin(); It != R.Calls.end(); ++It)
                if (It->Thread == Self && It->Entry == E) {
                    R.Calls.erase(It);
                    break;
                }
        }
        R.CallEnded.notify_all();
    }
}

} // namespace

HMsgPort GetMsgHandlerWindow(pid_t ThreadId)
{
    auto& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    return PortLocked(R, ThreadId);
}

uint32_t AddMsgHandler(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId)
{
    return AddMsgHandlerEx(Handler, Msg, ThreadId, nullptr, nullptr);
}

uint32_t AddMsgHandlerEx(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId,
                         TMsgHandlerMethod MethodCode, void* Instance)
{
    if (Handler == nullptr && MethodCode == nullptr)
        return 0;
    auto& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    if (PortLocked(R, ThreadId) == 0)
        return 0;
    TPortRecord* Rec = R.FindRecord(ThreadId == 0 ? CurrentThreadId() : ThreadId);
    if (Rec == nullptr)
        return 0;
    auto& List = Rec->Handlers;
    if (Msg == 0) {
        Msg = 1024;
        while (std::any_of(List.begin(), List.end(),
                           [Msg](const THandlerEntry& E) { return E.Msg == Msg; }))
            ++Msg;
    }
    const THandlerEntry New{Msg, Handler, Handler != nullptr ? nullptr : MethodCode,
                            Handler != nullptr ? nullptr : Instance};
    if (std::find(List.begin(), List.end(), New) != List.end())
        return 0;
    List.push_back(New);
    return Msg;
}

void DelMsgHandler(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId)
{
    DelMsgHandlerEx(Handler, Msg, ThreadId, nullptr, nullptr);
}

void DelMsgHandlerEx(TMsgHandlerProc Handler, uint32_t Msg, pid_t ThreadId,
                     TMsgHandlerMethod MethodCode, void* Instance)
{
    auto& R = Registry();
    const pid_t Self = CurrentThreadId();
    if (ThreadId == 0)
        ThreadId = Self;
    const THandlerEntry Key{Msg, Handler, Handler != nullptr ? nullptr : MethodCode,
                            Handler != nullptr ? nullptr : Instance};
    std::unique_lock<std::mutex> Guard(R.Lock);
    TPortRecord* Rec = R.FindRecord(ThreadId);
    if (Rec == nullptr)
        return;
    auto& List = Rec->Handlers;
    std::vector<THandlerEntry> Removed;
    for (std::size_t I = 0; I < List.size();) {
        if (List[I].SameRoutine(Key) && (Msg == 0 || List[I].Msg == Msg)) {
            Removed.push_back(List[I]);
            // The last entry moves into the freed place.
            List[I] = List.back();
            List.pop_back();
        } else {
            ++I;
        }
    }
    if (List.empty()) {
        const HMsgPort Port = Rec->Port;
        R.RemoveRecord(ThreadId);
        if (ThreadId == Self) {
            R.Ports.erase(Port);
        } else if (auto P = R.Ports.find(Port); P != R.Ports.end()) {
            P->second.Queue->Push(TQueuedMsg{Port, MsgPortClose, 0, 0});
        }
    }
    // A routine running on its own thread right now ends its call before its
    // owner may free it.
    R.CallEnded.wait(Guard, [&] {
        return std::none_of(R.Calls.begin(), R.Calls.end(), [&](const TCall& C) {
            return C.Thread != Self &&
                   std::find(Removed.begin(), Removed.end(), C.Entry) != Removed.end();
        });
    });
}

bool PostMsg(HMsgPort Port, uint32_t Msg, uintptr_t WParam, intptr_t LParam)
{
    std::shared_ptr<TMsgQueue> Queue;
    {
        auto& R = Registry();
        std::lock_guard<std::mutex> Guard(R.Lock);
        auto P = R.Ports.find(Port);
        if (P == R.Ports.end())
            return false;
        Queue = P->second.Queue;
    }
    Queue->Push(TQueuedMsg{Port, Msg, WParam, LParam});
    return true;
}

int GetMsgPortFd()
{
    auto& R = Registry();
    std::lock_guard<std::mutex> Guard(R.Lock);
    return OwnQueueLocked(R)->Fd;
}

int DrainMsgPort()
{
    std::shared_ptr<TMsgQueue> Queue;
    {
        auto& R = Registry();
        std::lock_guard<std::mutex> Guard(R.Lock);
        Queue = OwnQueueLocked(R);
    }
    uint64_t Count;
    while (read(Queue->Fd, &Count, sizeof Count) < 0 && errno == EINTR) {
    }
    std::deque<TQueuedMsg> Batch;
    {
        std::lock_guard<std::mutex> Guard(Queue->Lock);
        Batch.swap(Queue->Items);
    }
    for (const auto& M : Batch)
        Dispatch(M);
    return static_cast<int>(Batch.size());
}
