// The exception box's frames of the helper link: as Python's struct packs
// them, and refused when cut short, lengthened or holding a byte that is not
// a boolean.
#include "crashreport/kelExceptLink.h"
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <variant>

namespace {

using TAnyFrame =
    std::variant<TReportBeginFrame, TReportFieldFrame, TReportSectionFrame, TReportCompleteFrame,
                 TShowDetailsFrame, TCloseBoxFrame, THandlersAnswerFrame, TBoxOwnerFrame,
                 TDisplayModeFrame, TFireHandlersFrame, TVerdictFrame, TAssistantOutputFrame,
                 TSettingChangedFrame, TAttachScreenShotFrame>;

// The cases of protocol_oracle.py, as this side builds them.
const std::map<std::string, TAnyFrame>& Cases()
{
    static const std::map<std::string, TAnyFrame> C = {
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
        RunCommand("/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/protocol_oracle.py");
    std::map<std::string, std::string> Frames;
    std::istringstream Lines(R.Output);
    for (std::string Name, Hex; Lines >> Name >> Hex;) {
        std::string Bytes;
        for (std::size_t I = 0; I + 1 < Hex.size(); I += 2)
            Bytes += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
        Frames[Name] = Bytes;
    }
    return Frames;
}

TEST(CrashreportProtocol, FramesAsPythonPacksThem)
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
            },
            Frame);
    }
}

TEST(CrashreportProtocol, MalformedFieldsDoNotDecode)
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

} // namespace
