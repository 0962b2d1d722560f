// What the send tests share: settings from a few entries, a progress alert
// and a desktop that record what they were asked, JSON texts for the Python
// oracles, and a private runtime folder for the process.
#pragma once

#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelPrgrAlertLink.h"
#include "crashreport/send/kelExceptSend.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

inline const std::string SendTestDir = std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/send";

inline std::shared_ptr<TIKESettings> SettingsOf(const std::vector<TSettingEntry>& Entries)
{
    return NewSettingsFromStream(WriteSettingsStream(Entries));
}
inline TSettingEntry BoolEntry(const char* Name, bool V)
{
    return {Name, skBool, V, 0, {}};
}
inline TSettingEntry TextEntry(const char* Name, std::string V)
{
    return {Name, skText, false, 0, std::move(V)};
}
inline TSettingEntry IntEntry(const char* Name, int V)
{
    return {Name, skInt, false, V, {}};
}

// A JSON string of UTF-8 text.
inline std::string Json(const std::string& S)
{
    std::string J = "\"";
    for (const char C : S) {
        const auto B = static_cast<unsigned char>(C);
        if (C == '"' || C == '\\') {
            J += '\\';
            J += C;
        } else if (B < 0x20) {
            static constexpr char Hex[] = "0123456789abcdef";
            J += "\\u00";
            J += Hex[B >> 4];
            J += Hex[B & 15];
        } else {
            J += C;
        }
    }
    return J + "\"";
}

// A progress alert that keeps what it was told.
class TRecordingAlert : public IProgressAlert {
public:
    std::string Title;
    std::vector<std::string> Areas;
    int Area = 0, Position = 0;
    bool Shown = false, Closed = false;

    std::string GetTitle() const override { return Title; }
    void SetTitle(std::string_view T) override { Title = T; }
    int GetPosition() const override { return Position; }
    void SetPosition(int P) override { Position = P; }
    void AddArea(std::string_view Text, std::int64_t) override { Areas.emplace_back(Text); }
    void Clear() override { Areas.clear(); }
    void NextArea() override { ++Area; }
    int GetArea() const override { return Area; }
    void SetArea(int I) override { Area = I; }
    void ProcessMessages() override {}
    bool Show(bool) override { return !std::exchange(Shown, true); }
    void Close() override { Closed = true; }
};

// The desktop of a send: message boxes and alerts recorded.
class TRecordingUi : public ISendUi {
public:
    std::mutex Lock;
    std::vector<std::string> Messages;
    std::vector<std::shared_ptr<TRecordingAlert>> Alerts;
    int LeftTopmost = 0;

    std::shared_ptr<IProgressAlert> NewProgressAlert(std::string_view Title,
                                                     std::string_view) override
    {
        auto A = std::make_shared<TRecordingAlert>();
        A->Title = Title;
        std::lock_guard G(Lock);
        Alerts.push_back(A);
        return A;
    }
    void ShowMessage(std::string_view Text) override
    {
        std::lock_guard G(Lock);
        Messages.emplace_back(Text);
    }
    void LeaveTopmost() override { ++LeftTopmost; }
};

// Gives the test process a runtime folder of its own (the private temporary
// folders live there) and a state folder for report files, for its whole run.
class TSendTestEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Home = std::make_unique<TempFolder>();
        ::setenv("XDG_RUNTIME_DIR", Home->Path("run").c_str(), 1);
        ::mkdir(Home->Path("run").c_str(), 0700);
        ::setenv("XDG_STATE_HOME", Home->Path("state").c_str(), 1);
    }
    void TearDown() override { Home.reset(); }
    std::unique_ptr<TempFolder> Home;
};

