#include "crashreport/kelExceptLink.h"

#include "crashreport/kelExceptSettings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

extern char** environ;

// --- Fields ------------------------------------------------------------------------

bool TFrameWriter::Put(std::uint64_t V, int Bytes)
{
    for (int I = 0; I < Bytes; ++I)
        Fields += static_cast<char>((V >> (8 * I)) & 0xFF);
    return true;
}

bool TFrameWriter::operator()(const std::string& V)
{
    Put(V.size(), 4);
    Fields += V;
    return true;
}

bool TFrameReader::operator()(bool& V)
{
    std::uint8_t B = 0;
    if (!Get(B))
        return false;
    if (B > 1) {
        Failed = true;
        return false;
    }
    V = B == 1;
    return true;
}

bool TFrameReader::operator()(std::string& V)
{
    std::uint32_t Length = 0;
    if (!Get(Length))
        return false;
    if (Bytes.size() - At < Length) {
        Failed = true;
        return false;
    }
    V.assign(Bytes.substr(At, Length));
    At += Length;
    return true;
}

std::string FrameBytes(const TLinkFrame& Frame)
{
    if (Frame.Fields.size() > MaxFrameBody - 2)
        return {};
    TFrameWriter W;
    W(static_cast<std::uint32_t>(Frame.Fields.size() + 2));
    W(Frame.Type);
    W.Fields += Frame.Fields;
    return std::move(W.Fields);
}

// --- Settings -------------------------------------------------------------------

TSettingsFrame SettingsSnapshot(const TModuleSettings& Table)
{
    return SettingsSnapshot(Table.Entries());
}

TSettingsFrame SettingsSnapshot(std::vector<TSettingEntry> Entries)
{
    auto Find = [&Entries](std::string_view Name) -> TSettingEntry* {
        for (TSettingEntry& E : Entries)
            if (SameSettingName(E.Name, Name) && E.Kind == skText)
                return &E;
        return nullptr;
    };
    for (const TPasswordKey& K : PasswordKeys) {
        TSettingEntry* Password = Find(K.Password);
        if (Password == nullptr || Password->Text.empty())
            continue;
        const TSettingEntry* Server = Find(K.Server);
        const TSettingEntry* Account = Find(K.Account);
        Password->Text = EncipherPassword(Password->Text, Server ? Server->Text : std::string(),
                                          Account ? Account->Text : std::string());
    }
    return TSettingsFrame{WriteSettingsStream(Entries)};
}

// --- Parser ------------------------------------------------------------------------

void TFrameParser::Feed(const void* Data, std::size_t Length)
{
    // Drop what was taken before the buffer grows again.
    if (At > 0 && At >= Buffer.size() / 2) {
        Buffer.erase(0, At);
        At = 0;
    }
    Buffer.append(static_cast<const char*>(Data), Length);
}

TParse TFrameParser::Next(TLinkFrame& Out)
{
    if (Buffer.size() - At < 4)
        return TParse::prNeedMore;
    TFrameReader Head(std::string_view(Buffer).substr(At, 4));
    std::uint32_t Length = 0;
    Head(Length);
    if (Length < 2 || Length > MaxFrameBody)
        return TParse::prMalformed;
    if (Buffer.size() - At - 4 < Length)
        return TParse::prNeedMore;
    const auto* P = reinterpret_cast<const unsigned char*>(Buffer.data() + At + 4);
    Out.Type = static_cast<std::uint16_t>(P[0] | P[1] << 8);
    Out.Fields.assign(Buffer, At + 6, Length - 2);
    At += 4 + Length;
    if (At == Buffer.size()) {
        Buffer.clear();
        At = 0;
    }
    return TParse::prFrame;
}

// --- The link ------------------------------------------------------------------------

TExceptLink::TExceptLink(int Fd) : FFd(Fd)
{
    if (FFd >= 0) {
        const int Flags = ::fcntl(FFd, F_GETFL);
        ::fcntl(FFd, F_SETFL, Flags | O_NONBLOCK);
        ::fcntl(FFd, F_SETFD, FD_CLOEXEC);
    }
}

TExceptLink::~TExceptLink()
{
    if (FFd >= 0)
        ::close(FFd);
}

bool TExceptLink::IsOpen() const
{
    return FFd >= 0 && !Closed.load();
}

int TExceptLink::Fd() const
{
    return IsOpen() ? FFd : -1;
}

void TExceptLink::Close()
{
    // The descriptor itself stays until the link is destroyed, so that a
    // thread still reading or writing never meets its number reused by
    // another file; shutdown ends both directions and wakes a thread that
    // waits on it.
    if (FFd >= 0 && !Closed.exchange(true))
        ::shutdown(FFd, SHUT_RDWR);
}

namespace {

// Milliseconds left of a budget that started at Start; -1 without limit.
int Left(std::chrono::steady_clock::time_point Start, std::chrono::milliseconds Budget)
{
    if (Budget.count() < 0)
        return -1;
    const auto Spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - Start);
    const auto Rest = Budget - Spent;
    return Rest.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(Rest.count(), INT_MAX));
}

} // namespace

