// What the main window's commands hand to the desktop: "Open as" addresses
// and the help pages, seen through a recording xdg-open first in PATH.
#include "Dialogs.h"
#include "uWebSite.h"

#include "GuiTestApp.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace guitest;

TEST(MainWindowCommands, OpenAsTakesOnlyCanonicalDottedAddresses)
{
    EXPECT_EQ(OpenAsAddress(0, "192.168.0.7"), "http://192.168.0.7");
    EXPECT_EQ(OpenAsAddress(1, "192.168.0.7"), "https://192.168.0.7");
    EXPECT_EQ(OpenAsAddress(2, "10.0.0.255"), "ftp://10.0.0.255");
    EXPECT_EQ(OpenAsAddress(3, "0.0.0.0"), "smb://0.0.0.0");
    for (const char* Hostile :
         {"evil.example/x", "192.168.0.7/x", "192.168.0.7 --help", "192.168.0.256", "192.168.00.7",
          "192.168.0", "192.168.0.7.", "1.2.3.4.5", "0x7f.0.0.1", "", " 1.2.3.4", "1.2.3.4\n",
          "-1.2.3.4", "1.2.3.4;rm", "1234.1.1.1"})
        EXPECT_EQ(OpenAsAddress(0, Hostile), "") << Hostile;
    EXPECT_EQ(OpenAsAddress(4, "1.2.3.4"), "");
    EXPECT_EQ(OpenAsAddress(-1, "1.2.3.4"), "");
}

// A folder with an xdg-open that writes each call's arguments, one per line
// and each between < >, to a file; first in PATH while the test runs.
class RecordingOpener : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        const std::string Script = Dir.Path("xdg-open");
        TempFolder::Write(Script,
                          "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done >>'" +
                              Dir.Path("calls.part") + "'\nmv '" + Dir.Path("calls.part") + "' '" +
                              Dir.Path("calls.txt") + "'\n");
        ::chmod(Script.c_str(), 0755);
        const char* Path = std::getenv("PATH");
        OldPath = Path ? Path : "";
        ::setenv("PATH", (Dir.Path() + ":" + OldPath).c_str(), 1);
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
    }
    void TearDown() override
    {
        ::setenv("PATH", OldPath.c_str(), 1);
        SetMessageSink(std::move(OldSink));
    }

    // The arguments of the one call made (the opener runs detached: waits
    // for its record).
    std::string Calls()
    {
        const std::string File = Dir.Path("calls.txt");
        for (int I = 0; I < 600 && !std::ifstream(File).good(); ++I)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream In(File);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }

    TempFolder Dir;
    std::string OldPath;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
};

TEST_F(RecordingOpener, AnAddressIsOneArgument)
{
    ASSERT_TRUE(OpenAddress(OpenAsAddress(3, "192.168.0.7")));
    EXPECT_EQ(Calls(), "<smb://192.168.0.7>\n");
}

TEST_F(RecordingOpener, AddressWithBlanksAndQuotesStaysOneArgument)
{
    ASSERT_TRUE(OpenAddress("a b'\"; c"));
    EXPECT_EQ(Calls(), "<a b'\"; c>\n");
}

TEST_F(RecordingOpener, OnlineHelpWithoutWebSiteOpensTheReadme)
{
    ASSERT_EQ(MakerWebSite(), "") << "this build names a web site";
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(Src, nullptr);
    ASSERT_TRUE(OpenOnlineHelp());
    EXPECT_EQ(Calls(), "<" + std::string(Src) + "/README.md>\n");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(RecordingOpener, SitePagesWithoutWebSiteSaySoAndOpenNothing)
{
    ASSERT_EQ(MakerWebSite(), "");
    for (const char* Page :
         {"/action/home/", "/action/support/", "/action/feedback/", "/action/update/"})
        EXPECT_FALSE(OpenMakerPage(Page + ProductQuery()));
    EXPECT_EQ(Messages, std::vector<std::string>(4, "This build of the program has no web site."));
    // Nothing was started: an opener started now is the first to record.
    ASSERT_TRUE(OpenAddress("marker"));
    EXPECT_EQ(Calls(), "<marker>\n");
}

} // namespace