// A desktop whose mail handler is a script that records the URL it is given:
// a ".desktop" entry in a temporary XDG_DATA_HOME made the default for mailto
// by xdg-mime, so that xdg-open and xdg-email reach it as they reach a real
// mail program. The environment the desktop tools read is set for the
// object's life and restored after. ExitStatus is what the handler answers.
class TFakeMailHandler {
public:
    explicit TFakeMailHandler(int ExitStatus = 0)
    {
        for (const char* Name : VarNames) {
            const char* V = ::getenv(Name);
            Saved.emplace_back(Name, V != nullptr ? std::optional<std::string>(V) : std::nullopt);
        }
        TempFolder::Write(Dir.Path("handler.sh"), "#!/bin/sh\n"
                                                  "printf '%s' \"$1\" > " +
                                                      Quote(Dir.Path("url.txt")) + "\nexit " +
                                                      std::to_string(ExitStatus) + "\n");
        ::chmod(Dir.Path("handler.sh").c_str(), 0700);
        TempFolder::Write(Dir.Path("data/applications/tolvex-test-mail.desktop"),
                          "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" +
                              Dir.Path("handler.sh") + " %u\nMimeType=x-scheme-handler/mailto;\n");
        ::mkdir(Dir.Path("config").c_str(), 0700);
        // Nothing of the real desktop: no session type, no browser to fall
        // back on, no mailer of the user's.
        for (const char* Name : VarNames)
            ::unsetenv(Name);
        ::setenv("XDG_DATA_HOME", Dir.Path("data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", Dir.Path("config").c_str(), 1);
        ::setenv("XDG_DATA_DIRS", Dir.Path("none").c_str(), 1);
        ::setenv("HOME", Dir.Path().c_str(), 1);
        ::setenv("BROWSER", "false", 1);
        // The tools open handlers only with a display; none is used.
        ::setenv("DISPLAY", ":7777", 1);
        const auto R = RunCommand("xdg-mime default tolvex-test-mail.desktop "
                                  "x-scheme-handler/mailto 2>&1");
        Ready = R.Status == 0;
    }
    ~TFakeMailHandler()
    {
        for (const auto& [Name, V] : Saved)
            V ? static_cast<void>(::setenv(Name, V->c_str(), 1))
              : static_cast<void>(::unsetenv(Name));
    }
    TFakeMailHandler(const TFakeMailHandler&) = delete;
    TFakeMailHandler& operator=(const TFakeMailHandler&) = delete;

    // The URL the handler got; empty when it was not called.
    std::string Url() const
    {
        std::error_code Ec;
        return std::filesystem::exists(Dir.Path("url.txt"), Ec)
                   ? TempFolder::Read(Dir.Path("url.txt"))
                   : std::string();
    }

    bool Ready = false;
    TempFolder Dir;

private:
    static constexpr const char* VarNames[] = {"XDG_DATA_HOME",
                                               "XDG_CONFIG_HOME",
                                               "XDG_DATA_DIRS",
                                               "XDG_CURRENT_DESKTOP",
                                               "DESKTOP_SESSION",
                                               "KDE_FULL_SESSION",
                                               "GNOME_DESKTOP_SESSION_ID",
                                               "MATE_DESKTOP_SESSION_ID",
                                               "MAILER",
                                               "BROWSER",
                                               "DISPLAY",
                                               "WAYLAND_DISPLAY",
                                               "HOME"};
    std::vector<std::pair<const char*, std::optional<std::string>>> Saved;
};

// Checks a mailto URL with mailto_oracle.py against a spec (the members of a
// JSON object, without braces); its findings, empty when none.
inline std::string CheckMailto(const std::string& Url, const std::string& Spec)
{
    TempFolder Tmp;
    TempFolder::Write(Tmp.Path("url.txt"), Url);
    TempFolder::Write(Tmp.Path("spec.json"), "{" + Spec + "}");
    const auto R =
        RunCommand("/usr/bin/python3 " + Quote(SendTestDir + "/mailto_oracle.py") + " " +
                   Quote(Tmp.Path("url.txt")) + " " + Quote(Tmp.Path("spec.json")) + " 2>&1");
    return R.Status == 0 ? std::string() : "status " + std::to_string(R.Status) + ": " + R.Output;
}
