#include "settings/CommonFunctions.h"

#include "platform/AtomicFile.h"
#include "platform/XdgFolders.h"
#include "settings/FileInfo.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

std::string AppDir;
std::string DefaultDir;
std::string SettingsDir;
std::string MacCommentsFile;
std::string LanguagesDir;
std::string OptionsFile;
std::string ToolsFile;
std::string PresetsFile;

namespace fs = std::filesystem;

namespace {

std::string ProgramFileOverride;
std::optional<std::vector<std::string>> ArgumentsOverride;

std::string ProgramFile()
{
    return ProgramFileOverride.empty() ? platform::ProgramFileName() : ProgramFileOverride;
}

std::string WithSlash(std::string Folder)
{
    if (Folder.empty() || Folder.back() != '/') {
        Folder += '/';
    }
    return Folder;
}

bool EqualsNoCase(const std::string& A, const std::string& B)
{
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t I = 0; I < A.size(); ++I) {
        auto Fold = [](char C) { return C >= 'A' && C <= 'Z' ? char(C - 'A' + 'a') : C; };
        if (Fold(A[I]) != Fold(B[I])) {
            return false;
        }
    }
    return true;
}

// A name that is one folder level: no "/" and not "." or "..".
void CheckFolderName(const std::string& Name, const char* What)
{
    if (Name.find('/') != std::string::npos || Name == "." || Name == "..") {
        throw std::runtime_error(std::string("The program's ") + What + " \"" + Name +
                                 "\" cannot name a settings folder");
    }
}

// Copies Source into a new file beside Target with the permissions of any new
// file of the user (a read-only default must not make a read-only settings
// file). Returns the new file's name, or empty on failure.
std::string CopyToTemporary(const std::string& Source, const fs::path& Target)
{
    try {
        return platform::WriteTemporaryBeside(Target.string(), platform::ReadWholeFile(Source),
                                              false);
    } catch (const platform::EFileError&) {
        return {};
    }
}

bool SameFile(const std::string& A, const std::string& B)
{
    struct stat Sa {
    }, Sb{};
    return ::stat(A.c_str(), &Sa) == 0 && ::stat(B.c_str(), &Sb) == 0 && Sa.st_dev == Sb.st_dev &&
           Sa.st_ino == Sb.st_ino;
}

// Source onto Target, replacing it in one step.
bool CopyReplacing(const std::string& Source, const fs::path& Target)
{
    if (SameFile(Source, Target.string())) {
        return false; // a copy onto itself would only truncate it
    }
    std::string Temp = CopyToTemporary(Source, Target);
    if (Temp.empty()) {
        return false;
    }
    try {
        platform::CommitTemporary(Temp, Target.string());
    } catch (const platform::EFileError&) {
        return false;
    }
    return true;
}

// Source onto Target only when Target does not exist, also when another
// process creates it meanwhile.
bool CopyNotReplacing(const std::string& Source, const fs::path& Target)
{
    std::string Temp = CopyToTemporary(Source, Target);
    if (Temp.empty()) {
        return false;
    }
    bool Ok = ::link(Temp.c_str(), Target.c_str()) == 0;
    if (!Ok && (errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV)) {
        // A file system without hard links.
        Ok = ::renameat2(AT_FDCWD, Temp.c_str(), AT_FDCWD, Target.c_str(), RENAME_NOREPLACE) == 0;
    }
    ::unlink(Temp.c_str());
    return Ok;
}

} // namespace

void SetProgramFileName(const std::string& FileName)
{
    ProgramFileOverride = FileName;
}

void SetCommandLineArguments(std::optional<std::vector<std::string>> Arguments)
{
    ArgumentsOverride = std::move(Arguments);
}

bool FindCmdLineSwitch(const std::string& Switch)
{
    const std::vector<std::string> Args =
        ArgumentsOverride ? *ArgumentsOverride : platform::ProgramArguments();
    for (const std::string& Arg : Args) {
        if (Arg.size() > 1 && (Arg[0] == '-' || Arg[0] == '/') &&
            EqualsNoCase(Arg.substr(1), Switch)) {
            return true;
        }
    }
    return false;
}

