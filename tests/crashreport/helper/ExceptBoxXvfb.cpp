// The exception box of the real helper program on a real X server (run under
// xvfb-run, no window manager), driven from outside: a peer of Python's
// (helper_peer.py) speaks the program's frames, xdotool presses the box's
// keys, xwininfo measures it, and what the box saved is read back from the
// state folder. At a real crash: a probe (BoxProbe.cpp) gets a fatal signal
// from kill, its box appears, a click on its close button ends the probe. The
// X server's pictures of the boxes go to test-output/ for a person.
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// A port of the loopback nobody listens on (for a moment).
int FreePort()
{
    const int S = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t Len = sizeof A;
    int Port = 0;
    if (::bind(S, reinterpret_cast<sockaddr*>(&A), sizeof A) == 0 &&
        ::getsockname(S, reinterpret_cast<sockaddr*>(&A), &Len) == 0)
        Port = ntohs(A.sin_port);
    ::close(S);
    return Port;
}

TEST(CrashreportBoxX11, SendUploadsAndTellsTheHandlersItWasSent)
{
    const int Port = FreePort();
    ASSERT_NE(Port, 0);
    ::setenv("PEER_HTTP_PORT", std::to_string(Port).c_str(), 1);
    const TPeerRun R = RunPeer("upload", {{"FocusedBtn", skInt, false, 0, ""},
                                          {"UploadViaHttp", skBool, true, 0, ""},
                                          {"HttpServer", skText, false, 0, "127.0.0.1/bugs"},
                                          {"HttpPort", skInt, false, Port, ""}});
    ::unsetenv("PEER_HTTP_PORT");
    // The report went to the loopback server, and the handlers heard of it.
    const auto Uploads = Lines(R.Output, "upload /bugs ");
    ASSERT_EQ(Uploads.size(), 1u) << R.Output;
    EXPECT_GT(std::stoi(Uploads[0].substr(13)), 100) << R.Output;
    EXPECT_EQ(Lines(R.Output, "fire "),
              (std::vector<std::string>{"fire 1 0", "fire 1 3", "fire 1 6"}))
        << R.Output;
    EXPECT_NE(R.Output.find("exit 0\n"), std::string::npos) << R.Output;
}

// --- The box at a crash ----------------------------------------------------------

// The probe, started through the shell with its standard output read here.
class TBoxProbe {
public:
    explicit TBoxProbe(const std::string& Environment)
    {
        Out = ::popen((Environment + " " TOLVEX_BOX_PROBE " " TOLVEX_CRASH_HELPER " 2>&1").c_str(),
                      "r");
        std::string Line;
        while (Out != nullptr && (Line = ReadLine()).size() > 0)
            if (Line.rfind("ready ", 0) == 0) {
                Pid = std::stoi(Line.substr(6));
                break;
            } else {
                Said += Line;
            }
    }
    ~TBoxProbe()
    {
        if (Out == nullptr)
            return;
        if (Pid > 0)
            ::kill(Pid, SIGKILL);
        ::pclose(Out);
    }
    TBoxProbe(const TBoxProbe&) = delete;
    TBoxProbe& operator=(const TBoxProbe&) = delete;

    std::string ReadLine()
    {
        char Buf[1024];
        return std::fgets(Buf, sizeof Buf, Out) ? std::string(Buf) : std::string();
    }
    // Reads the rest and answers the exit status (-1: not a normal end, or
    // killed after 30 s).
    int Wait()
    {
        std::atomic<bool> Done{false};
        std::thread Guard([this, &Done] {
            for (int I = 0; I < 300 && !Done; ++I)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!Done && Pid > 0)
                ::kill(Pid, SIGKILL);
        });
        for (std::string Line; (Line = ReadLine()).size() > 0;)
            Said += Line;
        const int Rc = ::pclose(Out);
        Done = true;
        Guard.join();
        Out = nullptr;
        Pid = 0;
        return WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
    }

    FILE* Out = nullptr;
    pid_t Pid = 0;
    std::string Said;
};

struct TWindow {
    std::string Id;
    int X = 0, Y = 0, Width = 0, Height = 0;
};

