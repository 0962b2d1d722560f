// The version record of a program file: the fixed version block and the
// named string values that the build writes into every Tolvex executable as
// an ELF note (cmake/TolvexVersionNote.cmake), read back by file name.
//
// Every function takes a file name where noted; an empty name means the
// running program's own file. A file without the record gives zeros and
// empty texts.
#pragma once

#include <cstdint>
#include <string>

// Owner and type of the note that holds the version record.
inline constexpr const char* VersionNoteOwner = "Tolvex";
inline constexpr std::uint32_t VersionNoteType = 1;

// The fixed version block. File version: major = high word of FileVersionMS,
// minor = its low word, release = high word of FileVersionLS, build = its low
// word; the product version likewise.
struct TFixedFileInfo {
    std::uint32_t Signature;
    std::uint32_t StrucVersion;
    std::uint32_t FileVersionMS;
    std::uint32_t FileVersionLS;
    std::uint32_t ProductVersionMS;
    std::uint32_t ProductVersionLS;
    std::uint32_t FileFlagsMask;
    std::uint32_t FileFlags;
    std::uint32_t FileOS;
    std::uint32_t FileType;
    std::uint32_t FileSubtype;
    std::uint32_t FileDateMS; // build date as 100 ns units since 1601-01-01 UTC
    std::uint32_t FileDateLS;
};
static_assert(sizeof(TFixedFileInfo) == 52);

inline constexpr std::uint32_t FixedFileInfoSignature = 0xFEEF04BD;
// File flags.
inline constexpr std::uint32_t FileFlagDebug = 0x01;
inline constexpr std::uint32_t FileFlagPreRelease = 0x02;
inline constexpr std::uint32_t FileFlagSpecialBuild = 0x20;

void GetFixedFileInfo(const std::string& FileName, TFixedFileInfo& Info);
// The string value Key of the table "040904E4"; empty when missing.
std::string GetVersionInfoString(const std::string& Key, const std::string& FileName = "");
// "%.2d.%.2d" of major and minor, with ".%d" release when that is not 0.
std::string GetFileVersionShort(const std::string& FileName = "");
// "%.2d.%.2d.%d.%d"; empty when the whole file version is 0.
std::string GetFileVersionFull(const std::string& FileName = "");
// "Beta", "Pre-Release" or "Special build" by the file flags (the later one
// wins); empty when none is set.
std::string GetBuildFlagsText(const std::string& FileName = "");
// The build date as "YYYY-MM-DD"; empty when the record has none.
std::string GetBuildDate(const std::string& FileName = "");
std::string GetProductName();
std::string GetCompanyName();
std::string GetFileCompanyName(const std::string& FileName);
std::string GetLegalCopyright(const std::string& FileName = "");
// The program's "InternalName" in lower case (product key of web links).
std::string GetInternalNameLower();