bool IsSystemWideConfig()
{
    return FindCmdLineSwitch("systemwideconfig");
}

std::string GetAppDataFolder()
{
    return IsSystemWideConfig() ? platform::SystemConfigFolder() : platform::UserConfigFolder();
}

std::string GetSettingsFolder()
{
    if (PortableBuild || FindCmdLineSwitch("portable")) {
        std::string Program = ProgramFile();
        if (Program.empty()) {
            throw std::runtime_error("The program's own folder is not known");
        }
        return WithSlash(fs::path(Program).parent_path().string());
    }
    std::string Base = GetAppDataFolder();
    if (Base.empty()) {
        throw std::runtime_error(
            "No folder for the settings: neither XDG_CONFIG_HOME nor a home folder is known");
    }
    const std::string Company = GetCompanyName();
    const std::string Product = GetProductName();
    if (Product.empty()) {
        throw std::runtime_error("The program file has no version record with its product "
                                 "name; the settings folder cannot be named");
    }
    CheckFolderName(Company, "company name");
    CheckFolderName(Product, "product name");
    return WithSlash(WithSlash(WithSlash(Base) + Company) + Product);
}

void InitFolderGlobals()
{
    std::string Program = ProgramFile();
    if (Program.empty()) {
        // Without it every folder below would be relative to wherever the
        // program was started from.
        throw std::runtime_error("The program's own folder is not known");
    }
    AppDir = WithSlash(fs::path(Program).parent_path().string());
    DefaultDir = AppDir + "Default/";
    SettingsDir = GetSettingsFolder();
    MacCommentsFile = SettingsDir + "mac_comments.txt";
}

std::string PrepareSettingsFile(const std::string& Name)
{
    const std::string Path = SettingsDir + Name;
    std::error_code Ec;
    if (!fs::exists(fs::symlink_status(Path, Ec))) {
        fs::create_directories(SettingsDir, Ec);
        const std::string Default = DefaultDir + Name;
        if (fs::is_regular_file(Default, Ec)) {
            CopyNotReplacing(Default, Path);
        }
    }
    return Path;
}

void CopyLanguageFiles()
{
    const std::string Source = AppDir + "languages/";
    LanguagesDir = SettingsDir + "languages/";
    std::error_code Ec;
    fs::create_directories(LanguagesDir, Ec);
    fs::directory_iterator It(Source, Ec);
    if (Ec) {
        return;
    }
    for (; It != fs::directory_iterator(); It.increment(Ec)) {
        if (Ec) {
            break;
        }
        const fs::path Entry = It->path();
        std::string Ext = Entry.extension().string();
        std::error_code TypeEc;
        if (!EqualsNoCase(Ext, ".lng") || !fs::is_regular_file(Entry, TypeEc)) {
            continue;
        }
        CopyReplacing(Entry.string(), fs::path(LanguagesDir) / Entry.filename());
    }
}

double Now()
{
    const auto Clock = std::chrono::system_clock::now();
    const std::time_t T = std::chrono::system_clock::to_time_t(Clock);
    std::tm Local{};
    localtime_r(&T, &Local);
    const auto Since = Clock.time_since_epoch() + std::chrono::seconds(Local.tm_gmtoff);
    // 25569: days from 1899-12-30 to 1970-01-01.
    return 25569.0 + std::chrono::duration<double>(Since).count() / 86400.0;
}

std::string FormatDuration(double Elapsed)
{
    if (!std::isfinite(Elapsed)) {
        Elapsed = 0;
    }
    double Fraction = std::fabs(Elapsed - std::trunc(Elapsed));
    long long Ms = std::llround(Fraction * 86400000.0);
    long long Hours = Ms / 3600000;
    long long Minutes = Ms / 60000 % 60;
    long long Seconds = Ms / 1000 % 60;
    char Buf[64];
    if (Hours != 0) {
        std::snprintf(Buf, sizeof Buf, "%lld:%.2lld:%.2lld", Hours, Minutes, Seconds);
    } else {
        std::snprintf(Buf, sizeof Buf, "%.2lld:%.2lld", Minutes, Seconds);
    }
    return Buf;
}
