#include "crashreport/kelExceptSave.h"

#include "crashreport/kelExceptSettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// --- Lines ---------------------------------------------------------------------------

struct TLine {
    std::size_t Begin = 0; // first character
    std::size_t End = 0;   // behind the last character (a CR before the LF excluded)
    std::size_t Next = 0;  // where the next line begins
};

TLine LineAt(std::string_view Text, std::size_t At)
{
    TLine L;
    L.Begin = At;
    const std::size_t Lf = Text.find('\n', At);
    L.End = Lf == std::string_view::npos ? Text.size() : Lf;
    L.Next = Lf == std::string_view::npos ? Text.size() : Lf + 1;
    if (L.End > At && Text[L.End - 1] == '\r')
        --L.End;
    return L;
}

char AsciiUpper(char C)
{
    return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

bool SameText(std::string_view A, std::string_view B)
{
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return AsciiUpper(X) == AsciiUpper(Y);
           });
}

// Where the value of a header line begins when the line is the field Name
// ("name", blanks, ": "); npos when it is not.
std::size_t FieldValueAt(std::string_view Line, std::string_view Name)
{
    if (Line.size() < Name.size() || !SameText(Line.substr(0, Name.size()), Name))
        return std::string_view::npos;
    std::size_t At = Name.size();
    while (At < Line.size() && Line[At] == ' ')
        ++At;
    if (Line.substr(At, 2) != ": ")
        return std::string_view::npos;
    return At + 2;
}

// The header's line of the field Name; Begin == npos when there is none.
struct TFieldLine {
    TLine Line{std::string_view::npos, 0, 0};
    std::size_t Value = 0;
};

TFieldLine FindField(std::string_view Report, std::string_view Name)
{
    TFieldLine F;
    if (Name.empty())
        return F;
    for (std::size_t At = 0; At < Report.size();) {
        const TLine L = LineAt(Report, At);
        if (L.End == L.Begin)
            break; // the header ends with the first empty line
        const std::size_t V = FieldValueAt(Report.substr(L.Begin, L.End - L.Begin), Name);
        if (V != std::string_view::npos) {
            F.Line = L;
            F.Value = L.Begin + V;
            return F;
        }
        At = L.Next;
    }
    return F;
}

// The number of characters (UTF-8 code points) of a text.
std::size_t Width(std::string_view Text)
{
    return static_cast<std::size_t>(std::count_if(Text.begin(), Text.end(), [](char C) {
        return (static_cast<unsigned char>(C) & 0xC0) != 0x80;
    }));
}

// --- Reports in a file -----------------------------------------------------------------

constexpr std::string_view DateTimeField = "date/time";

// Whether a report begins at At: the "date/time" header line.
bool ReportBeginsAt(std::string_view Text, std::size_t At)
{
    if (At != 0 && Text[At - 1] != '\n')
        return false;
    const TLine L = LineAt(Text, At);
    return FieldValueAt(Text.substr(L.Begin, L.End - L.Begin), DateTimeField) !=
           std::string_view::npos;
}

// Where the reports of a file begin: 0 (whatever the file begins with counts
// as its first report), then every "date/time" line.
std::vector<std::size_t> ReportStarts(std::string_view Text)
{
    std::vector<std::size_t> Starts{0};
    for (std::size_t Lf = Text.find('\n'); Lf != std::string_view::npos && Lf + 1 < Text.size();
         Lf = Text.find('\n', Lf + 1))
        if (ReportBeginsAt(Text, Lf + 1))
            Starts.push_back(Lf + 1);
    return Starts;
}

// The header facts two reports of the same fault share.
constexpr std::string_view SameFaultFields[] = {"executable",      "current module",
                                                "exception class", "version",
                                                "exec. date/time", "module date/time"};

bool SameFault(std::string_view A, std::string_view B)
{
    return std::all_of(std::begin(SameFaultFields), std::end(SameFaultFields),
                       [&](std::string_view F) { return SameReportField(A, B, F); });
}

constexpr std::string_view CrcField = "callstack crc";
constexpr std::string_view CountField = "count";

