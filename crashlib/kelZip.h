// Compression for the crash reporter: a Deflate (RFC 1951) encoder and
// decoder of its own, CRC-32, the small container of the packed map data and
// a zip archive writer for report attachments.
//
// Nothing here needs zlib: the crash reporter must work in a process whose
// libraries may be the very thing that failed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- CRC-32 ----------------------------------------------------------------
// The reflected CRC-32 of ISO 3309 and zip (polynomial 0xEDB88320).

// The 256-entry table of the byte-at-a-time form.
extern const std::array<std::uint32_t, 256> Crc32Table;

// Continues a CRC over Length bytes. Start with 0xFFFFFFFF and invert the
// final value: the CRC-32 of "abc" is then 0x352441C2. Uses the carry-less
// multiply form when the processor has it, else the table form.
std::uint32_t UpdateCrc32(std::uint32_t Crc, const void* Buffer, std::size_t Length);

// The two forms behind UpdateCrc32, for tests and benchmarks. The table form
// is the definition; the folding form gives the same results and falls back
// to the table form on a processor without PCLMULQDQ.
std::uint32_t UpdateCrc32Table(std::uint32_t Crc, const void* Buffer, std::size_t Length);
std::uint32_t UpdateCrc32Folding(std::uint32_t Crc, const void* Buffer, std::size_t Length);
bool Crc32FoldingAvailable();

// ---- Deflate -----------------------------------------------------------------

// The destination size callers give CompressBuf: always enough for its output.
constexpr std::size_t CompressBufCapacity(std::size_t SourceLength)
{
    return SourceLength * 11 / 10 + 12;
}

// Writes a complete raw Deflate stream of Source (no zlib header or trailer,
// the last block flagged final) and returns its length. Returns 0 (and never
// writes past DestCapacity) when the stream does not fit.
std::size_t CompressBuf(const void* Source, void* Dest, std::size_t SourceLength,
                        std::size_t DestCapacity);

// Decodes a raw Deflate stream (stored, fixed and dynamic Huffman blocks) and
// returns the number of bytes produced. Bytes after the final block are
// ignored. A malformed or truncated stream, or one whose output does not fit
// into DestCapacity, gives no value: never a partial count.
std::optional<std::size_t> UncompressBuf(const void* Source, void* Dest, std::size_t SourceLength,
                                         std::size_t DestCapacity);

// ---- Packed container --------------------------------------------------------
// Little-endian: unpacked size (4 bytes), 4 bytes not read here, CRC-32 of the
// unpacked data (4 bytes), then a raw Deflate stream.

// The largest unpacked size UnpackStr accepts, whatever its input.
inline constexpr std::size_t MaxUnpackedSize = std::size_t{1} << 30;

// The unpacked data, or an empty string when the input is shorter than 13
// bytes, declares a size its stream cannot produce, does not decode or does
// not match its CRC.
std::string UnpackStr(std::string_view Packed);

// ---- Zip archives ------------------------------------------------------------

// Writes a zip archive (mode 0600, replacing any file of that name) with one
// deflated entry per readable regular file of Paths, in order. Entry i is named
// Names[i] when there is one, else after the part of Paths[i] behind its last
// "/"; names are stored in UTF-8 without a leading "/" and without ".."
// components. Files that cannot be read, that are 4 GiB or larger, that would
// take the archive past 4 GiB, or that come after the 65,535th entry are left
// out. False, and no archive left behind, when the archive cannot be written
// or holds no entry.
bool ZipFiles(const std::string& ArchiveName, const std::vector<std::string>& Paths,
              const std::vector<std::string>& Names);
