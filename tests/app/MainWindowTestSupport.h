// What the main window's tests share: a settings folder of their own, the
// message boxes recorded, the main thread served by the Qt loop, and scan
// workers whose network routines are replaced by fakes.
#pragma once

#include "app/uTolvex.h"
#include "engine/uThreadInPool.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "platform/Thread.h"
#include "settings/CommonFunctions.h"
#include "settings/uXMLStorage.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QWidget>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Options written into the settings folder before a window loads them.
inline void WriteOptions(const std::function<void(TXMLStorage&)>& Write)
{
    InitFolderGlobals();
    TXMLStorage S(PrepareSettingsFile("options.xml"));
    S.Load();
    Write(S);
    S.Save();
}

// Serves the Qt loop (and so the workers' calls into the main thread) until
// Done or the time is up; Done() at the end.
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs)
{
    QElapsedTimer T;
    T.start();
    while (!Done() && T.elapsed() < TimeoutMs)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return Done();
}

inline QString TestOutputDir()
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
    QDir().mkpath(Out);
    return Out;
}

// Fake network routines: every address answers, ARP gives a MAC made of
// the address's last octet, the other methods find nothing. The addresses
// asked are recorded; each ARP call can be slowed down.
struct TFakeNetwork {
    std::mutex Lock;
    std::vector<std::string> Asked;
    int DelayMs = 0;

    std::shared_ptr<const TWorkerServices> Services()
    {
        auto S = std::make_shared<TWorkerServices>(DefaultWorkerServices());
        S->HostNameToIP = [](const std::string& Host, int, std::string& IP) { IP = Host; };
        S->PingHost = [](const std::string&, int) { return 1; };
        S->CheckTcpPort = [](const std::string&, int, uint16_t) { return 1; };
        S->GetMacByArp = [this](const std::string& IP, std::string& MAC) {
            {
                std::lock_guard<std::mutex> G(Lock);
                Asked.push_back(IP);
            }
            if (DelayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
            const unsigned Last = static_cast<unsigned>(std::stoul(IP.substr(IP.rfind('.') + 1)));
            char Buf[32];
            std::snprintf(Buf, sizeof Buf, "02-00-00-00-00-%02x", Last);
            MAC = Buf;
        };
        S->GetMacByNetBios = [](const std::string&, int, std::string& MAC) {
            MAC.clear();
            return nmsNone;
        };
        S->GetMacsByNetApi = [](const std::string&, TComputer&) { return false; };
        S->GetMacsByWmi = [](const std::string&, TComputer&) { return false; };
        S->GetMacsBySnmp = [](const std::string&, TComputer&, const TEngineSettings&) {
            return false;
        };
        S->GetNetBiosName = [](const std::string&, int, std::string& Name) { Name.clear(); };
        S->IPToHostName = [](const std::string&, std::string& Name) { Name.clear(); };
        return S;
    }
    std::vector<std::string> AskedSorted()
    {
        std::lock_guard<std::mutex> G(Lock);
        std::vector<std::string> A = Asked;
        std::sort(A.begin(), A.end());
        return A;
    }
};

class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ::setenv("XDG_CONFIG_HOME", Home.Path("config").c_str(), 1);
        static bool Installed = false;
        if (!Installed) {
            InstallMainThreadIntoEventLoop();
            Installed = true;
        }
        SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call);
            return mrOk;
        });
    }
    void TearDown() override { SetMessageSink({}); }

    bool SawMessage(const std::string& Text) const
    {
        for (const TMessageBoxCall& M : Messages)
            if (M.Text == Text)
                return true;
        return false;
    }

    TempFolder Home;
    std::vector<TMessageBoxCall> Messages;
};
