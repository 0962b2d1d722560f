#include "platform/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string FolderOf(const std::string& Path)
{
    const size_t slash = Path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : Path.substr(0, slash);
}

std::string BaseNameOf(const std::string& Path)
{
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

void SyncFolder(const std::string& Folder)
{
    const int fd = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

EFileError::EFileError(std::string AOperation, const std::string& Path, int AErrno)
    : EFileError(std::move(AOperation), Path, AErrno, std::strerror(AErrno))
{
}

EFileError::EFileError(std::string AOperation, const std::string& Path, int AErrno,
                       std::string AReason)
    : std::runtime_error(AOperation + " \"" + Path + "\": " + AReason),
      Operation(std::move(AOperation)), Errno(AErrno), Reason(std::move(AReason))
{
}

bool WriteAll(int Fd, const void* Data, std::size_t Size)
{
    const char* p = static_cast<const char*>(Data);
    std::size_t done = 0;
    while (done < Size) {
        const ssize_t n = ::write(Fd, p + done, Size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ResolveLink(const std::string& FileName)
{
    struct stat st {};
    if (::lstat(FileName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(FileName.c_str(), nullptr)) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return FileName;
}

std::string WriteTemporaryBeside(const std::string& Target, std::string_view Data,
                                 bool KeepTargetMode)
{
    static std::atomic<unsigned> counter{0};
    const std::string folder = FolderOf(Target);
    // Shortened, so that the temporary name stays within the name limit
    // whenever the target's own name does.
    const std::string base = BaseNameOf(Target).substr(0, 200);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + ".tmp";
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100))
            throw EFileError("create", temp, errno);
    }
    struct stat st {};
    int error = 0;
    const char* step = "write";
    if (KeepTargetMode && ::stat(Target.c_str(), &st) == 0 && ::fchmod(fd, st.st_mode & 07777) != 0)
        error = errno, step = "chmod";
    if (!error && !WriteAll(fd, Data.data(), Data.size()))
        error = errno;
    if (!error && ::fsync(fd) != 0)
        error = errno, step = "fsync";
    if (::close(fd) != 0 && !error)
        error = errno, step = "close";
    if (error) {
        ::unlink(temp.c_str());
        throw EFileError(step, temp, error);
    }
    return temp;
}

void CommitTemporary(const std::string& Temporary, const std::string& Target)
{
    if (::rename(Temporary.c_str(), Target.c_str()) != 0) {
        const int error = errno;
        ::unlink(Temporary.c_str());
        throw EFileError("rename", Target, error);
    }
    // The rename itself reaches the disk with the folder's entry.
    SyncFolder(FolderOf(Target));
}

void ReplaceFileAtomically(const std::string& FileName, std::string_view Data)
{
    const std::string target = ResolveLink(FileName);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw EFileError("write", FileName, EISDIR);
        if ((st.st_mode & 0222) == 0)
            throw EFileError("write", FileName, EACCES);
        // The system's own reason: a read-only file system is no matter of
        // permissions.
        if (::access(target.c_str(), W_OK) != 0)
            throw EFileError("write", FileName, errno);
    }
    CommitTemporary(WriteTemporaryBeside(target, Data), target);
}

std::string ReadWholeFile(const std::string& FileName, std::size_t MaxSize)
{
    // Refused by type before opening, so that a device is not even opened;
    // opened without blocking and checked again, so that a pipe put in the
    // file's place in between cannot make open() wait for a writer.
    const auto Refuse = [&](const struct stat& St) {
        if (S_ISDIR(St.st_mode))
            throw EFileError("read", FileName, EISDIR);
        if (!S_ISREG(St.st_mode))
            throw EFileError("open", FileName, EINVAL, "not a regular file");
        if (static_cast<std::uintmax_t>(St.st_size) > MaxSize)
            throw EFileError("read", FileName, EFBIG);
    };
    struct stat St {};
    if (::stat(FileName.c_str(), &St) != 0)
        throw EFileError("open", FileName, errno);
    Refuse(St);
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0)
        throw EFileError("open", FileName, errno);
    std::string Text;
    try {
        if (::fstat(Fd, &St) != 0)
            throw EFileError("open", FileName, errno);
        Refuse(St);
        // The size is a hint: a file may grow while it is read, and files of
        // the kernel's own (/proc) tell 0.
        Text.reserve(static_cast<std::size_t>(St.st_size));
        char Buffer[65536];
        for (;;) {
            const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
            if (N < 0) {
                if (errno == EINTR)
                    continue;
                throw EFileError("read", FileName, errno);
            }
            if (N == 0)
                break;
            if (static_cast<std::size_t>(N) > MaxSize - Text.size())
                throw EFileError("read", FileName, EFBIG);
            Text.append(Buffer, static_cast<std::size_t>(N));
        }
    } catch (...) {
        ::close(Fd);
        throw;
    }
    ::close(Fd);
    return Text;
}

} // namespace platform