// The occurrences a report counts: its "count", 1 when it has none or the
// value is no number.
std::int64_t CountOf(std::string_view Report)
{
    const std::string V = GetReportField(Report, CountField);
    if (V.empty() || V.size() > 9 ||
        !std::all_of(V.begin(), V.end(), [](char C) { return C >= '0' && C <= '9'; }))
        return 1;
    const std::int64_t N = std::strtoll(V.c_str(), nullptr, 10);
    return N < 1 ? 1 : N;
}

// The ending that separates the content from a report appended to it: an
// empty line after its last line.
std::string_view SeparatorAfter(std::string_view Content)
{
    const auto Ends = [&](std::string_view E) {
        return Content.size() >= E.size() && Content.substr(Content.size() - E.size()) == E;
    };
    if (Content.empty() || Ends("\r\n\r\n") || Ends("\n\n"))
        return {};
    if (Ends("\r\n") || Ends("\n"))
        return "\r\n";
    return "\r\n\r\n";
}

// --- Files ---------------------------------------------------------------------------

std::string FolderOf(const std::string& Path)
{
    const std::size_t Slash = Path.rfind('/');
    if (Slash == std::string::npos)
        return ".";
    return Slash == 0 ? "/" : Path.substr(0, Slash);
}

bool WriteAllBytes(int Fd, std::string_view Data)
{
    std::size_t Done = 0;
    while (Done < Data.size()) {
        const ssize_t N = ::write(Fd, Data.data() + Done, Data.size() - Done);
        if (N < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        Done += static_cast<std::size_t>(N);
    }
    return true;
}

// The content of a regular file; none when it cannot be read (or is no
// regular file). A missing file is empty.
std::optional<std::string> ReadExisting(const std::string& File)
{
    const int Fd = ::open(File.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0)
        return errno == ENOENT ? std::optional<std::string>(std::string())
                               : std::optional<std::string>();
    std::optional<std::string> Text;
    struct stat Info {};
    if (::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode)) {
        Text.emplace();
        Text->reserve(static_cast<std::size_t>(Info.st_size));
        char Buffer[65536];
        for (;;) {
            const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
            if (N < 0 && errno == EINTR)
                continue;
            if (N < 0) {
                Text.reset();
                break;
            }
            if (N == 0)
                break;
            Text->append(Buffer, static_cast<std::size_t>(N));
        }
    }
    ::close(Fd);
    return Text;
}

