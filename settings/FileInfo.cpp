#include "settings/FileInfo.h"

#include "platform/ElfNote.h"
#include "platform/IniProfile.h"
#include "platform/XdgFolders.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <optional>

namespace {

const char* const StringTable = "StringFileInfo\\040904E4\\";
// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr std::uint64_t UnixEpochIn100ns = 116444736000000000ull;

using TRecord = std::map<std::string, std::string>;

std::string Lower(std::string Text)
{
    for (char& C : Text) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return Text;
}

// Names compare without regard to case, as the resource functions do.
TRecord ParseRecord(const std::string& Text)
{
    TRecord Record;
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
        std::size_t End = Text.find('\n', Pos);
        if (End == std::string::npos) {
            End = Text.size();
        }
        std::string_view Line(Text.data() + Pos, End - Pos);
        Pos = End + 1;
        std::size_t Eq = Line.find('=');
        if (Eq == std::string_view::npos || Eq == 0) {
            continue;
        }
        Record.emplace(Lower(std::string(Line.substr(0, Eq))), std::string(Line.substr(Eq + 1)));
    }
    return Record;
}

std::optional<TRecord> ReadRecord(const std::string& FileName)
{
    std::string Path = FileName.empty() ? platform::ProgramFileName() : FileName;
    if (Path.empty()) {
        return std::nullopt;
    }
    std::optional<std::string> Note =
        platform::ReadElfNote(Path, VersionNoteOwner, VersionNoteType);
    if (!Note) {
        return std::nullopt;
    }
    return ParseRecord(*Note);
}

bool ParseNumber(std::string_view Text, std::uint64_t& Value)
{
    Text = platform::TrimProfileBlanks(Text);
    int Base = 10;
    if (Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X')) {
        Base = 16;
        Text.remove_prefix(2);
    }
    auto [End, Err] = std::from_chars(Text.data(), Text.data() + Text.size(), Value, Base);
    return !Text.empty() && Err == std::errc() && End == Text.data() + Text.size();
}

std::uint32_t Number32(const TRecord& Record, const char* Name)
{
    auto Found = Record.find(Lower(Name));
    std::uint64_t V = 0;
    if (Found == Record.end() || !ParseNumber(Found->second, V) || V > 0xFFFFFFFFull) {
        return 0;
    }
    return static_cast<std::uint32_t>(V);
}

// "a.b.c.d", each part a 16-bit number; missing parts are 0.
void Version(const TRecord& Record, const char* Name, std::uint32_t& MS, std::uint32_t& LS)
{
    MS = LS = 0;
    auto Found = Record.find(Lower(Name));
    if (Found == Record.end()) {
        return;
    }
    std::uint32_t Parts[4] = {0, 0, 0, 0};
    std::string_view Rest = Found->second;
    for (int I = 0; I < 4 && !Rest.empty(); ++I) {
        std::size_t Dot = Rest.find('.');
        std::uint64_t V = 0;
        if (!ParseNumber(Rest.substr(0, Dot), V) || V > 0xFFFF) {
            return;
        }
        Parts[I] = static_cast<std::uint32_t>(V);
        Rest = Dot == std::string_view::npos ? std::string_view() : Rest.substr(Dot + 1);
    }
    if (!Rest.empty()) {
        return;
    }
    MS = Parts[0] << 16 | Parts[1];
    LS = Parts[2] << 16 | Parts[3];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long Y, unsigned M, unsigned D)
{
    Y -= M <= 2;
    const long long Era = (Y >= 0 ? Y : Y - 399) / 400;
    const unsigned Yoe = static_cast<unsigned>(Y - Era * 400);
    const unsigned Doy = (153 * (M + (M > 2 ? -3 : 9)) + 2) / 5 + D - 1;
    const unsigned Doe = Yoe * 365 + Yoe / 4 - Yoe / 100 + Doy;
    return Era * 146097 + static_cast<long long>(Doe) - 719468;
}

bool ParseDate(const std::string& Text, unsigned& Y, unsigned& M, unsigned& D)
{
    if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-') {
        return false;
    }
    for (std::size_t I : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
        if (Text[I] < '0' || Text[I] > '9') {
            return false;
        }
    }
    Y = static_cast<unsigned>(std::stoi(Text.substr(0, 4)));
    M = static_cast<unsigned>(std::stoi(Text.substr(5, 2)));
    D = static_cast<unsigned>(std::stoi(Text.substr(8, 2)));
    static const unsigned MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Y < 1601 || M < 1 || M > 12 || D < 1 || D > MonthDays[M - 1]) {
        return false;
    }
    bool Leap = (Y % 4 == 0 && Y % 100 != 0) || Y % 400 == 0;
    return !(M == 2 && D == 29 && !Leap);
}

