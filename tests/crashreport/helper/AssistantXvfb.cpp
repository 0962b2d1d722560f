// The send assistant on a real X server (run under xvfb-run, no window
// manager), driven from outside as a user would: xdotool types and presses
// Tab, Return, Space and Escape into the focused dialog, and the close
// button's message (WM_DELETE_WINDOW, as a window manager sends it) comes
// from a connection of its own. The X server's own picture of every form is
// kept in test-output/ for a person to look at.
#include "crashreport/helper/kelExceptFormHandlers.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/helper/kelNVAssistant.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/AssistantTestSupport.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QScreen>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Runs xdotool with Args against whatever has the X focus.
void Xdotool(const std::string& Args)
{
    const auto R = RunCommand("xdotool " + Args + " 2>&1");
    EXPECT_EQ(R.Status, 0) << Args << ": " << R.Output;
}

// What a window manager sends when its close button is pressed.
void SendDeleteWindow(QWidget& W)
{
    xcb_connection_t* C = xcb_connect(nullptr, nullptr);
    ASSERT_EQ(xcb_connection_has_error(C), 0);
    auto Atom = [C](const char* Name) {
        xcb_intern_atom_reply_t* R = xcb_intern_atom_reply(
            C, xcb_intern_atom(C, 0, static_cast<std::uint16_t>(std::strlen(Name)), Name), nullptr);
        xcb_atom_t A = XCB_ATOM_NONE;
        if (R != nullptr)
            A = R->atom;
        std::free(R);
        return A;
    };
    xcb_client_message_event_t E{};
    E.response_type = XCB_CLIENT_MESSAGE;
    E.format = 32;
    E.window = static_cast<xcb_window_t>(W.winId());
    E.type = Atom("WM_PROTOCOLS");
    E.data.data32[0] = Atom("WM_DELETE_WINDOW");
    E.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(C, 0, E.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&E));
    // A round trip before the connection goes: the server may drop the
    // requests of a client that has hung up before it read them.
    std::free(xcb_get_input_focus_reply(C, xcb_get_input_focus(C), nullptr));
    xcb_disconnect(C);
}

// The dialog as the X server shows it.
void Picture(QDialog& D, const char* Name)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
    QDir().mkpath(Out);
    QTest::qWait(200); // what the last key changed is drawn
    EXPECT_TRUE(QGuiApplication::primaryScreen()->grabWindow(D.winId()).save(
        Out + "/CrashreportAssistant-X11-" + Name + ".png"));
}

bool Eventually(const std::function<bool()>& Done)
{
    return QTest::qWaitFor(Done, 5000);
}

class CrashreportAssistantX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        InstallFormHandlers();
        Mirror = std::make_shared<TExceptMirror>(SettingsStream({}));
        auto Shot = NewNVBitmap(400, 250);
        for (int I = 0; I < 400 * 250 * 4; ++I)
            Shot->Pixels()[I] = static_cast<std::uint8_t>((I / 4 % 400) * 255 / 400);
        Mirror->SetScreenShot(Shot, false);
        Mirror->SetAttachScreenShot(true, false);
        Assistant =
            LoadAssistantRes(0, "tolvex", {"ContactForm", "DetailsForm", "ScrShotForm"}, Mirror);
    }

    // Waits until the dialog has the X focus, and so xdotool's keys.
    static void Ready(QDialog& D)
    {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&D, 5000)) << D.objectName().toStdString();
    }

    TempFolder Config;
    TEnvVar ConfigHome{"XDG_CONFIG_HOME", Config.Path()};
    std::shared_ptr<TExceptMirror> Mirror;
    std::shared_ptr<INVAssistant> Assistant;
};

TEST_F(CrashreportAssistantX11, KeysAndTheCloseButton)
{
    TDialogSteps Steps(
        {[](QDialog& D) {
             Ready(D);
             EXPECT_EQ(FocusedName(D), "NameEdit");
             Xdotool("type Ada");
             Xdotool("key Tab");
             ASSERT_TRUE(Eventually([&] { return FocusedName(D) == "EmailEdit"; }));
             Xdotool("type ada@example.org");
             Xdotool("key Tab");
             ASSERT_TRUE(Eventually([&] { return FocusedName(D) == "MemCheck"; }));
             Xdotool("key space");
             ASSERT_TRUE(Eventually(
                 [&] { return ItemWidget<QAbstractButton>(D, "MemCheck")->isChecked(); }));
             // Return on a check box moves on, to "Next >".
             Xdotool("key Return");
             ASSERT_TRUE(Eventually([&] { return FocusedName(D) == "ContinueBtn"; }));
             Picture(D, "ContactForm");
             Xdotool("key Return");
         },
         [](QDialog& D) {
             Ready(D);
             EXPECT_EQ(FocusedName(D), "DetailsEdit");
             // Return breaks the line in the description.
             Xdotool("type 'line one'");
             Xdotool("key Return");
             Xdotool("type 'line two'");
             Xdotool("key shift+Tab");
             ASSERT_TRUE(Eventually([&] { return FocusedName(D) == "CancelBtn"; }));
             Xdotool("key Tab Tab");
             ASSERT_TRUE(Eventually([&] { return FocusedName(D) == "ContinueBtn"; }));
             Picture(D, "DetailsForm");
             Xdotool("key Return");
         },
         [](QDialog& D) {
             Ready(D);
             Picture(D, "ScrShotForm");
             SendDeleteWindow(D);
         }});
    EXPECT_EQ(Assistant->ShowModal(nullptr), nmrCancel);
    EXPECT_EQ(Assistant->Form(0)->FindEdit("NameEdit")->Text(), "Ada");
    EXPECT_EQ(Assistant->Form(0)->FindEdit("EmailEdit")->Text(), "ada@example.org");
    EXPECT_EQ(Assistant->Form(1)->FindEdit("DetailsEdit")->Text(), "line one\r\nline two");
    EXPECT_EQ(Assistant->Form(2)->ModalResult(), nmrCancel);
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"), "Ada <ada@example.org>");
}

TEST_F(CrashreportAssistantX11, EscapeOnTheFirstForm)
{
    TDialogSteps Steps({[](QDialog& D) {
        Ready(D);
        Xdotool("key Escape");
    }});
    EXPECT_EQ(Assistant->ShowModal(nullptr), nmrCancel);
    EXPECT_EQ(Assistant->Form(1)->ModalResult(), nmrNone);
}

} // namespace
