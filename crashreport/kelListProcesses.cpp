#include "crashreport/kelListProcesses.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptReport.h"

#include <algorithm>
#include <charconv>
#include <dirent.h>
#include <sched.h>

namespace {

template <class T> bool ToNumber(std::string_view Text, T& Value)
{
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return Error == std::errc() && End == Text.data() + Text.size();
}

// The entries of a directory other than "." and ".."; 0 when it cannot be read.
std::uint32_t CountEntries(const std::string& Folder)
{
    DIR* D = opendir(Folder.c_str());
    if (D == nullptr)
        return 0;
    std::uint32_t N = 0;
    while (const dirent* E = readdir(D))
        if (std::string_view Name = E->d_name; Name != "." && Name != "..")
            ++N;
    closedir(D);
    return N;
}

struct TRegisterProcesses {
    TRegisterProcesses()
    {
        RegisterBugReportPlugin("processes", "list of running processes", &ListProcessesPlugin);
    }
    ~TRegisterProcesses() { UnregisterBugReportPlugin("processes"); }
};
const TRegisterProcesses RegisterProcesses;

} // namespace

// Asked for when the static library is linked (see kelListModules).
extern "C" const char KelListProcessesLinked = 1;

std::uint32_t PriorityClassOf(int Policy, int Nice)
{
    if (Policy == SCHED_FIFO || Policy == SCHED_RR || Policy == 6 /* SCHED_DEADLINE */)
        return pcRealtime;
    if (Policy == SCHED_IDLE || Nice >= 11)
        return pcIdle;
    if (Nice >= 1)
        return pcBelowNormal;
    if (Nice == 0)
        return pcNormal;
    return Nice >= -10 ? pcAboveNormal : pcHigh;
}

std::string PriorityText(std::uint32_t PriorityClass)
{
    switch (PriorityClass) {
    case pcIdle:
        return "idle";
    case pcBelowNormal:
        return "below normal";
    case pcNormal:
        return "normal";
    case pcAboveNormal:
        return "above normal";
    case pcHigh:
        return "high";
    case pcRealtime:
        return "realtime";
    case 0:
    case pcUnknown:
        return {};
    default:
        return "$" + CardToHexA(PriorityClass);
    }
}

bool ParseProcessRecord(std::string_view Stat, std::string_view Exe, std::string_view Comm,
                        TProcessRecord& R)
{
    const auto F = ProcStatFields(Stat);
    int Nice = 0, Policy = 0;
    if (F.size() <= 20 || !ToNumber(F[1], R.ProcessId) || !ToNumber(F[6], R.SessionId) ||
        !ToNumber(F[19], Nice) || !ToNumber(F[20], R.Threads))
        return false;
    // The policy is field 41; a kernel too old to give it runs everything normally.
    if (F.size() > 41 && !ToNumber(F[41], Policy))
        Policy = 0;
    R.PriorityClass = PriorityClassOf(Policy, Nice);
    if (!Exe.empty()) {
        const auto Slash = Exe.rfind('/');
        R.FileName = std::string(Exe.substr(Slash + 1));
        R.Folder =
            Slash == std::string_view::npos ? std::string() : std::string(Exe.substr(0, Slash));
    } else {
        std::string Name(Comm);
        while (!Name.empty() && Name.back() == '\n')
            Name.pop_back();
        R.FileName = Name.empty() ? std::string(F[2]) : Name;
        R.Folder.clear();
    }
    return true;
}

std::vector<TProcessRecord> ListProcesses(const std::string& ProcRoot)
{
    std::vector<TProcessRecord> List;
    DIR* D = opendir(ProcRoot.c_str());
    if (D == nullptr)
        return List;
    while (const dirent* E = readdir(D)) {
        std::uint32_t Pid = 0;
        if (!ToNumber(std::string_view(E->d_name), Pid))
            continue;
        const std::string Dir = ProcRoot + "/" + E->d_name;
        TProcessRecord R;
        if (!ParseProcessRecord(ReadSmallFile(Dir + "/stat"), ReadLinkTarget(Dir + "/exe"),
                                ReadSmallFile(Dir + "/comm"), R))
            continue;
        R.Descriptors = CountEntries(Dir + "/fd");
        List.push_back(std::move(R));
    }
    closedir(D);
    return List;
}

std::string ProcessesText(const std::vector<TProcessRecord>& Processes)
{
    std::size_t IdDigits = 1, Name = 0, Session = 0, Threads = 0, Descriptors = 0, Priority = 0;
    bool AnySession = false;
    for (const auto& P : Processes) {
        IdDigits = std::max(IdDigits, CardToHexA(P.ProcessId).size());
        Name = std::max(Name, TextWidth(P.FileName));
        if (P.SessionId != 0) {
            AnySession = true;
            Session = std::max(Session, std::to_string(P.SessionId).size());
        }
        Threads = std::max(Threads, std::to_string(P.Threads).size());
        Descriptors = std::max(Descriptors, std::to_string(P.Descriptors).size());
        Priority = std::max(Priority, PriorityText(P.PriorityClass).size());
    }
    auto Column = [](const std::string& Text, std::size_t Width) {
        return FillText(Text, -static_cast<int>(Width + 1));
    };
    std::string Text;
    for (const auto& P : Processes) {
        if (!Text.empty())
            Text += "\r\n";
        Text += FillStrA(CardToHexA(P.ProcessId), static_cast<int>(IdDigits), '0') + " " +
                Column(P.FileName, Name);
        if (AnySession)
            Text += Column(std::to_string(P.SessionId), Session);
        Text += Column(std::to_string(P.Threads), Threads) +
                Column(std::to_string(P.Descriptors), Descriptors) +
                Column(PriorityText(P.PriorityClass), Priority) + P.Folder;
    }
    return Text;
}

void ListProcessesPlugin(std::string& Text)
{
    Text = ProcessesText(ListProcesses());
}
