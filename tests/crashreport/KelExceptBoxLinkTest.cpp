// The program's side of the exception box over a socket pair, with the
// helper's end played here: the report begun and kept up to date, handler
// rounds run with test handlers and answered, what the user entered taken,
// the verdict returned; frames the box does not expect close the link.
#include "crashreport/kelExceptBoxLink.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;

void ClaimsSend(std::uint8_t Code, IKEException*, bool& Handled)
{
    Handled = Code == acSend;
}

struct TPair {
    TPair()
    {
        int Fds[2];
        EXPECT_TRUE(CreateLinkPair(Fds));
        Program = std::make_unique<TExceptLink>(Fds[0]);
        Helper = std::make_unique<TExceptLink>(Fds[1]);
    }
    std::unique_ptr<TExceptLink> Program, Helper;
};

template <class T> T Expect(TExceptLink& L)
{
    TLinkFrame F;
    T Out{};
    EXPECT_EQ(L.Receive(F, 5000ms), TLinkRead::lrFrame);
    EXPECT_TRUE(DecodeFrame(F, Out)) << "frame type " << F.Type;
    return Out;
}

TBoxRequest Request(TFireTarget& Target, int& Refreshes)
{
    TBoxRequest R;
    R.Begin.Report = 9;
    R.Begin.Class = "std::logic_error";
    R.Begin.Settings = "stream";
    R.Target = &Target;
    R.RefreshEvery = 20ms;
    R.Refresh = [&Refreshes] {
        TReportChanges C;
        if (Refreshes++ == 0) {
            C.Fields.push_back({0, "exception class", "std::logic_error"});
            C.Sections.push_back({0, true, "main thread ($1)", ">> will be calculated soon"});
        } else if (Refreshes == 3) {
            C.Complete = "whole";
        }
        return C;
    };
    return R;
}

TEST(CrashreportProtocol, ProgramSideOfTheBox)
{
    ClearHandlers();
    AddActionHandler(&ClaimsSend, hsFiringThread);
    TPair P;
    TFireTarget Target;
    int Refreshes = 0;
    TBoxRequest R = Request(Target, Refreshes);
    R.OwnerWindow = 0x0460000B;
    R.Beep = true;
    std::vector<std::string> Taken;
    R.OnOutput = [&](const TAssistantOutputFrame& O) { Taken.push_back(O.Name); };
    TBoxOutcome Outcome;
    std::thread Program([&] { Outcome = ShowBoxOverLink(*P.Program, R); });

    TExceptLink& H = *P.Helper;
    // The owner first: the helper keeps it for the report's begin.
    EXPECT_EQ(Expect<TBoxOwnerFrame>(H), (TBoxOwnerFrame{9, 0x0460000B, true}));
    EXPECT_EQ(Expect<TReportBeginFrame>(H), R.Begin);
    EXPECT_EQ(Expect<TReportFieldFrame>(H),
              (TReportFieldFrame{9, "exception class", "std::logic_error"}));
    EXPECT_EQ(Expect<TReportSectionFrame>(H).Report, 9u);
    EXPECT_EQ(Expect<TReportCompleteFrame>(H), (TReportCompleteFrame{9, "whole"}));
    // Rounds: the send is claimed by the test handler, the save is not.
    ASSERT_TRUE(H.Send(TFireHandlersFrame{9, 41, hkAction, acSend}));
    EXPECT_EQ(Expect<THandlersAnswerFrame>(H), (THandlersAnswerFrame{9, 41, true}));
    ASSERT_TRUE(H.Send(TFireHandlersFrame{9, 42, hkAction, acSave}));
    EXPECT_EQ(Expect<THandlersAnswerFrame>(H), (THandlersAnswerFrame{9, 42, false}));
    ASSERT_TRUE(H.Send(TAssistantOutputFrame{9, "contact name", false, "Jörg"}));
    ASSERT_TRUE(H.Send(TSettingChangedFrame{9, "MailFrom", "j@example.org"}));
    ASSERT_TRUE(H.Send(TAttachScreenShotFrame{9, 0}));
    ASSERT_TRUE(H.Send(TDisplayModeFrame{9, 1280, 1024, 24}));
    ASSERT_TRUE(H.Send(TVerdictFrame{9, bvRestart}));
    Program.join();
    EXPECT_EQ(Outcome.Verdict, bvRestart);
    EXPECT_EQ(Taken, (std::vector<std::string>{"contact name"}));
    ASSERT_EQ(Outcome.Settings.size(), 1u);
    EXPECT_EQ(Outcome.Settings[0].Value, "j@example.org");
    EXPECT_EQ(Outcome.AttachScreenShot, false);
    ASSERT_TRUE(Outcome.DisplayMode.has_value());
    EXPECT_EQ(Outcome.DisplayMode->Bits, 24u);
    EXPECT_TRUE(P.Program->IsOpen());
    ClearHandlers();
}

TEST(CrashreportProtocol, UnexpectedFramesCloseTheLink)
{
    struct TCase {
        const char* Why;
        TLinkFrame Frame;
        bool Closes = true; // false: skipped, the wait ends only when the helper goes
    };
    const TCase Cases[] = {
        {"an answer the program never asked for", EncodeFrame(THandlersAnswerFrame{9, 1, true})},
        {"a round of another report", EncodeFrame(TFireHandlersFrame{8, 1, 0, 9})},
        {"a verdict that is none", EncodeFrame(TVerdictFrame{9, 3})},
        {"a verdict cut short", {lfVerdict, std::string("\x09\0\0", 3)}},
        {"the program's own frame", EncodeFrame(TReportFieldFrame{9, "a", "b"})},
        {"the program's owner frame", EncodeFrame(TBoxOwnerFrame{9, 1, false})},
        {"a frame of a newer helper", TLinkFrame{127, "x"}, false},
    };
    for (const TCase& C : Cases) {
        TPair P;
        TFireTarget Target;
        int Refreshes = 0;
        const TBoxRequest R = Request(Target, Refreshes);
        TBoxOutcome Outcome;
        std::thread Program([&] { Outcome = ShowBoxOverLink(*P.Program, R); });
        Expect<TBoxOwnerFrame>(*P.Helper);
        Expect<TReportBeginFrame>(*P.Helper);
        ASSERT_TRUE(P.Helper->Send(C.Frame)) << C.Why;
        if (!C.Closes) {
            std::this_thread::sleep_for(100ms);
            EXPECT_TRUE(P.Program->IsOpen()) << C.Why;
            P.Helper->Close();
        }
        Program.join();
        EXPECT_FALSE(Outcome.Verdict.has_value()) << C.Why;
        if (C.Closes) {
            EXPECT_FALSE(P.Program->IsOpen()) << C.Why;
        }
    }
}

} // namespace
