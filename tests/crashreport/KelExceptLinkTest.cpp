// The helper link: frames as Python's struct packs them, streams cut at every
// byte, lengths out of bounds, garbled fields, many threads on one end, a
// peer that is gone or does not read, and the progress alert that talks over
// it.
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelPrgrAlertLink.h"
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <variant>

namespace {

using namespace std::chrono_literals;

std::string Unhex(const std::string& Hex)
{
    std::string Out;
    for (std::size_t I = 0; I + 1 < Hex.size(); I += 2)
        Out += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
    return Out;
}

using TAnyFrame =
    std::variant<THelloFrame, TSettingsFrame, TAlertNewFrame, TAlertShowFrame, TAlertSetTitleFrame,
                 TAlertAddAreaFrame, TAlertClearFrame, TAlertSetAreaFrame, TAlertSetPositionFrame,
                 TAlertCloseFrame, TAlertReleaseFrame, TScreenShotRequestFrame,
                 TScreenShotTakenFrame, TSaveRequestFrame, TSaveDoneFrame, TPrintRequestFrame,
                 TPrintDoneFrame, TSendRequestFrame, TSendDoneFrame, TRestartRequestFrame,
                 TRestartReadyFrame, TClipRequestFrame, TClipDoneFrame, TReportBeginFrame,
                 TReportFieldFrame, TReportSectionFrame, TReportCompleteFrame, TShowDetailsFrame,
                 TCloseBoxFrame, THandlersAnswerFrame, TBoxOwnerFrame, TDisplayModeFrame,
                 TFireHandlersFrame, TVerdictFrame, TAssistantOutputFrame, TSettingChangedFrame,
                 TAttachScreenShotFrame>;

// The cases of link_oracle.py, as this side builds them.
const std::map<std::string, TAnyFrame>& Cases()
{
    static const std::map<std::string, TAnyFrame> C = {
        {"hello", THelloFrame{1, 4242, "/usr/lib/tolvex/tolvex"}},
        {"settings", TSettingsFrame{std::string("TPF0\x0aTKelExcept\x09kelExcept\0", 26)}},
        {"alert-new", TAlertNewFrame{7, "Sending bug report...", "KEISEND32"}},
        {"alert-show", TAlertShowFrame{7, true}},
        {"alert-title", TAlertSetTitleFrame{7, "Übertragung läuft – 送信"}},
        {"alert-area", TAlertAddAreaFrame{7, "Connecting to server...", -(std::int64_t{1} << 40)}},
        {"alert-clear", TAlertClearFrame{0xFFFFFFFF}},
        {"alert-set-area", TAlertSetAreaFrame{7, -3}},
        {"alert-position", TAlertSetPositionFrame{7, 1000}},
        {"alert-close", TAlertCloseFrame{7}},
        {"alert-release", TAlertReleaseFrame{7}},
        {"screenshot-request", TScreenShotRequestFrame{99, true, 31337}},
        {"screenshot-taken",
         TScreenShotTakenFrame{99, false, 0, 0, "screenshot: not available (no X11 display)"}},
        {"empty-text", TAlertSetTitleFrame{1, ""}},
        {"save-request", TSaveRequestFrame{5, "date/time : now\r\n", true}},
        {"save-done", TSaveDoneFrame{5, true, "/home/u/bugreport.kbr"}},
        {"print-request", TPrintRequestFrame{6, "report"}},
        {"print-done", TPrintDoneFrame{6, false}},
        {"send-request", TSendRequestFrame{8, "report", 99, false, true, "TPF0"}},
        {"send-done", TSendDoneFrame{8, soInBackground}},
        {"restart-request", TRestartRequestFrame{9, {1, -2, std::int64_t{1} << 50}}},
        {"restart-request-none", TRestartRequestFrame{10, {}}},
        {"restart-ready", TRestartReadyFrame{9, true}},
        {"clip-request", TClipRequestFrame{11, "date/time : now\r\n"}},
        {"clip-done", TClipDoneFrame{11, false}},
        {"report-begin",
         TReportBeginFrame{5, 2, "std::runtime_error", "Zugriff verweigert.\r\nNächste Zeile", true,
                           3, 0x4ab7, "/usr/bin/tolvex", "tolvex --portable", "/usr/bin/", 12,
                           false, true, std::string("TPF0\0settings", 13)}},
        {"report-field", TReportFieldFrame{5, "callstack crc", "$42d22d5b, $2acd9baa"}},
        {"report-section",
         TReportSectionFrame{5, true, "main thread ($4ab7)",
                             "00007fabed8a3f16 +3e  libc.so.6\r\n>> created by x"}},
        {"report-complete", TReportCompleteFrame{5, "date/time : 2026\r\n\r\nmodules:\r\n."}},
        {"show-details", TShowDetailsFrame{0xFFFFFFFF}},
        {"close-box", TCloseBoxFrame{5}},
        {"handlers-answer", THandlersAnswerFrame{5, 77, true}},
        {"box-owner", TBoxOwnerFrame{5, 0x0460000Bu, true}},
        {"display-mode", TDisplayModeFrame{5, 1920, 1080, 24}},
        {"fire-handlers", TFireHandlersFrame{5, 77, 1, 13}},
        {"verdict", TVerdictFrame{5, bvRestart}},
        {"assistant-output", TAssistantOutputFrame{5, "contact name", false, "Jörg"}},
        {"setting-changed", TSettingChangedFrame{5, "MailFrom", "a@example.org"}},
        {"attach-screenshot", TAttachScreenShotFrame{5, 0}},
    };
    return C;
}

std::map<std::string, std::string> OracleFrames()
{
    const TCommandResult R =
        RunCommand("/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/link_oracle.py");
    std::map<std::string, std::string> Frames;
    std::istringstream Lines(R.Output);
    for (std::string Name, Hex; Lines >> Name >> Hex;)
        Frames[Name] = Unhex(Hex);
    return Frames;
}

TEST(CrashreportLink, FramesAsPythonPacksThem)
{
    const auto Oracle = OracleFrames();
    ASSERT_EQ(Oracle.size(), Cases().size());
    for (const auto& [Name, Frame] : Cases()) {
        SCOPED_TRACE(Name);
        ASSERT_EQ(Oracle.count(Name), 1u);
        const std::string& Wire = Oracle.at(Name);
        std::visit(
            [&](const auto& Message) {
                using T = std::decay_t<decltype(Message)>;
                EXPECT_EQ(FrameBytes(EncodeFrame(Message)), Wire);
                TFrameParser P;
                P.Feed(Wire.data(), Wire.size());
                TLinkFrame Read;
                ASSERT_EQ(P.Next(Read), TParse::prFrame);
                T Decoded{};
                ASSERT_TRUE(DecodeFrame(Read, Decoded));
                EXPECT_TRUE(Decoded == Message);
                EXPECT_EQ(P.Pending(), 0u);
            },
            Frame);
    }
}

TEST(CrashreportLink, StreamCutAtEveryByte)
{
    std::string Stream;
    for (const auto& [Name, Wire] : OracleFrames())
        Stream += Wire;
    // Fed one byte at a time, the frames come out whole, each exactly when
    // its last byte arrives.
    TFrameParser P;
    std::size_t Frames = 0;
    for (std::size_t I = 0; I < Stream.size(); ++I) {
        P.Feed(&Stream[I], 1);
        TLinkFrame F;
        const TParse R = P.Next(F);
        ASSERT_NE(R, TParse::prMalformed) << I;
        if (R == TParse::prFrame) {
            ++Frames;
            EXPECT_EQ(P.Pending(), 0u);
        }
    }
    EXPECT_EQ(Frames, Cases().size());
    // Over a socket: a stream whose writer stops inside a frame is malformed
    // at its end, wherever the cut; a cut between frames is a clean end.
    const std::string One = FrameBytes(EncodeFrame(TAlertNewFrame{3, "title", "KEIPLWAIT"}));
    for (std::size_t Cut = 0; Cut <= One.size(); ++Cut) {
        SCOPED_TRACE(Cut);
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        TExceptLink Reader(Fds[0]);
        ASSERT_EQ(::write(Fds[1], One.data(), Cut), static_cast<ssize_t>(Cut));
        ::close(Fds[1]);
        TLinkFrame F;
        const TLinkRead R = Reader.Receive(F, 2000ms);
        if (Cut == One.size()) {
            ASSERT_EQ(R, TLinkRead::lrFrame);
            EXPECT_EQ(Reader.Receive(F, 2000ms), TLinkRead::lrClosed);
        } else {
            EXPECT_EQ(R, Cut == 0 ? TLinkRead::lrClosed : TLinkRead::lrMalformed);
        }
        EXPECT_FALSE(Reader.IsOpen());
    }
}

TEST(CrashreportLink, LengthsOutOfBoundsCloseTheLink)
{
    struct TCase {
        std::uint32_t Length;
        bool Malformed;
    };
    for (TCase C : {TCase{0, true}, TCase{1, true}, TCase{2, false}, TCase{MaxFrameBody, false},
                    TCase{MaxFrameBody + 1, true}, TCase{0xFFFFFFFF, true}}) {
        SCOPED_TRACE(C.Length);
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        TExceptLink Reader(Fds[0]);
        std::string Head(4, '\0');
        for (int I = 0; I < 4; ++I)
            Head[static_cast<std::size_t>(I)] = static_cast<char>(C.Length >> (8 * I));
        Head += std::string("\x22\0", 2); // a type
        ASSERT_EQ(::write(Fds[1], Head.data(), Head.size()), 6);
        TLinkFrame F;
        const TLinkRead R = Reader.Receive(F, 300ms);
        // A length within bounds waits for the rest of its frame.
        EXPECT_EQ(R, C.Malformed ? TLinkRead::lrMalformed
                                 : (C.Length == 2 ? TLinkRead::lrFrame : TLinkRead::lrNone));
        EXPECT_EQ(Reader.IsOpen(), !C.Malformed);
        ::close(Fds[1]);
    }
    // A frame too long to send is refused whole; the link stays.
    int Fds[2];
    ASSERT_TRUE(CreateLinkPair(Fds));
    TExceptLink Writer(Fds[0]);
    EXPECT_FALSE(Writer.Send(TLinkFrame{lfSettings, std::string(MaxFrameBody - 1, 'x')}));
    EXPECT_TRUE(Writer.IsOpen());
    ::close(Fds[1]);
}

TEST(CrashreportLink, EveryFrameCutShortOrLengthenedDoesNotDecode)
{
    for (const auto& [Name, Frame] : Cases()) {
        SCOPED_TRACE(Name);
        std::visit(
            [&](const auto& Message) {
                using T = std::decay_t<decltype(Message)>;
                const TLinkFrame Whole = EncodeFrame(Message);
                T Out{};
                // Every cut short, one byte too many, and another type.
                for (std::size_t Cut = 0; Cut < Whole.Fields.size(); ++Cut)
                    EXPECT_FALSE(DecodeFrame({Whole.Type, Whole.Fields.substr(0, Cut)}, Out))
                        << Cut;
                EXPECT_FALSE(DecodeFrame({Whole.Type, Whole.Fields + '\0'}, Out));
                EXPECT_FALSE(
                    DecodeFrame({static_cast<std::uint16_t>(Whole.Type + 1), Whole.Fields}, Out));
            },
            Frame);
    }
    // A boolean of 2 is no boolean.
    TLinkFrame F = EncodeFrame(THandlersAnswerFrame{1, 2, true});
    F.Fields.back() = 2;
    THandlersAnswerFrame A;
    EXPECT_FALSE(DecodeFrame(F, A));
}

TEST(CrashreportLink, GarbledFieldsDoNotDecode)
{
    const std::string Name = "alert-new";
    const TLinkFrame Good = EncodeFrame(std::get<TAlertNewFrame>(Cases().at(Name)));
    struct TCase {
        const char* Name;
        TLinkFrame Frame;
    };
    auto Changed = [&](auto Change) {
        TLinkFrame F = Good;
        Change(F.Fields);
        return F;
    };
    const TCase Garbled[] = {
        {"no fields", TLinkFrame{lfAlertNew, ""}},
        {"cut in the number", Changed([](std::string& S) { S.resize(3); })},
        {"cut in a text", Changed([](std::string& S) { S.resize(S.size() - 1); })},
        {"a byte left over", Changed([](std::string& S) { S += '\0'; })},
        {"a text longer than the frame",
         Changed([](std::string& S) { S[4] = static_cast<char>(0xFF); })},
        {"a text length of 4 GiB",
         Changed([](std::string& S) { S.replace(4, 4, "\xff\xff\xff\xff"); })},
        {"another type", TLinkFrame{lfAlertShow, Good.Fields}},
    };
    for (const TCase& C : Garbled) {
        SCOPED_TRACE(C.Name);
        TAlertNewFrame Out;
        EXPECT_FALSE(DecodeFrame(C.Frame, Out));
    }
    // A restart carries ten times at most, and as many as it says.
    TRestartRequestFrame Restart;
    const auto Times = [](std::uint32_t Count, int Values) {
        std::string F = std::string("\1\0\0\0", 4) + std::string(1, static_cast<char>(Count)) +
                        std::string(3, '\0');
        return F + std::string(8 * Values, '\1');
    };
    EXPECT_TRUE(DecodeFrame(TLinkFrame{lfRestartRequest, Times(10, 10)}, Restart));
    EXPECT_EQ(Restart.Times.size(), 10u);
    EXPECT_FALSE(DecodeFrame(TLinkFrame{lfRestartRequest, Times(11, 11)}, Restart));
    EXPECT_FALSE(DecodeFrame(TLinkFrame{lfRestartRequest, Times(3, 2)}, Restart));
    EXPECT_FALSE(DecodeFrame(TLinkFrame{lfRestartRequest, Times(2, 3)}, Restart));
    // A truth value is 0 or 1, nothing else.
    TAlertShowFrame Show;
    EXPECT_TRUE(DecodeFrame(TLinkFrame{lfAlertShow, std::string("\7\0\0\0\1", 5)}, Show));
    EXPECT_FALSE(DecodeFrame(TLinkFrame{lfAlertShow, std::string("\7\0\0\0\2", 5)}, Show));
    // A frame of a type nobody knows reads as a frame; no known frame takes
    // it.
    TFrameParser P;
    const std::string Unknown = FrameBytes(TLinkFrame{0x7777, "whatever"});
    P.Feed(Unknown.data(), Unknown.size());
    TLinkFrame F;
    ASSERT_EQ(P.Next(F), TParse::prFrame);
    EXPECT_EQ(F.Type, 0x7777);
    EXPECT_FALSE(DecodeFrame(F, Show));
}

TEST(CrashreportLink, ThreadsSendWholeFrames)
{
    int Fds[2];
    ASSERT_TRUE(CreateLinkPair(Fds));
    TExceptLink Writer(Fds[0]), Reader(Fds[1]);
    constexpr int Threads = 4, PerThread = 2000;
    std::vector<std::thread> Senders;
    for (int T = 0; T < Threads; ++T)
        Senders.emplace_back([&, T] {
            for (int I = 0; I < PerThread; ++I)
                // Long texts, so that frames straddle the socket's buffer.
                ASSERT_TRUE(Writer.Send(TAlertAddAreaFrame{
                    static_cast<std::uint32_t>(T), std::string(100 + I % 3000, char('a' + T)), I}));
        });
    std::vector<int> Next(Threads, 0);
    for (int N = 0; N < Threads * PerThread; ++N) {
        TLinkFrame F;
        ASSERT_EQ(Reader.Receive(F, 10000ms), TLinkRead::lrFrame);
        TAlertAddAreaFrame A;
        ASSERT_TRUE(DecodeFrame(F, A));
        ASSERT_LT(A.Alert, static_cast<std::uint32_t>(Threads));
        // Each thread's frames arrive whole and in the order it sent them.
        EXPECT_EQ(A.Weight, Next[A.Alert]++);
        EXPECT_EQ(A.Text, std::string(100 + A.Weight % 3000, char('a' + A.Alert)));
    }
    for (auto& T : Senders)
        T.join();
}

TEST(CrashreportLink, PeerGoneOrNotReading)
{
    {
        // Gone: no signal, the send fails and closes this end.
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        TExceptLink Writer(Fds[0]);
        ::close(Fds[1]);
        EXPECT_FALSE(Writer.Send(TAlertCloseFrame{1}));
        EXPECT_FALSE(Writer.IsOpen());
    }
    {
        // Not reading: the send gives up after its time.
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        TExceptLink Writer(Fds[0]);
        Writer.SendTimeout = 300ms;
        const auto Start = std::chrono::steady_clock::now();
        bool Sent = true;
        for (int I = 0; I < 100 && Sent; ++I)
            Sent = Writer.Send(TSettingsFrame{std::string(1 << 20, 'x')});
        EXPECT_FALSE(Sent);
        EXPECT_LT(std::chrono::steady_clock::now() - Start, 5s);
        EXPECT_FALSE(Writer.IsOpen());
        ::close(Fds[1]);
    }
    {
        // Nothing arrives: the wait ends with its time, the link stays.
        int Fds[2];
        ASSERT_TRUE(CreateLinkPair(Fds));
        TExceptLink Reader(Fds[0]);
        TLinkFrame F;
        const auto Start = std::chrono::steady_clock::now();
        EXPECT_EQ(Reader.Receive(F, 200ms), TLinkRead::lrNone);
        EXPECT_GE(std::chrono::steady_clock::now() - Start, 190ms);
        EXPECT_TRUE(Reader.IsOpen());
        // Closed here while another thread waits: the wait ends.
        std::thread Closer([&] {
            std::this_thread::sleep_for(100ms);
            Reader.Close();
        });
        EXPECT_EQ(Reader.Receive(F, 10000ms), TLinkRead::lrClosed);
        Closer.join();
        ::close(Fds[1]);
    }
}

TEST(CrashreportLink, ProgressAlertSendsItsCalls)
{
    int Fds[2];
    ASSERT_TRUE(CreateLinkPair(Fds));
    auto Link = std::make_shared<TExceptLink>(Fds[0]);
    TExceptLink Helper(Fds[1]);
    std::vector<TLinkFrame> Frames;
    auto Drain = [&] {
        TLinkFrame F;
        while (Helper.Receive(F, 100ms) == TLinkRead::lrFrame)
            Frames.push_back(F);
    };
    {
        auto A = NewLinkProgressAlert(Link, "Sending bug report...", "KEISEND32");
        A->AddArea("Connecting to server...", 1);
        A->AddArea("", 3);
        A->SetArea(1);
        A->SetArea(1);  // the current area: ignored
        A->SetArea(-1); // ignored
        A->SetArea(3);  // beyond "all done": ignored
        A->SetPosition(500);
        EXPECT_EQ(A->GetArea(), 1);
        EXPECT_EQ(A->GetPosition(), 500);
        EXPECT_TRUE(A->Show(false));
        EXPECT_FALSE(A->Show(true));
        A->SetTitle("Sending bug report...");
        A->SetTitle("Sent");
        A->SetArea(2);
        EXPECT_EQ(A->GetArea(), 1);
        EXPECT_EQ(A->GetPosition(), 1000);
        A->Close();
        A->Close();
    }
    Drain();
    const std::vector<std::uint16_t> Types = {
        lfAlertNew,  lfAlertAddArea,  lfAlertAddArea, lfAlertSetArea, lfAlertSetPosition,
        lfAlertShow, lfAlertSetTitle, lfAlertSetArea, lfAlertClose,   lfAlertRelease};
    ASSERT_EQ(Frames.size(), Types.size());
    for (std::size_t I = 0; I < Types.size(); ++I)
        EXPECT_EQ(Frames[I].Type, Types[I]) << I;
    TAlertNewFrame New;
    ASSERT_TRUE(DecodeFrame(Frames[0], New));
    EXPECT_EQ(New.Title, "Sending bug report...");
    EXPECT_EQ(New.Picture, "KEISEND32");
    TAlertAddAreaFrame Second;
    ASSERT_TRUE(DecodeFrame(Frames[2], Second));
    EXPECT_EQ(Second.Weight, 3);
    TAlertShowFrame Show;
    ASSERT_TRUE(DecodeFrame(Frames[5], Show));
    EXPECT_FALSE(Show.Centred);
    // Every frame names the same alert.
    for (const TLinkFrame& F : Frames) {
        TFrameReader R(F.Fields);
        std::uint32_t Alert = 0;
        R(Alert);
        EXPECT_EQ(Alert, New.Alert);
    }
}

TEST(CrashreportLink, SettingsSnapshotReadsBackAsTheSection)
{
    // A section with an enciphered password, then a value written since.
    const std::string Plain = "s3cret pass \xc3\xa4";
    const std::vector<TSettingEntry> Section = {
        {"SmtpServer", skText, false, 0, "mail.example.org"},
        {"SmtpAccount", skText, false, 0, "reports"},
        {"SmtpPassword", skText, false, 0, EncipherPassword(Plain, "mail.example.org", "reports")},
        {"AutoSend", skBool, true, 0, ""},
        {"ScrShotDepth", skInt, false, 102400, ""}};
    auto Table = TModuleSettings::FromStream(WriteSettingsStream(Section));
    ASSERT_TRUE(Table);
    ASSERT_TRUE(Table->Write("MailSubj", skText, false, 0, "crash of %appname%"));
    ASSERT_TRUE(Table->Write("ScrShotDepth", skInt, false, 4, ""));

    const TSettingsFrame Frame = SettingsSnapshot(*Table);
    // The password travels enciphered, never as it is.
    EXPECT_EQ(Frame.Stream.find("s3cret"), std::string::npos);
    auto Read = TModuleSettings::FromStream(Frame.Stream);
    ASSERT_TRUE(Read);
    const auto Want = Table->Entries(), Got = Read->Entries();
    ASSERT_EQ(Got.size(), Want.size());
    for (std::size_t I = 0; I < Want.size(); ++I) {
        SCOPED_TRACE(Want[I].Name);
        EXPECT_EQ(Got[I].Name, Want[I].Name);
        EXPECT_EQ(Got[I].Kind, Want[I].Kind);
        EXPECT_EQ(Got[I].Bool, Want[I].Bool);
        EXPECT_EQ(Got[I].Int, Want[I].Int);
        EXPECT_EQ(Got[I].Text, Want[I].Text);
    }
    EXPECT_EQ(Read->Find("SmtpPassword", skText)->Text, Plain);
}

TEST(CrashreportLink, AreaArithmetic)
{
    TProgressAreas A;
    A.SetPosition(700);
    EXPECT_EQ(A.Bar(), 700); // no weights: the position itself
    A.Add("first", 1);
    A.Add("", 3);
    EXPECT_EQ(A.Areas()[1].Text, "first");
    EXPECT_EQ(A.Areas()[1].Start, 1);
    ASSERT_TRUE(A.SetArea(1));
    A.SetPosition(500);
    EXPECT_EQ(A.Bar(), 500); // (1 + 3 * 500 / 1000) * 1000 / 4
    // Weights far beyond 32 bits.
    TProgressAreas Big;
    Big.Add("a", std::int64_t{1} << 40);
    Big.Add("b", std::int64_t{3} << 40);
    Big.SetArea(1);
    Big.SetPosition(500);
    EXPECT_EQ(Big.Bar(), 625);
    EXPECT_TRUE(Big.SetArea(2));
    EXPECT_EQ(Big.Current(), 1);
    EXPECT_EQ(Big.Bar(), 1000);
}

} // namespace
