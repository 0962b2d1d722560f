// What the program's end costs the main window: closing it stores the
// address list and the options and frees the lists, and the program ends
// only then. Measured as a user meets it, in a portable program folder with
// the shipped defaults, for a window without rows and for 65,536 rows:
//   - an address list read from options.xml and left as it was,
//   - an address list imported in this run (the options must be written),
//   - a computer list opened into the result list,
//   - a scan of silent hosts that runs (only where TOLVEX_BENCH_SILENT_RANGE
//     names them, "first-last": run the benchmark in a network namespace of
//     its own whose link holds their subnet and leads to no one, so that every echo and
//     every question goes unanswered; nothing else is sent anywhere; the
//     vendor database is looked for beside the benchmark), e.g.
//       ip netns add b; ip -n b link add v0 type veth peer name v1
//       ip -n b addr add 198.18.7.1/24 dev v0; ip -n b link set v0 up; ip -n b link set v1 up
//       TOLVEX_BENCH_SILENT_RANGE=198.18.7.2-198.18.7.254 ip netns exec b ./main_window_exit_bench
//       ip netns del b
// Each case runs several times; the least and the middle time are printed.
#include "app/uTolvex.h"
#include "app/uTolvexFiles.h"
#include "engine/uComputerList.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QStackedWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int Rows = 65536;
constexpr int Runs = 7;

std::string Address(int I)
{
    return "10.20." + std::to_string(I >> 8) + "." + std::to_string(I & 255);
}

std::string Hex2(unsigned V)
{
    static const char* D = "0123456789abcdef";
    return {D[(V >> 4) & 15], D[V & 15]};
}

// A portable program folder with the shipped default files, fresh each time.
class TProgramFolder {
public:
    explicit TProgramFolder(const std::string& Source)
    {
        const std::string App = Dir.Path("app");
        std::filesystem::create_directories(App + "/Default");
        std::filesystem::create_directories(App + "/languages");
        for (const char* F : {"options.xml", "tools.xml", "presets.xml"})
            std::filesystem::copy_file(Source + "/resources/Default/" + F, App + "/Default/" + F);
        std::filesystem::copy_file(Source + "/resources/languages/english.lng",
                                   App + "/languages/english.lng");
        SetProgramFileName(App + "/tolvex");
        SetCommandLineArguments(std::vector<std::string>{"-portable"});
    }
    ~TProgramFolder()
    {
        LangChanger.reset();
        SetCommandLineArguments(std::nullopt);
        SetProgramFileName("");
    }
    std::string Path(const std::string& Name) { return Dir.Path(Name); }
    TempFolder Dir;
};

double MsSince(std::chrono::steady_clock::time_point T)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - T).count();
}

// Makes the window (Prepare may fill it), then times its end; Start gets the
// time the window took to be made (reading the options among it).
double TimeEnd(const std::string& Source, const std::function<void(TProgramFolder&)>& Before,
               const std::function<void(TfrmTolvex&, TProgramFolder&)>& Prepare, double& Start)
{
    TProgramFolder Folder(Source);
    Before(Folder);
    const auto Made = std::chrono::steady_clock::now();
    auto Window = std::make_unique<TfrmTolvex>();
    Start = MsSince(Made);
    Window->show();
    QApplication::processEvents();
    Prepare(*Window, Folder);
    QApplication::processEvents();
    const auto T = std::chrono::steady_clock::now();
    Window.reset();
    return MsSince(T);
}

