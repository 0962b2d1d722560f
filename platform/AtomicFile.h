// Replacing a file so that it is always either the old one or the complete
// new one: a crash, a full disk or a failed write never leaves a truncated
// settings or results file behind.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A file operation that failed; Errno is the system's error code and
// Operation says which step ("create", "write", "rename"...).
class EFileError : public std::runtime_error {
public:
    EFileError(std::string Operation, const std::string& Path, int Errno);
    // With a reason of our own in place of the system's text for Errno.
    EFileError(std::string Operation, const std::string& Path, int Errno, std::string Reason);
    const std::string Operation;
    const int Errno;
    // What went wrong, without the operation and the file's name: the
    // system's text for Errno, or the reason given.
    const std::string Reason;
};

// Writes every byte, going on after interrupted writes; false with errno set.
bool WriteAll(int Fd, const void* Data, std::size_t Size);

// The file a name stands for: a symbolic link is followed, so that replacing
// the file keeps the link.
std::string ResolveLink(const std::string& FileName);

// Writes Data to a new temporary file in Target's folder, flushed to disk;
// returns its name. It gets Target's permissions when Target exists and
// KeepTargetMode is set, else those of any new file of the user. Raises
// EFileError, leaving nothing behind.
std::string WriteTemporaryBeside(const std::string& Target, std::string_view Data,
                                 bool KeepTargetMode = true);

// Renames Temporary over Target and flushes the folder entry; removes
// Temporary and raises EFileError when the rename fails.
void CommitTemporary(const std::string& Temporary, const std::string& Target);

// Replaces FileName's contents with Data in one step. A link stays a link, the
// file's permissions are kept, a folder is refused, and a file that nobody
// may write is refused too (root included: a rename would bypass that).
void ReplaceFileAtomically(const std::string& FileName, std::string_view Data);

// The most ReadWholeFile takes unless told otherwise: far above any list or
// settings file a user keeps, far below what would exhaust memory.
inline constexpr std::size_t DefaultReadLimit = std::size_t{256} << 20;

// The whole contents of the regular file FileName, read past interrupted
// reads. Anything else is refused before a byte is read, so that a named
// pipe, a device or a socket given as a file name never blocks or streams
// for ever: a folder with EISDIR, the others with EINVAL and the reason "not
// a regular file". A file larger than MaxSize is refused with EFBIG. Raises
// EFileError ("open" or "read").
std::string ReadWholeFile(const std::string& FileName, std::size_t MaxSize = DefaultReadLimit);

} // namespace platform
