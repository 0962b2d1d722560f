// The real tools/make_crash_resources on settings texts: every key of the
// defaults table through "settings" and back through "decode", lines it must
// refuse, and the program's shipped settings text as the build configures it.
#include "crashreport/kelExceptSettings.h"

#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

const std::string Tool = TOLVEX_MAKE_CRASH_RESOURCES;

// "settings" of Text; the stream, or the tool's complaint in *Error.
std::string MakeStream(const TempFolder& Temp, const std::string& Text,
                       std::string* Error = nullptr)
{
    TempFolder::Write(Temp.Path("settings.txt"), Text);
    std::filesystem::remove(Temp.Path("stream"));
    const auto R = RunCommand(Quote(Tool) + " settings " + Quote(Temp.Path("settings.txt")) + " " +
                              Quote(Temp.Path("stream")) + " 2>&1");
    if (Error != nullptr)
        *Error = R.Status == 0 ? std::string() : R.Output;
    EXPECT_EQ(R.Status == 0, std::filesystem::exists(Temp.Path("stream"))) << R.Output;
    return R.Status == 0 ? TempFolder::Read(Temp.Path("stream")) : std::string();
}

TCommandResult Decode(const std::string& StreamFile)
{
    return RunCommand(Quote(Tool) + " decode " + Quote(StreamFile));
}

TEST(CrashreportSettingsTool, EveryKeyRoundTrips)
{
    const std::int32_t Ints[] = {INT32_MIN, INT32_MAX, 0, 130, -40000, 70000, -1};
    std::string Text;
    int N = 0;
    for (const auto& D : SettingDefaults) {
        const std::string Name(D.Name);
        ++N;
        if (D.Kind == skBool)
            Text += Name + " = " + (D.Int != 0 ? "false" : "true") + "\n";
        else if (D.Kind == skInt)
            Text += Name + " = " + std::to_string(Ints[N % 7]) + "\n";
        else if (FindPasswordKey(Name) != nullptr)
            Text += Name + ":password = pw" + std::to_string(N) + " \xc3\xbc #%LF%x\n";
        else
            Text += Name + " = text " + std::to_string(N) + " \xe2\x82\xac%LF%" +
                    std::string(N % 3 == 0 ? 300 : 3, 'y') + "\n";
    }
    Text += "Assistant1:text = SendAssistant|ContactForm\nMinDebugInfo:text = \n"
            "Custom:int = -5\nFlag:bool = true\n";
    TempFolder Temp;
    const std::string Stream = MakeStream(Temp, Text);
    ASSERT_FALSE(Stream.empty());
    EXPECT_EQ(Stream.find("pw1"), std::string::npos);
    const auto R = Decode(Temp.Path("stream"));
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Output, Text);

    // Python's reading of the same stream has every key, in the file's order.
    const auto Py =
        RunCommand("/usr/bin/python3 " +
                   Quote(std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/stream_oracle.py") +
                   " read " + Quote(Temp.Path("stream")) + " | cut -f1");
    std::string Keys;
    for (const auto& D : SettingDefaults)
        Keys += std::string(D.Name) + "\n";
    EXPECT_EQ(Py.Output, Keys + "Assistant1\nMinDebugInfo\nCustom\nFlag\nstop\n");
}

TEST(CrashreportSettingsTool, MalformedLinesFailTheBuildWithFileAndLine)
{
    const struct {
        const char* Text;
        int Line;
        const char* Says;
    } Cases[] = {
        {"Enabled = true\n\n  Enabled = false\n", 3, "set twice (first on line 1)"},
        {"# comment\nEnabled\n", 2, "expected \"Key = value\""},
        {"Enabled = maybe\n", 1, "no boolean"},
        {"AutoSave = yes\nFreezeTimeout = 2147483648\n", 2, "no 32-bit decimal integer"},
        {"FreezeTimeout = 12abc\n", 1, "no 32-bit decimal integer"},
        {"Unknown = x\n", 1, "Unknown:text, :int or :bool"},
        {"Enabled:int = 1\n", 1, "Enabled is a bool setting, not int"},
        {"MailAddr:password = x\n", 1, "only SmtpPassword, HttpPassword and BugTrPassword"},
        {"HttpPassword = plain\n", 1, "write HttpPassword:password = ..."},
        {"Bad Key = 1\n", 1, "no key name"},
        {"X:float = 1\n", 1, "unknown kind \"float\""},
        {"MailBody = caf\xe9\n", 1, "not UTF-8"},
        {"MailBody = a\rb\n", 1, "carriage return"},
    };
    TempFolder Temp;
    for (const auto& C : Cases) {
        std::string Error;
        MakeStream(Temp, C.Text, &Error);
        const std::string Where = Temp.Path("settings.txt") + ":" + std::to_string(C.Line) + ": ";
        EXPECT_EQ(Error.substr(0, Where.size()), Where) << C.Text;
        EXPECT_NE(Error.find(C.Says), std::string::npos) << Error;
    }
}

