// The exception box of the real helper program on a real X server (run under
// xvfb-run, no window manager), driven from outside: a peer of Python's
// (helper_peer.py) speaks the program's frames, xdotool presses the box's
// keys, xwininfo measures it, and what the box saved is read back from the
// state folder.
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

struct TPeerRun {
    std::string Output;
    std::vector<std::string> Files; // the state folder's files (but lock files)
    std::string Saved;              // the content of the last of them
};

TPeerRun RunPeer(const char* Scenario, std::vector<TSettingEntry> Settings)
{
    TempFolder Folder;
    ::setenv("XDG_RUNTIME_DIR", Folder.Path().c_str(), 1);
    ::chmod(Folder.Path().c_str(), 0700);
    const std::string State = Folder.Path("state");
    ::setenv("XDG_STATE_HOME", State.c_str(), 1);
    Settings.push_back({"TitleBar", skText, false, 0, "Tolvex box test"});
    const std::string File = Folder.Path("settings");
    std::ofstream(File, std::ios::binary) << WriteSettingsStream(Settings);
    TPeerRun R;
    R.Output = RunCommand("/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/helper_peer.py " +
                          std::string(TOLVEX_CRASH_HELPER) + " " + File + " " + Scenario + " 2>&1")
                   .Output;
    std::error_code Ec;
    for (const auto& E : std::filesystem::recursive_directory_iterator(State, Ec))
        if (E.is_regular_file() && E.path().extension() != ".lock") {
            R.Files.push_back(E.path().string());
            std::ifstream In(E.path(), std::ios::binary);
            std::stringstream S;
            S << In.rdbuf();
            R.Saved = S.str();
        }
    return R;
}

// The lines of Out that start with Prefix, in order.
std::vector<std::string> Lines(const std::string& Out, const std::string& Prefix)
{
    std::vector<std::string> L;
    std::istringstream In(Out);
    for (std::string Line; std::getline(In, Line);)
        if (Line.rfind(Prefix, 0) == 0)
            L.push_back(Line);
    return L;
}

TEST(CrashreportBoxX11, SaveButtonSavesTheFinishedReport)
{
    const TPeerRun R =
        RunPeer("save", {{"FocusedBtn", skInt, false, 1, ""}, {"SaveBtnVis", skBool, true, 0, ""}});
    // The action round, the round after its (absent) assistant, then the
    // report saved.
    EXPECT_EQ(Lines(R.Output, "fire "),
              (std::vector<std::string>{"fire 1 1", "fire 1 4", "fire 1 7"}))
        << R.Output;
    EXPECT_NE(R.Output.find("exit 0\n"), std::string::npos) << R.Output;
    ASSERT_EQ(R.Files.size(), 1u) << R.Output;
    EXPECT_EQ(std::filesystem::path(R.Files[0]).filename(), "bugreport.kbr");
    // The report's lines, as the program finished them, in the file.
    for (const char* Line : {"exception class    : std::runtime_error\r\n", "main thread ($1):\r\n",
                             "00007fabed8a3f16 +3e  libc.so.6  wait"})
        EXPECT_NE(R.Saved.find(Line), std::string::npos) << Line << "\n" << R.Saved;
}

TEST(CrashreportBoxX11, SendWithoutAnAddressSaysSoAndShowsTheDetailsFirst)
{
    const TPeerRun R = RunPeer("send", {{"FocusedBtn", skInt, false, 0, ""}});
    EXPECT_EQ(Lines(R.Output, "fire "), (std::vector<std::string>{"fire 1 0", "fire 1 3"}))
        << R.Output;
    // The user is told (the helper's message window), and nothing counts as
    // sent.
    EXPECT_EQ(Lines(R.Output, "message").size(), 1u) << R.Output;
    EXPECT_NE(R.Output.find("exit 0\n"), std::string::npos) << R.Output;
    // The box had grown by its details before the send began.
    const auto Heights = Lines(R.Output, "height ");
    ASSERT_EQ(Heights.size(), 2u) << R.Output;
    EXPECT_GT(std::stoi(Heights[1].substr(7)), std::stoi(Heights[0].substr(7)) + 300) << R.Output;
    // With nowhere to send it, the report was kept in the report file.
    ASSERT_EQ(R.Files.size(), 1u) << R.Output;
    EXPECT_NE(R.Saved.find("main thread ($1):"), std::string::npos) << R.Saved;
}

} // namespace
