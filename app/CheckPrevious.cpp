#include "app/CheckPrevious.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QWidget>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

std::string MappingName;

namespace {

struct TBlockState {
    int BlockFd = -1;
    int LockFd = -1;
    TInstanceInfo* View = nullptr;
    bool Registered = false;
    ~TBlockState();
};

TBlockState State;
int Activations = 0;

constexpr char ActivateMessage[] = "activate\n";

[[noreturn]] void Fail(const std::string& What, const std::string& Path, int Errno)
{
    throw EInstanceBlockError(What + " " + Path + ": " + std::strerror(Errno));
}

int LockFile(int Fd, int Operation)
{
    int R;
    do
        R = ::flock(Fd, Operation);
    while (R != 0 && errno == EINTR);
    return R;
}

int OpenShared(const std::string& Path)
{
    const int Fd = ::open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (Fd < 0)
        Fail("cannot open", Path, errno);
    return Fd;
}

void CloseFd(int& Fd)
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

void Unmap(TInstanceInfo*& View)
{
    if (View)
        ::munmap(View, sizeof(TInstanceInfo));
    View = nullptr;
}

// The block file, locked exclusively and mapped.
TInstanceInfo* OpenBlock(int& Fd)
{
    const std::string Path = InstanceBlockFile();
    Fd = OpenShared(Path);
    if (LockFile(Fd, LOCK_EX) != 0) {
        const int E = errno;
        CloseFd(Fd);
        Fail("cannot lock", Path, E);
    }
    struct stat St {};
    if (::fstat(Fd, &St) != 0 || (St.st_size < static_cast<off_t>(sizeof(TInstanceInfo)) &&
                                  ::ftruncate(Fd, sizeof(TInstanceInfo)) != 0)) {
        const int E = errno;
        CloseFd(Fd);
        Fail("cannot size", Path, E);
    }
    void* P = ::mmap(nullptr, sizeof(TInstanceInfo), PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    if (P == MAP_FAILED) {
        const int E = errno;
        CloseFd(Fd);
        Fail("cannot map", Path, E);
    }
    return static_cast<TInstanceInfo*>(P);
}

// Asks the running instance to come forward. It may still be starting (it
// registers before its window exists), so a refused connection is tried
// again for a while.
void SendActivation()
{
    const std::string Path = ActivationSocketPath();
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    if (Path.size() >= sizeof(Address.sun_path))
        return;
    std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < Deadline) {
        const int Fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (Fd < 0)
            return;
        if (::connect(Fd, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0) {
            [[maybe_unused]] const ssize_t N =
                ::send(Fd, ActivateMessage, sizeof ActivateMessage - 1, MSG_NOSIGNAL);
            // Wait for the answer (the instance closes the connection), so
            // the request is served before this process ends.
            char Byte;
            timeval Timeout{2, 0};
            ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
            [[maybe_unused]] const ssize_t R = ::recv(Fd, &Byte, 1, 0);
            ::close(Fd);
            return;
        }
        ::close(Fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void Activate(QWidget* Window)
{
    ++Activations;
    if (!Window)
        return;
    if (Window->isMinimized())
        Window->setWindowState((Window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    Window->show();
    Window->raise();
    Window->activateWindow();
}

} // namespace

TBlockState::~TBlockState()
{
    FinalizeCheckPrevious();
}

std::string InstanceFolder()
{
    const char* Runtime = std::getenv("XDG_RUNTIME_DIR");
    if (Runtime && *Runtime == '/')
        return Runtime;
    // Without a runtime folder: one of our own, which nobody else may use.
    const std::string Dir = "/tmp/tolvex-" + std::to_string(::getuid());
    if (::mkdir(Dir.c_str(), 0700) != 0 && errno != EEXIST)
        Fail("cannot create", Dir, errno);
    struct stat St {};
    if (::lstat(Dir.c_str(), &St) != 0)
        Fail("cannot open", Dir, errno);
    if (!S_ISDIR(St.st_mode) || St.st_uid != ::getuid() || (St.st_mode & 077) != 0)
        throw EInstanceBlockError("the folder " + Dir +
                                  " belongs to another user or is open to others");
    return Dir;
}

std::string InstanceBlockFile()
{
    return InstanceFolder() + "/" + MappingName;
}

std::string InstanceLockFile()
{
    return InstanceBlockFile() + ".lock";
}

std::string ActivationSocketPath()
{
    return InstanceBlockFile() + "-" + std::to_string(::getuid()) + ".socket";
}

bool RestoreIfRunning(uint32_t Handle, int MaxInstances)
{
    if (State.Registered)
        return false;
    int BlockFd = -1;
    TInstanceInfo* View = OpenBlock(BlockFd);
    int LockFd = -1;
    try {
        LockFd = OpenShared(InstanceLockFile());
    } catch (...) {
        Unmap(View);
        CloseFd(BlockFd);
        throw;
    }
    // Nobody holds the companion lock: whoever is counted ended without
    // lowering the counter (killed, or crashed).
    if (LockFile(LockFd, LOCK_EX | LOCK_NB) == 0) {
        View->RunCounter = 0;
        LockFile(LockFd, LOCK_UN);
    }
    if (View->RunCounter < 0)
        View->RunCounter = 0;
    if (MaxInstances > View->RunCounter) {
        LockFile(LockFd, LOCK_SH);
        View->PreviousHandle = Handle;
        View->RunCounter = View->RunCounter + 1;
        State.BlockFd = BlockFd;
        State.LockFd = LockFd;
        State.View = View;
        State.Registered = true;
        LockFile(BlockFd, LOCK_UN);
        return false;
    }
    Unmap(View);
    CloseFd(LockFd);
    CloseFd(BlockFd); // also lets go of the block's lock
    SendActivation();
    return true;
}

void FinalizeCheckPrevious()
{
    if (State.Registered && State.View) {
        LockFile(State.BlockFd, LOCK_EX);
        if (State.View->RunCounter > 0)
            State.View->RunCounter = State.View->RunCounter - 1;
        CloseFd(State.LockFd);
        LockFile(State.BlockFd, LOCK_UN);
    }
    State.Registered = false;
    Unmap(State.View);
    CloseFd(State.LockFd);
    CloseFd(State.BlockFd);
}

bool IsRegisteredInstance()
{
    return State.Registered;
}

bool ReadInstanceInfo(TInstanceInfo& Info)
{
    const int Fd = ::open(InstanceBlockFile().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (Fd < 0)
        return false;
    TInstanceInfo Read;
    const bool Ok = ::pread(Fd, &Read, sizeof Read, 0) == static_cast<ssize_t>(sizeof Read);
    ::close(Fd);
    if (Ok)
        Info = Read;
    return Ok;
}

void ListenForActivation(QWidget* Window)
{
    auto* Server = new QLocalServer(Window);
    Server->setObjectName("ActivationServer");
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString Path = QString::fromStdString(ActivationSocketPath());
    // A socket file left by an instance that was killed; this process is
    // the registered one, so nobody else listens there.
    QLocalServer::removeServer(Path);
    if (!Server->listen(Path))
        return;
    QPointer<QWidget> Target(Window);
    QObject::connect(Server, &QLocalServer::newConnection, Server, [Server, Target] {
        while (QLocalSocket* Socket = Server->nextPendingConnection()) {
            QObject::connect(Socket, &QLocalSocket::disconnected, Socket, &QObject::deleteLater);
            QObject::connect(Socket, &QLocalSocket::readyRead, Socket, [Socket, Target] {
                if (!Socket->canReadLine()) {
                    if (Socket->bytesAvailable() > 64)
                        Socket->abort();
                    return;
                }
                const QByteArray Line = Socket->readLine(64);
                if (Line == ActivateMessage)
                    Activate(Target);
                Socket->disconnectFromServer();
            });
        }
    });
}

int ActivationRequests()
{
    return Activations;
}