bool TExceptLink::Send(const TLinkFrame& Frame)
{
    const std::string Bytes = FrameBytes(Frame);
    if (Bytes.empty())
        return false;
    std::lock_guard<std::mutex> Guard(SendLock);
    if (!IsOpen())
        return false;
    const int Fd = FFd;
    const auto Start = std::chrono::steady_clock::now();
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N =
            ::send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (N > 0) {
            Done += static_cast<std::size_t>(N);
            continue;
        }
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd P{Fd, POLLOUT, 0};
            const int Wait = Left(Start, SendTimeout);
            if (Wait != 0 && (::poll(&P, 1, Wait) > 0 || errno == EINTR))
                continue;
        }
        // Gone, broken, or not reading: half a frame cannot be taken back.
        Close();
        return false;
    }
    return true;
}

bool TExceptLink::ReadAvailable()
{
    if (!IsOpen())
        return false;
    const int Fd = FFd;
    char Buf[65536];
    for (;;) {
        const ssize_t N = ::recv(Fd, Buf, sizeof Buf, MSG_DONTWAIT);
        if (N > 0) {
            Parser.Feed(Buf, static_cast<std::size_t>(N));
            continue;
        }
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        Ended = true; // the end of the stream, or a broken socket
        return false;
    }
}

TLinkRead TExceptLink::TakeBuffered(TLinkFrame& Out)
{
    switch (Parser.Next(Out)) {
    case TParse::prFrame:
        return TLinkRead::lrFrame;
    case TParse::prMalformed:
        Close();
        return TLinkRead::lrMalformed;
    case TParse::prNeedMore:
        break;
    }
    if (!Ended)
        return IsOpen() ? TLinkRead::lrNone : TLinkRead::lrClosed;
    Close();
    // A stream that ends inside a frame was cut.
    return Parser.Pending() > 0 ? TLinkRead::lrMalformed : TLinkRead::lrClosed;
}

TLinkRead TExceptLink::ReceiveReady(TLinkFrame& Out)
{
    std::lock_guard<std::mutex> Guard(ReadLock);
    const TLinkRead Buffered = TakeBuffered(Out);
    if (Buffered != TLinkRead::lrNone)
        return Buffered;
    ReadAvailable();
    return TakeBuffered(Out);
}

TLinkRead TExceptLink::Receive(TLinkFrame& Out, std::chrono::milliseconds Timeout)
{
    std::lock_guard<std::mutex> Guard(ReadLock);
    const auto Start = std::chrono::steady_clock::now();
    for (;;) {
        const TLinkRead Buffered = TakeBuffered(Out);
        if (Buffered != TLinkRead::lrNone)
            return Buffered;
        if (!IsOpen())
            return TakeBuffered(Out);
        pollfd P{FFd, POLLIN, 0};
        const int Wait = Left(Start, Timeout);
        const int Ready = ::poll(&P, 1, Wait);
        if (Ready < 0 && errno != EINTR) {
            Close();
            return TLinkRead::lrClosed;
        }
        if (Ready > 0)
            ReadAvailable();
        else if (Wait == 0)
            return TakeBuffered(Out);
    }
}

// --- Starting the helper ------------------------------------------------------------

bool CreateLinkPair(int Fds[2])
{
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Fds) == 0;
}

std::string HelperProgramPath()
{
    char Path[PATH_MAX];
    const ssize_t N = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
    if (N <= 0)
        return {};
    std::string Self(Path, static_cast<std::size_t>(N));
    const auto Slash = Self.rfind('/');
    return Self.substr(0, Slash + 1) + "tolvex-crashreport";
}

pid_t StartHelperProcess(const std::string& Program, int ChildFd, int LastWordsFd)
{
    // dup2 onto the same number would keep close-on-exec: move both ends
    // above the numbers they take first.
    int Fd = ::fcntl(ChildFd, F_DUPFD_CLOEXEC, HelperLastWordsFd + 1);
    if (Fd < 0)
        return -1;
    int Words = -1;
    if (LastWordsFd >= 0 &&
        (Words = ::fcntl(LastWordsFd, F_DUPFD_CLOEXEC, HelperLastWordsFd + 1)) < 0) {
        ::close(Fd);
        return -1;
    }
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Fd, HelperLinkFd);
    if (Words >= 0)
        posix_spawn_file_actions_adddup2(&Actions, Words, HelperLastWordsFd);
    posix_spawn_file_actions_addclosefrom_np(&Actions,
                                             Words >= 0 ? HelperLastWordsFd + 1 : HelperLinkFd + 1);
    posix_spawnattr_t Attributes;
    posix_spawnattr_init(&Attributes);
    // The helper leaves the program's process group, so that a signal sent to
    // the program's group (Ctrl+C in its terminal) does not end the helper
    // while it shows the program's crash.
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&Attributes, 0);
    sigset_t None;
    sigemptyset(&None);
    posix_spawnattr_setsigmask(&Attributes, &None);
    char* Argv[] = {const_cast<char*>(Program.c_str()), nullptr};
    pid_t Pid = -1;
    if (posix_spawn(&Pid, Program.c_str(), &Actions, &Attributes, Argv, environ) != 0)
        Pid = -1;
    posix_spawnattr_destroy(&Attributes);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Fd);
    if (Words >= 0)
        ::close(Words);
    return Pid;
}
