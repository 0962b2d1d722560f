// Reading one note (an owner name, a type and a block of bytes) out of an ELF
// file: the build writes the program's version record as such a note.
//
// The file is untrusted: every offset and size is checked against the file
// before it is used, and a malformed file simply has no note. 32- and 64-bit
// files of either byte order are read, through their section headers and,
// where those are missing, their program headers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Reads Size bytes at Offset into Out; false when they are not all there.
using ElfByteReader = std::function<bool(std::uint64_t Offset, std::size_t Size, void* Out)>;

// The descriptor of the first note with this owner and type in an image of
// FileSize bytes read through Read.
std::optional<std::string> FindElfNote(const ElfByteReader& Read, std::uint64_t FileSize,
                                       std::string_view Owner, std::uint32_t Type);
// The same over bytes in memory.
std::optional<std::string> FindElfNoteInImage(std::string_view Image, std::string_view Owner,
                                              std::uint32_t Type);
// The same over a file; nothing when the file cannot be read.
std::optional<std::string> ReadElfNote(const std::string& Path, std::string_view Owner,
                                       std::uint32_t Type);

} // namespace platform
