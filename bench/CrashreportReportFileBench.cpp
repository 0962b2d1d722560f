// Saving one report into a report file of 1,000 reports (no size limit),
// beside the atomic write of the same bytes alone, in the same run:
//
//   new        a report of a fault the file does not hold yet
//   duplicate  a report of the fault of the file's second report (it is cut
//              out and the new one counted)
//
// For each: SaveReportToFile (read, merge, lock, write in one step) and
// WriteFileAtomically of the content that save produced; the file is put
// back before each round, outside the timing. Figures: the best and the
// median of 30 rounds, in milliseconds, and the ratio of the medians.
#include "crashreport/kelExceptSave.h"
#include "crashreport/kelExceptSettings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string Report(int N, int Crc)
{
    char Line[160];
    std::string T;
    std::snprintf(Line, sizeof Line, "date/time         : 2024-03-%02d, 10:%02d:%02d, %dms\r\n",
                  1 + N % 28, N / 60 % 60, N % 60, N % 1000);
    T += Line;
    T += "executable        : /usr/bin/tolvex\r\ncurrent module    : /usr/bin/tolvex\r\n"
         "version           : 1.0\r\nexec. date/time   : 2024-01-01 10:00\r\n"
         "module date/time  : 2024-01-01 10:00\r\nexception class   : EAccessViolation\r\n"
         "exception message : Access violation at address 0x0000000000401234\r\n";
    std::snprintf(Line, sizeof Line, "callstack crc     : $%08x, $%08x, $%08x\r\n\r\n", Crc,
                  Crc * 7u, Crc * 13u);
    T += Line;
    T += "main thread ($1f2e):\r\n";
    for (int I = 0; I < 12; ++I) {
        std::snprintf(Line, sizeof Line,
                      "0x%08x tolvex  engine/uGetMac.cpp %4d +%d TGetMac::Run\r\n",
                      0x401000 + I * 64 + N, 100 + I, I);
        T += Line;
    }
    return T;
}

std::string ReadAll(const std::string& File)
{
    std::ifstream In(File, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

struct TFigures {
    double Best, Median;
};

template <class F> TFigures Time(const std::string& File, const std::string& Base, F Work)
{
    std::vector<double> Ms;
    for (int Round = 0; Round < 30; ++Round) {
        std::ofstream(File, std::ios::binary | std::ios::trunc) << Base;
        const auto Start = std::chrono::steady_clock::now();
        Work();
        Ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start)
                .count());
    }
    std::sort(Ms.begin(), Ms.end());
    return {Ms.front(), Ms[Ms.size() / 2]};
}

} // namespace

int main(int Argc, char** Argv)
{
    std::string Folder = Argc > 1 ? Argv[1] : std::filesystem::temp_directory_path().string();
    Folder += "/tolvex-report-bench-XXXXXX";
    if (::mkdtemp(Folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string File = Folder + "/bugreport.kbr";
    const auto Settings = NewSettingsFromStream(WriteSettingsStream(
        {{"BugRepFile", skText, false, 0, File}, {"BugRepFileSize", skInt, false, 0, {}}}));
    const TReportFileRules Rules = ReportFileRules(*Settings);
    std::string Base;
    for (int N = 0; N < 1000; ++N)
        Base = MergeReportIntoFile(Base, Report(N, 0x1000 + N), Rules);

    std::printf("report file of 1000 reports, %zu bytes (%s)\n\n", Base.size(), Folder.c_str());
    std::printf("%-10s %12s %12s %12s %12s %8s\n", "case", "save best", "save median", "write best",
                "write median", "ratio");
    const struct {
        const char* Name;
        std::string Text;
    } Cases[] = {{"new", Report(5000, 0x9999)}, {"duplicate", Report(5001, 0x1001)}};
    bool Ok = true;
    for (const auto& C : Cases) {
        // The content the save makes, for the anchor.
        std::ofstream(File, std::ios::binary | std::ios::trunc) << Base;
        SaveReportToFile(C.Text, *Settings, File);
        const std::string Result = ReadAll(File);
        const TFigures Save =
            Time(File, Base, [&] { Ok &= SaveReportToFile(C.Text, *Settings, File); });
        const TFigures Write = Time(File, Base, [&] { Ok &= WriteFileAtomically(File, Result); });
        std::printf("%-10s %12.3f %12.3f %12.3f %12.3f %8.2f\n", C.Name, Save.Best, Save.Median,
                    Write.Best, Write.Median, Save.Median / Write.Median);
    }
    std::filesystem::remove_all(Folder);
    if (!Ok)
        std::printf("a save or write failed\n");
    return Ok ? 0 : 1;
}
