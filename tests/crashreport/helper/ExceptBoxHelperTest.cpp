// The report's frames spoken to the real helper program by a peer of
// Python's (helper_peer.py): the box of a report begun, its countdown and the
// verdict it answers, the handler rounds it asks for, and a frame for a
// report never begun closing the link.
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

std::string RunPeer(const char* Scenario, const std::vector<TSettingEntry>& Settings)
{
    TempFolder Folder;
    ::setenv("XDG_RUNTIME_DIR", Folder.Path().c_str(), 1);
    ::chmod(Folder.Path().c_str(), 0700);
    const std::string File = Folder.Path("settings");
    std::ofstream(File, std::ios::binary) << WriteSettingsStream(Settings);
    return RunCommand("/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/helper_peer.py " +
                      std::string(TOLVEX_CRASH_HELPER) + " " + File + " " + Scenario + " 2>&1")
        .Output;
}

const std::vector<TSettingEntry> ClosesItself{{"AutoClose", skInt, false, 1, ""},
                                              {"AutoDelay", skInt, false, 1, ""}};

TEST(CrashreportProtocolHelper, BoxCountsDownAndAnswersItsVerdict)
{
    const std::string Out = RunPeer("countdown", ClosesItself);
    EXPECT_NE(Out.find("hello\n"), std::string::npos) << Out;
    EXPECT_NE(Out.find("display "), std::string::npos) << Out;
    // bvClose, then the helper ends with the link.
    EXPECT_NE(Out.find("verdict 2\n"), std::string::npos) << Out;
    EXPECT_NE(Out.find("exit 0\n"), std::string::npos) << Out;
}

TEST(CrashreportProtocolHelper, ContinueAfterTheFieldsAndSections)
{
    auto S = ClosesItself;
    S[0] = {"AutoClose", skInt, false, 0, ""};
    S.push_back({"AutoContinue", skBool, true, 0, ""});
    const std::string Out = RunPeer("rounds", S);
    EXPECT_NE(Out.find("verdict 0\n"), std::string::npos) << Out;
    EXPECT_EQ(Out.find("frame "), std::string::npos) << Out;
    EXPECT_NE(Out.find("exit 0\n"), std::string::npos) << Out;
}

TEST(CrashreportProtocolHelper, StrayReportFrameClosesTheLink)
{
    // A field for a report never begun; the box's owner after its begin.
    for (const char* Scenario : {"stray", "late-owner"}) {
        const std::string Out = RunPeer(Scenario, ClosesItself);
        EXPECT_EQ(Out.find("verdict"), std::string::npos) << Scenario << "\n" << Out;
        EXPECT_NE(Out.find("exit 1\n"), std::string::npos) << Scenario << "\n" << Out;
    }
}

} // namespace