void Report(const char* Name, const std::string& Source,
            const std::function<void(TProgramFolder&)>& Before,
            const std::function<void(TfrmTolvex&, TProgramFolder&)>& Prepare)
{
    // TOLVEX_BENCH_CASE=<start of a case's name>: that case alone.
    const char* Only = std::getenv("TOLVEX_BENCH_CASE");
    if (Only && std::string(Name).rfind(Only, 0) != 0)
        return;
    std::vector<double> Ms, Starts;
    for (int I = 0; I < Runs; ++I) {
        double Start = 0;
        Ms.push_back(TimeEnd(Source, Before, Prepare, Start));
        Starts.push_back(Start);
    }
    std::sort(Ms.begin(), Ms.end());
    std::sort(Starts.begin(), Starts.end());
    std::printf("%-48s end: least %6.1f ms, middle %6.1f ms   (start: middle %6.1f ms)\n", Name,
                Ms.front(), Ms[Ms.size() / 2], Starts[Starts.size() / 2]);
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication App(argc, argv);
    InstallMainThreadIntoEventLoop();
    SetMessageSink([](const TMessageBoxCall& Call) {
        std::fprintf(stderr, "message: %s\n", Call.Text.c_str());
        return mrOk;
    });
    const std::string Source = TOLVEX_SOURCE_DIR;

    std::vector<std::string> Addresses;
    std::string ImportText;
    for (int I = 0; I < Rows; ++I) {
        Addresses.push_back(Address(I));
        ImportText += Addresses.back() + "\r\n";
    }
    std::vector<std::unique_ptr<TComputer>> Computers;
    for (int I = 0; I < Rows; ++I)
        Computers.push_back(MakeArpComputer(
            "host-" + std::to_string(I), Address(I),
            "00-1b-21-" + Hex2(I >> 8) + "-" + Hex2(I & 255) + "-00", "Intel Corporate"));
    const auto Nothing = [](TProgramFolder&) {};
    const auto Keep = [](TfrmTolvex&, TProgramFolder&) {};
    // A file a dialog would have chosen.
    const auto Choose = [](const std::string& File) {
        SetFileDialog([File](const TFileDialogOptions&, std::string& Name, int& Index) {
            Name = File;
            Index = 1;
            return true;
        });
    };

    Report("no rows", Source, Nothing, Keep);
    Report(
        "65,536 address rows read and left as they were", Source,
        [&](TProgramFolder& F) {
            // A first start writes the options; the rows are the user's
            // from an earlier run.
            const std::string Options = F.Path("app/options.xml");
            std::filesystem::copy_file(Source + "/resources/Default/options.xml", Options);
            TXMLStorage S(Options);
            S.Load();
            S.WriteStrings("Defaults", "lstAddressList", Addresses);
            S.Save();
            // The run that wrote them placed the window as it stays.
            auto Earlier = std::make_unique<TfrmTolvex>();
            Earlier->show();
            QApplication::processEvents();
        },
        Keep);
    Report("65,536 address rows imported in this run", Source, Nothing,
           [&](TfrmTolvex& W, TProgramFolder& F) {
               const std::string File = F.Path("list.txt");
               TempFolder::Write(File, ImportText);
               Choose(File);
               W.actAddressListImport->Execute();
           });
    Report("65,536 result rows opened from a file", Source, Nothing,
           [&](TfrmTolvex& W, TProgramFolder& F) {
               const std::string File = F.Path("computers.xml");
               SaveComputerListToFile(File, Computers);
               Choose(File);
               W.actOpenFile->Execute();
           });
    if (const char* Range = std::getenv("TOLVEX_BENCH_SILENT_RANGE")) {
        const std::string R = Range;
        const size_t Dash = R.find('-');
        // TOLVEX_BENCH_WAIT=<ms the scan runs before the end>, 300 by default.
        const char* Wait = std::getenv("TOLVEX_BENCH_WAIT");
        const std::chrono::milliseconds ScanFor(Wait ? std::atoi(Wait) : 300);
        Report("a scan of silent hosts running", Source, Nothing,
               [&](TfrmTolvex& W, TProgramFolder&) {
                   W.findChild<QComboBox*>("cmbTarget")->setCurrentIndex(3);
                   W.findChild<QStackedWidget*>("pcTarget")->setCurrentIndex(3);
                   W.findChild<QLineEdit*>("edStartIP")
                       ->setText(QString::fromStdString(R.substr(0, Dash)));
                   W.findChild<QLineEdit*>("edStopIP")
                       ->setText(QString::fromStdString(R.substr(Dash + 1)));
                   // TOLVEX_BENCH_METHOD=<the method's button, e.g. rbNetbios>.
                   if (const char* Method = std::getenv("TOLVEX_BENCH_METHOD"))
                       if (auto* B = W.findChild<QRadioButton*>(Method))
                           B->setChecked(true);
                   W.actTolvex->Execute();
                   // Every worker is waiting for an answer by now.
                   const auto Until = std::chrono::steady_clock::now() + ScanFor;
                   while (std::chrono::steady_clock::now() < Until)
                       QApplication::processEvents(QEventLoop::AllEvents, 10);
                   if (!W.IsScanning())
                       std::fprintf(stderr, "the scan did not run\n");
               });
    }
    SetFileDialog({});
    SetMessageSink({});
    return 0;
}