void FillFixed(const TRecord& Record, TFixedFileInfo& Info)
{
    Info = TFixedFileInfo{};
    Info.Signature = FixedFileInfoSignature;
    Info.StrucVersion = 0x00010000;
    Version(Record, "FileVersion", Info.FileVersionMS, Info.FileVersionLS);
    Version(Record, "ProductVersion", Info.ProductVersionMS, Info.ProductVersionLS);
    Info.FileFlagsMask = Number32(Record, "FileFlagsMask");
    Info.FileFlags = Number32(Record, "FileFlags");
    Info.FileOS = Number32(Record, "FileOS");
    Info.FileType = Number32(Record, "FileType");
    Info.FileSubtype = Number32(Record, "FileSubtype");
    auto Date = Record.find(Lower("BuildDate"));
    unsigned Y = 0, M = 0, D = 0;
    if (Date != Record.end() && ParseDate(Date->second, Y, M, D)) {
        long long Days = DaysFromCivil(Y, M, D);
        auto Stamp = static_cast<std::uint64_t>(static_cast<long long>(UnixEpochIn100ns) +
                                                Days * 86400LL * 10000000LL);
        Info.FileDateMS = static_cast<std::uint32_t>(Stamp >> 32);
        Info.FileDateLS = static_cast<std::uint32_t>(Stamp);
    }
}

} // namespace

void GetFixedFileInfo(const std::string& FileName, TFixedFileInfo& Info)
{
    Info = TFixedFileInfo{};
    if (std::optional<TRecord> Record = ReadRecord(FileName)) {
        FillFixed(*Record, Info);
    }
}

std::string GetVersionInfoString(const std::string& Key, const std::string& FileName)
{
    std::optional<TRecord> Record = ReadRecord(FileName);
    if (!Record) {
        return {};
    }
    auto Found = Record->find(Lower(StringTable + Key));
    return Found == Record->end() ? std::string() : Found->second;
}

std::string GetFileVersionShort(const std::string& FileName)
{
    TFixedFileInfo Info;
    GetFixedFileInfo(FileName, Info);
    char Buf[48];
    unsigned Major = Info.FileVersionMS >> 16, Minor = Info.FileVersionMS & 0xFFFF;
    unsigned Release = Info.FileVersionLS >> 16;
    if (Release != 0) {
        std::snprintf(Buf, sizeof Buf, "%.2u.%.2u.%u", Major, Minor, Release);
    } else {
        std::snprintf(Buf, sizeof Buf, "%.2u.%.2u", Major, Minor);
    }
    return Buf;
}

std::string GetFileVersionFull(const std::string& FileName)
{
    TFixedFileInfo Info;
    GetFixedFileInfo(FileName, Info);
    if (Info.FileVersionMS == 0 && Info.FileVersionLS == 0) {
        return {};
    }
    char Buf[48];
    std::snprintf(Buf, sizeof Buf, "%.2u.%.2u.%u.%u", Info.FileVersionMS >> 16,
                  Info.FileVersionMS & 0xFFFF, Info.FileVersionLS >> 16,
                  Info.FileVersionLS & 0xFFFF);
    return Buf;
}

std::string GetBuildFlagsText(const std::string& FileName)
{
    TFixedFileInfo Info;
    GetFixedFileInfo(FileName, Info);
    std::string Text;
    if (Info.FileFlags & FileFlagDebug) {
        Text = "Beta";
    }
    if (Info.FileFlags & FileFlagPreRelease) {
        Text = "Pre-Release";
    }
    if (Info.FileFlags & FileFlagSpecialBuild) {
        Text = "Special build";
    }
    return Text;
}

std::string GetBuildDate(const std::string& FileName)
{
    std::optional<TRecord> Record = ReadRecord(FileName);
    if (!Record) {
        return {};
    }
    auto Date = Record->find(Lower("BuildDate"));
    unsigned Y = 0, M = 0, D = 0;
    if (Date == Record->end() || !ParseDate(Date->second, Y, M, D)) {
        return {};
    }
    return Date->second;
}

std::string GetProductName()
{
    return GetVersionInfoString("ProductName");
}

std::string GetCompanyName()
{
    return GetVersionInfoString("CompanyName");
}

std::string GetFileCompanyName(const std::string& FileName)
{
    return GetVersionInfoString("CompanyName", FileName);
}

std::string GetLegalCopyright(const std::string& FileName)
{
    return GetVersionInfoString("LegalCopyright", FileName);
}

std::string GetInternalNameLower()
{
    return Lower(GetVersionInfoString("InternalName"));
}
