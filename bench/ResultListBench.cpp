// The result list with the rows of a /16 scan: 65,536 computers added one by
// one into the real list control (drawn offscreen), sorted by the caption,
// then re-sorted, filtered and painted, printing the time of each step.
// Then the same in the main window, as a user meets it: a computer-list file
// of 65,536 computers opened into a list sorted by the caption, and 65,536
// scan results arriving one by one at their sorted place.
#include "app/uMacComments.h"
#include "app/uMacList.h"
#include "app/uTolvex.h"
#include "app/uTolvexFiles.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"

#include <QApplication>
#include <QPixmap>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

double Ms(std::chrono::steady_clock::time_point Since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Since)
        .count();
}

std::string Hex2(unsigned V)
{
    static const char* D = "0123456789abcdef";
    return {D[(V >> 4) & 15], D[V & 15]};
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication App(argc, argv);
    constexpr int Count = 65536;

    // The order a scan reports hosts in is the order its workers finish, not
    // the address order.
    std::vector<std::unique_ptr<TComputer>> Computers;
    Computers.reserve(Count);
    std::mt19937 Rng(1);
    const std::vector<std::string> Vendors = {
        "Intel Corporate",    "Dell Inc.", "Hewlett Packard",
        "Cisco Systems, Inc", "",          "Super Micro Computer"};
    for (int I = 0; I < Count; ++I) {
        const std::string IP = "10.20." + std::to_string(I >> 8) + "." + std::to_string(I & 255);
        const std::string Name = (Rng() % 3) ? "host-" + std::to_string(Rng() % 20000) : "";
        const std::string Mac =
            "00-1b-21-" + Hex2(I >> 8) + "-" + Hex2(I & 255) + "-" + Hex2(Rng() & 255);
        Computers.push_back(MakeArpComputer(Name, IP, Mac, Vendors[Rng() % Vendors.size()]));
    }
    std::shuffle(Computers.begin(), Computers.end(), Rng);

    TVirtualStringTree Tree;
    Tree.ResetColumns(5);
    Tree.resize(1000, 700);
    Tree.show();
    TMacComments Comments;
    for (int I = 0; I < Count; I += 16)
        Comments.Set(Computers[static_cast<size_t>(I)]->AdapterList[0]->Number,
                     "comment " + std::to_string(I));
    TResultList List(Tree, Comments);
    Tree.SetSortColumn(0);
    ComputerCaptionStyle = ccsIPName;

    auto T = std::chrono::steady_clock::now();
    for (size_t I = 0; I < Computers.size(); ++I) {
        List.AddComputer(Computers[I].get());
        // Let the list lay itself out and paint now and then, as it does
        // between the scan's reports.
        if (I % 4096 == 0)
            QApplication::processEvents();
    }
    QApplication::processEvents();
    std::printf("add %d computers, sorted by caption:   %8.1f ms\n", Count, Ms(T));

    T = std::chrono::steady_clock::now();
    List.HeaderClick(3);
    std::printf("sort by vendor:                         %8.1f ms\n", Ms(T));
    T = std::chrono::steady_clock::now();
    List.HeaderClick(4);
    std::printf("sort by comment:                        %8.1f ms\n", Ms(T));
    T = std::chrono::steady_clock::now();
    List.HeaderClick(1);
    std::printf("sort by IP:                             %8.1f ms\n", Ms(T));

    T = std::chrono::steady_clock::now();
    List.SetFilter(2, "1b-21-7f");
    QApplication::processEvents();
    int Shown = 0;
    for (int I = 0; I < Tree.RootNodeCount(); ++I)
        Shown += Tree.IsFiltered(Tree.Child(nullptr, I)) ? 0 : 1;
    std::printf("filter by MAC (%5d rows shown):       %8.1f ms\n", Shown, Ms(T));
    T = std::chrono::steady_clock::now();
    List.SetFilter(2, "");
    QApplication::processEvents();
    std::printf("clear the filter:                       %8.1f ms\n", Ms(T));

    T = std::chrono::steady_clock::now();
    const QPixmap P = Tree.grab();
    std::printf("paint one screen (%dx%d):            %8.1f ms\n", P.width(), P.height(), Ms(T));
    // The grid lines' share of a paint: the same screen 20 times without
    // and with every grid line.
    for (const unsigned Options :
         {0u, unsigned(poShowHorzGridLines | poShowVertGridLines | poFullVertGridLines)}) {
        Tree.SetPaintOptions(Options);
        T = std::chrono::steady_clock::now();
        for (int I = 0; I < 20; ++I)
            Tree.grab();
        std::printf("%-40s%8.1f ms\n",
                    Options ? "paint it 20 times with grid lines:"
                            : "paint it 20 times without grid lines:",
                    Ms(T));
    }
    Tree.SetPaintOptions(0);

    T = std::chrono::steady_clock::now();
    List.Clear();
    std::printf("clear:                                  %8.1f ms\n", Ms(T));
    if (Tree.RootNodeCount() != 0)
        return 1;

    // --- The main window --------------------------------------------------------
    TempFolder Home;
    ::setenv("XDG_CONFIG_HOME", Home.Path("config").c_str(), 1);
    SetMessageSink([](const TMessageBoxCall& Call) {
        std::fprintf(stderr, "message: %s\n", Call.Text.c_str());
        return mrOk;
    });
    const std::string File = Home.Path("computers.xml");
    SaveComputerListToFile(File, Computers);
    SetFileDialog([&File](const TFileDialogOptions&, std::string& Name, int&) {
        Name = File;
        return true;
    });
    // What a scan reports, in the order its workers finish.
    std::vector<std::unique_ptr<TComputer>> Found;
    Found.reserve(Count);
    for (const auto& C : Computers)
        Found.push_back(
            MakeArpComputer(C->Name, C->IP, C->AdapterList[0]->Number, C->AdapterList[0]->Vendor));

    int Rows = 0;
    {
        TfrmTolvex F;
        F.resize(1094, 630);
        F.show();
        QApplication::processEvents();
        auto* MacList = F.findChild<TVirtualStringTree*>("vstMacList");
        MacList->SetSortColumn(0);

        T = std::chrono::steady_clock::now();
        F.actOpenFile->Execute();
        QApplication::processEvents();
        std::printf("window: open a file of %d, sorted:    %8.1f ms\n", MacList->RootNodeCount(),
                    Ms(T));
        Rows += MacList->RootNodeCount();

        F.actClearList->Execute();
        T = std::chrono::steady_clock::now();
        for (size_t I = 0; I < Found.size(); ++I) {
            // As the pool hands a result over: into the global list, then to
            // the window.
            TComputer* Raw = Found[I].get();
            ComputerList->push_back(std::move(Found[I]));
            F.Pool().OnComputer(Raw);
            if (I % 4096 == 0)
                QApplication::processEvents();
        }
        QApplication::processEvents();
        std::printf("window: %d scan results, sorted:    %8.1f ms\n", MacList->RootNodeCount(),
                    Ms(T));
        Rows += MacList->RootNodeCount();
    }
    SetFileDialog({});
    SetMessageSink({});
    return Rows == 2 * Count ? 0 : 1;
}