// The viewable window of that name, as xwininfo sees it; waits up to 15 s.
std::optional<TWindow> FindWindow(const std::string& Name)
{
    for (int I = 0; I < 150; ++I) {
        const auto R = RunCommand("xwininfo -name " + Quote(Name) + " 2>/dev/null");
        if (R.Status == 0 && R.Output.find("IsViewable") != std::string::npos) {
            TWindow W;
            std::istringstream In(R.Output);
            for (std::string Line; std::getline(In, Line);) {
                auto Value = [&Line] { return std::stoi(Line.substr(Line.find(':') + 1)); };
                if (Line.find("Window id:") != std::string::npos) {
                    std::istringstream L(Line.substr(Line.find("id:") + 3));
                    L >> W.Id;
                } else if (Line.find("Absolute upper-left X:") != std::string::npos) {
                    W.X = Value();
                } else if (Line.find("Absolute upper-left Y:") != std::string::npos) {
                    W.Y = Value();
                } else if (Line.find("Width:") != std::string::npos) {
                    W.Width = Value();
                } else if (Line.find("Height:") != std::string::npos) {
                    W.Height = Value();
                }
            }
            return W;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::nullopt;
}

// The X server's picture of a window, in test-output/<Name>.png; its bytes.
std::string Picture(const TWindow& W, const std::string& Name)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const std::string Folder = std::string(Bin ? Bin : ".") + "/../test-output";
    std::filesystem::create_directories(Folder);
    const std::string File = Folder + "/" + Name + ".png";
    RunCommand("import -window " + W.Id + " " + Quote(File) + " 2>&1");
    std::ifstream In(File, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

void Xdotool(const std::string& Args)
{
    const auto R = RunCommand("xdotool " + Args + " 2>&1");
    EXPECT_EQ(R.Status, 0) << Args << ": " << R.Output;
}

// Waits up to 10 s until the window has the X focus, and so the keys.
bool HasFocus(const TWindow& W)
{
    for (int I = 0; I < 100; ++I) {
        const auto R = RunCommand("xdotool getwindowfocus 2>/dev/null");
        if (R.Status == 0 && std::stoul(R.Output) == std::stoul(W.Id, nullptr, 16))
            return true;
        // Xvfb has no window manager to hand the focus over: a box that
        // asked for it while the server was busy is given it the way a
        // window manager would.
        if (I % 20 == 19)
            RunCommand("xdotool windowfocus --sync " +
                       std::to_string(std::stoul(W.Id, nullptr, 16)) + " 2>/dev/null");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

TEST(CrashreportBoxX11, FatalSignalShowsTheBoxAndItsCloseButtonEndsTheProgram)
{
    TBoxProbe Probe("");
    ASSERT_GT(Probe.Pid, 0) << Probe.Said;
    ASSERT_EQ(::kill(Probe.Pid, SIGSEGV), 0);
    const auto Box = FindWindow("Tolvex box probe");
    ASSERT_TRUE(Box.has_value()) << Probe.Said;
    // Give the report a moment, then keep the box's picture.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(Picture(*Box, "CrashreportBox-X11-Full").empty());
    // The close button: the last of the right group, 2 pixels from the
    // right edge, in the last row (5 pixels above the box's bottom).
    Xdotool("mousemove --sync " + std::to_string(Box->X + Box->Width - 12) + " " +
            std::to_string(Box->Y + Box->Height - 16) + " click 1");
    EXPECT_EQ(Probe.Wait(), 1) << Probe.Said;
    EXPECT_NE(Probe.Said.find("verdict 2\n"), std::string::npos) << Probe.Said;
    Probe.Pid = 0;
}

TEST(CrashreportBoxX11, DetailsTabsAndTheSimpleBoxForAPerson)
{
    {
        TBoxProbe Probe("PROBE_AUTOSHOW=1");
        ASSERT_GT(Probe.Pid, 0) << Probe.Said;
        ASSERT_EQ(::kill(Probe.Pid, SIGSEGV), 0);
        const auto Box = FindWindow("Tolvex box probe");
        ASSERT_TRUE(Box.has_value()) << Probe.Said;
        // Wait for the report's calculation. The focus goes from the default
        // button (send) over the other five usable buttons (continue cannot
        // be used after a fatal signal) to the tabs; the arrow key then goes
        // through them, until the picture stays the same.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        ASSERT_TRUE(HasFocus(*Box));
        for (int I = 0; I < 6; ++I)
            Xdotool("key Tab");
        std::string Last, Previous;
        int Tabs = 0;
        for (; Tabs < 20; ++Tabs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const std::string Shot = Picture(*Box, "CrashreportBox-X11-Tab" + std::to_string(Tabs));
            // The same picture once more after a second: the last tab.
            Last = Shot;
            if (Tabs > 0 && Shot == Previous) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                Last = Picture(*Box, "CrashreportBox-X11-Tab" + std::to_string(Tabs));
                if (Last == Previous)
                    break;
            }
            Previous = Last;
            Xdotool("key Right");
        }
        EXPECT_GE(Tabs, 4);
        // Escape: a fatal signal cannot go on, so the close rule closes.
        Xdotool("key Escape");
        EXPECT_EQ(Probe.Wait(), 1) << Probe.Said;
    }
    TBoxProbe Probe("PROBE_SIMPLE=1");
    ASSERT_GT(Probe.Pid, 0) << Probe.Said;
    ASSERT_EQ(::kill(Probe.Pid, SIGSEGV), 0);
    const auto Box = FindWindow("Tolvex box probe");
    ASSERT_TRUE(Box.has_value()) << Probe.Said;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(Picture(*Box, "CrashreportBox-X11-Simple").empty());
    // OK continues, which a fatal signal cannot: the program ends.
    ASSERT_TRUE(HasFocus(*Box));
    Xdotool("key Return");
    EXPECT_EQ(Probe.Wait(), 1) << Probe.Said;
}

} // namespace