TEST(CrashreportSettingsTool, DecodeSaysWhatItCannotShow)
{
    TempFolder Temp;
    const std::string Stream = std::string(SettingsStreamHead) + "\x07"
                                                                 "Enabled\x09"
                                                                 "\x03"
                                                                 "Odd\x15";
    TempFolder::Write(Temp.Path("odd"), Stream);
    TempFolder::Write(Temp.Path("none"), "ELF, not settings");
    const auto Odd = RunCommand(Quote(Tool) + " decode " + Quote(Temp.Path("odd")) + " 2>&1");
    EXPECT_EQ(Odd.Status, 1);
    EXPECT_EQ(Odd.Output.substr(0, 15), "Enabled = true\n");
    EXPECT_NE(Odd.Output.find("unknown value tag $15"), std::string::npos) << Odd.Output;
    const auto None = RunCommand(Quote(Tool) + " decode " + Quote(Temp.Path("none")) + " 2>&1");
    EXPECT_EQ(None.Status, 1);
    EXPECT_NE(None.Output.find("not a settings stream"), std::string::npos) << None.Output;
}

TEST(CrashreportSettingsTool, ShippedSettingsAsTheBuildConfiguresThem)
{
    const struct {
        const char* File;
        const char* Values;
    } Cases[] = {
        {TOLVEX_SHIPPED_SETTINGS_WITH_ADDRESSES,
         "MailViaMapi = true\nMailViaMailto = true\nMailAddr = bugs@example.org\n"
         "UploadViaHttp = true\nHttpServer = https://reports.example.org/upload\n"
         "HttpSsl = true\nHttpPort = 8443\n"},
        {TOLVEX_SHIPPED_SETTINGS_WITHOUT_ADDRESSES,
         "MailViaMapi = false\nMailViaMailto = false\nMailAddr = \nUploadViaHttp = false\n"
         "HttpServer = \nHttpSsl = false\nHttpPort = 0\n"},
    };
    TempFolder Temp;
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.File);
        const std::string Stream = MakeStream(Temp, TempFolder::Read(C.File));
        const auto R = Decode(Temp.Path("stream"));
        ASSERT_EQ(R.Status, 0);
        EXPECT_NE(R.Output.find(C.Values), std::string::npos) << R.Output;
        // Every key the text sets, by sed, is in the decoded list, in order.
        const auto Set =
            RunCommand("sed -n 's/^\\([A-Za-z0-9]*\\)[: ].*=.*/\\1/p' " + Quote(C.File));
        const auto Listed = RunCommand(Quote(Tool) + " decode " + Quote(Temp.Path("stream")) +
                                       " | sed 's/[: ].*//'");
        EXPECT_EQ(Listed.Output, Set.Output);
        EXPECT_GT(Set.Output.size(), 100u);

        const auto S = NewSettingsFromStream(Stream);
        EXPECT_TRUE(S->GetBoolSetting("Enabled"));
        EXPECT_FALSE(S->GetBoolSetting("AutoClip"));
        EXPECT_EQ(MakeFullPath(S->GetTextSetting("BugRepFile")),
                  CrashReportFolder() + "/bugreport.kbr");
        EXPECT_EQ(S->FindAssistant(S->GetTextSetting("SendAssis")),
                  std::vector<std::string>({"ContactForm", "DetailsForm", "ScrShotForm"}));
    }
}

} // namespace
