#include "crashreport/send/kelExceptMailClient.h"

#include "crashreport/kelExceptSave.h"
#include "crashreport/kelExceptSettings.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Every byte but letters, digits, "." and "@".
const TKelCharSet& MailtoEscaped()
{
    static const TKelCharSet Set = [] {
        TKelCharSet S;
        S.set();
        for (char C = '0'; C <= '9'; ++C)
            S.reset(static_cast<unsigned char>(C));
        for (char C = 'A'; C <= 'Z'; ++C) {
            S.reset(static_cast<unsigned char>(C));
            S.reset(static_cast<unsigned char>(C - 'A' + 'a'));
        }
        S.reset('.');
        S.reset('@');
        return S;
    }();
    return Set;
}

// The bare addresses of a recipient list ("Name <a@b>, c@d" -> a@b, c@d).
std::vector<std::string> BareAddresses(std::string_view Recipients)
{
    std::string List(Recipients);
    TidyAddressList(List);
    std::vector<std::string> Out;
    std::size_t At = 0;
    while (At < List.size()) {
        const std::size_t Comma = std::min(List.find(',', At), List.size());
        std::string A = FormatMailAddress(std::string_view(List).substr(At, Comma - At), false);
        const std::size_t Close = A.find('>');
        A = A.substr(1, Close == std::string::npos ? std::string::npos : Close - 1);
        if (!A.empty())
            Out.push_back(A);
        At = Comma + 1;
    }
    return Out;
}

int HexValue(char C)
{
    return C >= '0' && C <= '9' ? C - '0' : C >= 'A' && C <= 'F' ? C - 'A' + 10 : -1;
}

// A URL cut short of a broken "%XX" escape and of a character whose bytes
// the cut split.
void CutCleanly(std::string& Url, std::size_t Limit)
{
    if (Url.size() <= Limit)
        return;
    Url.resize(Limit);
    if (Url.size() >= 1 && Url[Url.size() - 1] == '%')
        Url.resize(Url.size() - 1);
    else if (Url.size() >= 2 && Url[Url.size() - 2] == '%')
        Url.resize(Url.size() - 2);
    // The escaped bytes at the end: continuation bytes after a lead byte
    // that wants more of them than are there.
    std::size_t End = Url.size();
    int Continuations = 0;
    while (End >= 3 && Url[End - 3] == '%') {
        const int Byte = HexValue(Url[End - 2]) * 16 + HexValue(Url[End - 1]);
        if (Byte < 0)
            return;
        if ((Byte & 0xC0) == 0x80) {
            ++Continuations;
            End -= 3;
            continue;
        }
        const int Wanted = Byte >= 0xF0 ? 3 : Byte >= 0xE0 ? 2 : Byte >= 0xC0 ? 1 : 0;
        if (Continuations < Wanted)
            Url.resize(End - 3);
        return;
    }
}

// Copies of the attachments under their send-as names, in a new folder of
// the crash reporter's folder; folders of earlier sends older than a week go.
std::vector<std::string> CopiesForMailProgram(const std::vector<TPreparedAttachment>& Attachments)
{
    std::vector<std::string> Files;
    if (Attachments.empty())
        return Files;
    const std::string Base = CrashReportFolder();
    if (!ForceDirectories(Base))
        return Files;
    std::error_code Ec;
    const auto WeekAgo = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 7);
    for (const auto& Entry : std::filesystem::directory_iterator(Base, Ec))
        if (Entry.path().filename().string().starts_with("mail-") && Entry.is_directory(Ec) &&
            !Entry.is_symlink(Ec) && Entry.last_write_time(Ec) < WeekAgo)
            std::filesystem::remove_all(Entry.path(), Ec);
    std::string Folder = Base + "/mail-XXXXXX";
    if (::mkdtemp(Folder.data()) == nullptr)
        return Files;
    std::set<std::string> Taken;
    for (const auto& A : Attachments) {
        std::string Name = A.SendAs.substr(A.SendAs.rfind('/') + 1);
        if (Name.empty() || Name == "." || Name == "..")
            Name = "attachment";
        for (int N = 2; Taken.count(Name) != 0; ++N)
            Name = std::to_string(N) + "-" + Name;
        Taken.insert(Name);
        const std::string Copy = Folder + "/" + Name;
        if (std::filesystem::copy_file(A.File, Copy, Ec))
            Files.push_back(Copy);
    }
    return Files;
}

} // namespace

std::string MailtoUrl(std::string_view Recipients, std::string_view Subject, std::string_view Body)
{
    // The "," between addresses stays as it is: an escaped one would be a
    // part of an address to a reader that splits before it decodes.
    std::string To;
    for (const auto& A : BareAddresses(Recipients))
        To += (To.empty() ? "" : ",") + EncodeBytesInSet(A, MailtoEscaped(), '%');
    std::string Url = "mailto:" + To +
                      "?subject=" + EncodeBytesInSet(Subject, MailtoEscaped(), '%') +
                      "&body=" + EncodeBytesInSet(Body, MailtoEscaped(), '%');
    CutCleanly(Url, MaxMailtoLength);
    return Url;
}

int RunAndWait(const std::vector<std::string>& Argv)
{
    if (Argv.empty())
        return -1;
    std::vector<char*> Args;
    for (const auto& A : Argv)
        Args.push_back(const_cast<char*>(A.c_str()));
    Args.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attr;
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attr);
    // Nothing of ours but the standard descriptors: the helper's link must
    // close when the helper ends, whatever the mail program does.
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
    // Its own session: the mail program lives on after us.
    posix_spawnattr_setflags(&Attr, POSIX_SPAWN_SETSID);
    pid_t Pid = -1;
    const int Rc = ::posix_spawnp(&Pid, Args[0], &Actions, &Attr, Args.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attr);
    if (Rc != 0)
        return -1;
    int Status = 0;
    while (::waitpid(Pid, &Status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

bool SendViaMailProgram(std::string_view Recipients, std::string_view Subject,
                        std::string_view Body, const std::vector<TPreparedAttachment>& Attachments)
{
    // xdg-email writes each "\n" as a line break of its own, a "\r" before
    // it included: the body goes with bare "\n" line ends.
    std::string Lines;
    for (std::size_t I = 0; I < Body.size(); ++I)
        if (!(Body[I] == '\r' && I + 1 < Body.size() && Body[I + 1] == '\n'))
            Lines += Body[I];
    std::vector<std::string> Argv = {"xdg-email",          "--utf8", "--subject",
                                     std::string(Subject), "--body", Lines};
    for (const auto& File : CopiesForMailProgram(Attachments)) {
        Argv.push_back("--attach");
        Argv.push_back(File);
    }
    // An address that looks like an option is no address.
    for (const auto& A : BareAddresses(Recipients))
        if (A.front() != '-')
            Argv.push_back(A);
    return RunAndWait(Argv) == 0;
}

bool SendViaMailto(std::string_view Recipients, std::string_view Subject, std::string_view Body)
{
    return RunAndWait({"xdg-open", MailtoUrl(Recipients, Subject, Body)}) == 0;
}
