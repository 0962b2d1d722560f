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
#include <memory>
#include <mutex>
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