// Holds "<file>.lock" with flock while it lives.
class TFileLock {
public:
    TFileLock(const std::string& File, std::chrono::milliseconds Limit)
    {
        Fd = ::open((File + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (Fd < 0)
            return;
        const auto End = std::chrono::steady_clock::now() + Limit;
        while (::flock(Fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() > End) {
                ::close(Fd);
                Fd = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~TFileLock()
    {
        if (Fd >= 0)
            ::close(Fd); // releases the lock
    }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;
    bool Held() const { return Fd >= 0; }

private:
    int Fd = -1;
};

// The file a name stands for: a symbolic link is followed, so that saving
// keeps the link.
std::string FollowLink(const std::string& File)
{
    struct stat Info {};
    if (::lstat(File.c_str(), &Info) == 0 && S_ISLNK(Info.st_mode))
        if (char* Real = ::realpath(File.c_str(), nullptr)) {
            std::string Target = Real;
            std::free(Real);
            return Target;
        }
    return File;
}

// The placeholders of the report file's name that stay as they are.
constexpr std::string_view KeptPlaceholders[] = {"%exceptMsg%", "%bugReport%", "%errorDetails%",
                                                 "%exceptClass%"};
// The placeholders that stand for folders: their colons belong to the path.
constexpr std::string_view FolderPlaceholders[] = {"%desktop%", "%userappdata%", "%commonappdata%",
                                                   "%localappdata%"};

bool IsOneOf(std::string_view Token, const std::string_view* Begin, const std::string_view* End)
{
    return std::any_of(Begin, End, [&](std::string_view P) { return SameText(P, Token); });
}

} // namespace

// ---------------------------------------------------------------------------------
// Fields and sections

std::string GetReportField(std::string_view Report, std::string_view Name)
{
    const TFieldLine F = FindField(Report, Name);
    if (F.Line.Begin == std::string_view::npos)
        return {};
    return std::string(Report.substr(F.Value, F.Line.End - F.Value));
}

std::string SetReportField(std::string_view Report, std::string_view Name, std::string_view Value,
                           std::string_view After)
{
    std::string Text(Report);
    if (const TFieldLine F = FindField(Report, Name); F.Line.Begin != std::string_view::npos) {
        Text.replace(F.Value, F.Line.End - F.Value, Value);
        return Text;
    }
    // The column of the ": " in the line the new one follows (else in the
    // first header line), so the new line lines up with the others.
    TFieldLine Anchor = FindField(Report, After);
    std::size_t InsertAt = 0;
    std::string_view Ending = "\r\n";
    if (Anchor.Line.Begin == std::string_view::npos) {
        // After the header's last line.
        std::size_t At = 0;
        TLine Last{std::string_view::npos, 0, 0};
        while (At < Report.size()) {
            const TLine L = LineAt(Report, At);
            if (L.End == L.Begin)
                break;
            Last = L;
            At = L.Next;
        }
        if (Last.Begin == std::string_view::npos) {
            const std::string Line = std::string(Name) + " : " + std::string(Value);
            return Report.empty() ? Line : Line + "\r\n" + Text;
        }
        Anchor.Line = Last;
    }
    const TLine& L = Anchor.Line;
    const std::string_view AnchorLine = Report.substr(L.Begin, L.End - L.Begin);
    const std::size_t Colon = AnchorLine.find(": ");
    const std::size_t Column =
        Colon == std::string_view::npos ? 0 : Width(AnchorLine.substr(0, Colon));
    std::string Line(Name);
    Line.append(Column > Width(Name) ? Column - Width(Name) : 1, ' ');
    Line += ": ";
    Line += Value;
    if (L.Next > L.End && Report[L.End] == '\n')
        Ending = "\n"; // a file whose lines end with LF alone keeps them so
    if (L.Next == Report.size() && Report.back() != '\n') {
        // The anchor is the text's last line, without a line feed: the new
        // line follows it, and a CR the anchor ended with belongs to the line
        // end written now (left alone, it would join the two lines).
        Text.resize(L.End);
        Text += std::string(Ending) + Line;
        return Text;
    }
    InsertAt = L.Next;
    Text.insert(InsertAt, Line + std::string(Ending));
    return Text;
}

bool SameReportField(std::string_view A, std::string_view B, std::string_view Name)
{
    return GetReportField(A, Name) == GetReportField(B, Name);
}

std::string GetReportSection(std::string_view Report, std::string_view Name)
{
    if (Name.empty())
        return {};
    const std::string Title =
        std::string(Name) + (Name.find(':') == std::string_view::npos ? ":" : "");
    bool AfterEmpty = false;
    for (std::size_t At = 0; At < Report.size();) {
        const TLine L = LineAt(Report, At);
        const std::string_view Line = Report.substr(L.Begin, L.End - L.Begin);
        if (AfterEmpty && SameText(Line, Title)) {
            std::string Section;
            for (std::size_t In = L.Next; In < Report.size();) {
                const TLine S = LineAt(Report, In);
                if (S.End == S.Begin)
                    break;
                if (!Section.empty())
                    Section += "\r\n";
                Section.append(Report.substr(S.Begin, S.End - S.Begin));
                In = S.Next;
            }
            return Section;
        }
        AfterEmpty = L.End == L.Begin;
        At = L.Next;
    }
    return {};
}

std::string RemoveReportSection(std::string_view Report, std::string_view Name)
{
    std::string Out(Report);
    if (Name.empty())
        return Out;
    const std::string Title =
        std::string(Name) + (Name.find(':') == std::string_view::npos ? ":" : "");
    // Every section of that name, from its title through the empty line
    // after it (or the end).
    bool AfterEmpty = false;
    for (std::size_t At = 0; At < Out.size();) {
        const TLine L = LineAt(Out, At);
        if (AfterEmpty && SameText(std::string_view(Out).substr(L.Begin, L.End - L.Begin), Title)) {
            std::size_t End = L.Next;
            while (End < Out.size()) {
                const TLine S = LineAt(Out, End);
                End = S.Next;
                if (S.End == S.Begin)
                    break;
            }
            Out.erase(L.Begin, End - L.Begin);
            At = L.Begin;
            continue;
        }
        AfterEmpty = L.End == L.Begin;
        At = L.Next;
    }
    return Out;
}

// ---------------------------------------------------------------------------------
// Merging

TReportFileRules ReportFileRules(const TIKESettings& Settings)
{
    TReportFileRules R;
    R.Append = Settings.GetBoolSetting("AppendBugReps");
    R.SizeLimit = Settings.GetIntSetting("BugRepFileSize");
    R.NoDupExcepts = Settings.GetBoolSetting("NoDupExcepts");
    R.NoDupFreezes = Settings.GetBoolSetting("NoDupFreezes");
    R.DupExceptDef = Settings.GetIntSetting("DupExceptDef");
    R.DupFreezeDef = Settings.GetIntSetting("DupFreezeDef");
    return R;
}

std::string DuplicateKey(std::string_view Report, const TReportFileRules& Rules)
{
    const std::string Crc = GetReportField(Report, CrcField);
    if (Crc.size() != 31)
        return {};
    const bool Freeze = GetReportField(Report, "exception class").empty();
    if (!(Freeze ? Rules.NoDupFreezes : Rules.NoDupExcepts))
        return {};
    const int Def = Freeze ? Rules.DupFreezeDef : Rules.DupExceptDef;
    return Crc.substr(0, Def <= 0 ? 9 : Def == 1 ? 20 : 31);
}

std::string MergeReportIntoFile(std::string_view Old, std::string_view Report,
                                const TReportFileRules& Rules, std::string* Saved)
{
    std::string New(Report);
    std::string Content;
    if (Rules.Append && !Old.empty()) {
        Content.assign(Old);
        const bool TooBig =
            Rules.SizeLimit > 0 && static_cast<std::uint64_t>(Rules.SizeLimit) < Content.size();

        // The report that gives way to the new one: the same event saved
        // before, else the latest earlier report of the same fault.
        const std::string Key = DuplicateKey(New, Rules);
        const std::string DateTime = GetReportField(New, DateTimeField);
        const std::string Crc = GetReportField(New, CrcField);
        const auto Starts = ReportStarts(Content);
        std::size_t CutBegin = 0, CutEnd = 0;
        std::int64_t Count = 0;
        for (std::size_t I = Starts.size(); I-- > 0 && CutEnd == 0;) {
            const std::size_t End = I + 1 < Starts.size() ? Starts[I + 1] : Content.size();
            const std::string_view OldReport =
                std::string_view(Content).substr(Starts[I], End - Starts[I]);
            if (!DateTime.empty() && GetReportField(OldReport, DateTimeField) == DateTime &&
                GetReportField(OldReport, CrcField) == Crc && SameFault(OldReport, New)) {
                CutBegin = Starts[I], CutEnd = End;
                Count = CountOf(OldReport);
            }
        }
        for (std::size_t I = Starts.size(); I-- > 0 && CutEnd == 0 && !Key.empty();) {
            const std::size_t End = I + 1 < Starts.size() ? Starts[I + 1] : Content.size();
            const std::string_view OldReport =
                std::string_view(Content).substr(Starts[I], End - Starts[I]);
            if (GetReportField(OldReport, CrcField).starts_with(Key) && SameFault(OldReport, New)) {
                CutBegin = Starts[I], CutEnd = End;
                Count = std::min<std::int64_t>(CountOf(OldReport), INT_MAX - 1) + 1;
            }
        }
        if (CutEnd != 0) {
            Content.erase(CutBegin, CutEnd - CutBegin);
            if (Count > 1)
                New = SetReportField(New, CountField, std::to_string(Count), CrcField);
        }

        if (TooBig) {
            // Whole reports from the start, until less than three quarters of
            // the limit is left.
            const std::uint64_t Keep = static_cast<std::uint64_t>(Rules.SizeLimit) * 3 / 4;
            std::size_t Cut = Content.size();
            for (const std::size_t Start : ReportStarts(Content))
                if (Content.size() - Start < Keep) {
                    Cut = Start;
                    break;
                }
            Content.erase(0, Cut);
        }
        Content += SeparatorAfter(Content);
    }
    Content += New;
    Content += "\r\n\r\n";
    if (Saved != nullptr)
        *Saved = std::move(New);
    return Content;
}

// ---------------------------------------------------------------------------------
// The file

std::string ReportFileName(const TIKESettings& Settings)
{
    const std::string Raw = Settings.GetRawTextSetting("BugRepFile");
    std::string Name;
    std::size_t At = 0;
    while (At < Raw.size()) {
        const std::size_t Open = Raw.find('%', At);
        const std::size_t Close =
            Open == std::string::npos ? std::string::npos : Raw.find('%', Open + 1);
        if (Close == std::string::npos) {
            Name.append(Raw, At, std::string::npos);
            break;
        }
        Name.append(Raw, At, Open - At);
        const std::string_view Token = std::string_view(Raw).substr(Open, Close + 1 - Open);
        std::string Expanded =
            IsOneOf(Token, std::begin(KeptPlaceholders), std::end(KeptPlaceholders))
                ? std::string(Token)
                : ExpandPlaceholders(Token, Settings.Module());
        if (Expanded == Token) {
            // No placeholder: its closing "%" may open the next one.
            Name.append(Raw, Open, Close - Open);
            At = Close;
            continue;
        }
        if (!IsOneOf(Token, std::begin(FolderPlaceholders), std::end(FolderPlaceholders)))
            std::replace(Expanded.begin(), Expanded.end(), ':', '.');
        Name += Expanded;
        At = Close + 1;
    }
    return MakeFullPath(Name);
}

bool ForceDirectories(std::string_view Folder)
{
    std::string Path(Folder);
    while (Path.size() > 1 && Path.back() == '/')
        Path.pop_back();
    if (Path.empty())
        return false;
    struct stat Info {};
    if (::stat(Path.c_str(), &Info) == 0)
        return S_ISDIR(Info.st_mode);
    const std::size_t Slash = Path.rfind('/');
    if (Slash != std::string::npos && Slash > 0 && !ForceDirectories(Path.substr(0, Slash)))
        return false;
    return ::mkdir(Path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteFileAtomically(const std::string& FileName, std::string_view Data)
{
    const std::string Folder = FolderOf(FileName);
    const std::size_t Slash = FileName.rfind('/');
    const std::string Base =
        (Slash == std::string::npos ? FileName : FileName.substr(Slash + 1)).substr(0, 200);
    std::string Temp = Folder + "/." + Base + ".XXXXXX";
    const int Fd = ::mkostemp(Temp.data(), O_CLOEXEC);
    if (Fd < 0)
        return false;
    struct stat Info {};
    bool Ok = true;
    if (::stat(FileName.c_str(), &Info) == 0)
        Ok = ::fchmod(Fd, Info.st_mode & 07777) == 0;
    Ok = Ok && WriteAllBytes(Fd, Data) && ::fsync(Fd) == 0;
    Ok = ::close(Fd) == 0 && Ok;
    Ok = Ok && ::rename(Temp.c_str(), FileName.c_str()) == 0;
    if (!Ok) {
        ::unlink(Temp.c_str());
        return false;
    }
    // The rename reaches the disk with the folder's entry.
    const int Dir = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir >= 0) {
        ::fsync(Dir);
        ::close(Dir);
    }
    return true;
}

bool SaveReportToFile(std::string_view Report, const TIKESettings& Settings,
                      std::string_view FileName, std::string* SavedAs)
{
    const std::string File =
        FollowLink(FileName.empty() ? ReportFileName(Settings) : MakeFullPath(FileName));
    if (SavedAs != nullptr)
        *SavedAs = File;
    if (!ForceDirectories(FolderOf(File)))
        return false;
    const TFileLock Lock(File, std::chrono::seconds(10));
    if (!Lock.Held())
        return false;
    const TReportFileRules Rules = ReportFileRules(Settings);
    std::string Old;
    if (Rules.Append) {
        auto Read = ReadExisting(File);
        if (!Read)
            return false; // a file that cannot be read is never replaced
        Old = std::move(*Read);
    }
    return WriteFileAtomically(File, MergeReportIntoFile(Old, Report, Rules));
}
