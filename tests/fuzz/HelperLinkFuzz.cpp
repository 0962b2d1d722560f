// Any bytes as what the helper link reads: fed whole or in pieces, the
// parser gives the same frames and stops at the same malformed length; every
// frame that decodes as one of the known frames encodes back to exactly its
// fields.
#include "crashreport/kelExceptLink.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace {

using TKnownFrames =
    std::tuple<THelloFrame, TSettingsFrame, TAlertNewFrame, TAlertShowFrame, TAlertSetTitleFrame,
               TAlertAddAreaFrame, TAlertClearFrame, TAlertSetAreaFrame, TAlertSetPositionFrame,
               TAlertCloseFrame, TAlertReleaseFrame, TScreenShotRequestFrame, TScreenShotTakenFrame,
               TReportBeginFrame, TReportFieldFrame, TReportSectionFrame, TReportCompleteFrame,
               TShowDetailsFrame, TCloseBoxFrame, THandlersAnswerFrame, TBoxOwnerFrame,
               TDisplayModeFrame, TFireHandlersFrame, TVerdictFrame, TAssistantOutputFrame,
               TSettingChangedFrame, TAttachScreenShotFrame, TSaveRequestFrame, TSaveDoneFrame,
               TPrintRequestFrame, TPrintDoneFrame, TSendRequestFrame, TSendDoneFrame,
               TRestartRequestFrame, TRestartReadyFrame, TClipRequestFrame, TClipDoneFrame,
               TLastWordsFrame>;

void CheckRoundTrip(const TLinkFrame& Frame)
{
    std::apply(
        [&](auto... Empty) {
            (
                [&](auto Message) {
                    if (DecodeFrame(Frame, Message) && EncodeFrame(Message).Fields != Frame.Fields)
                        __builtin_trap();
                }(Empty),
                ...);
        },
        TKnownFrames{});
}

// The frames of the bytes fed in pieces of the given sizes (cycled), and
// whether the parser ended on a malformed length.
std::vector<TLinkFrame> Parse(const std::uint8_t* Data, std::size_t Size,
                              const std::vector<std::size_t>& Pieces, bool& Malformed)
{
    TFrameParser P;
    std::vector<TLinkFrame> Frames;
    Malformed = false;
    std::size_t At = 0, Piece = 0;
    while (At < Size && !Malformed) {
        const std::size_t N = std::min(Size - At, Pieces[Piece++ % Pieces.size()]);
        P.Feed(Data + At, N);
        At += N;
        for (TLinkFrame F;;) {
            const TParse R = P.Next(F);
            if (R == TParse::prFrame)
                Frames.push_back(F);
            Malformed = R == TParse::prMalformed;
            if (R != TParse::prFrame)
                break;
        }
    }
    return Frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size == 0)
        return 0;
    // The first byte picks the pieces the rest is fed in.
    const std::vector<std::size_t> Pieces = {std::size_t{Data[0]} % 7 + 1, 3, 1,
                                             std::size_t{Data[0]} + 1};
    bool WholeMalformed = false, PiecesMalformed = false;
    const auto Whole = Parse(Data + 1, Size - 1, {Size}, WholeMalformed);
    const auto InPieces = Parse(Data + 1, Size - 1, Pieces, PiecesMalformed);
    if (Whole.size() != InPieces.size() || WholeMalformed != PiecesMalformed)
        __builtin_trap();
    for (std::size_t I = 0; I < Whole.size(); ++I) {
        if (Whole[I].Type != InPieces[I].Type || Whole[I].Fields != InPieces[I].Fields)
            __builtin_trap();
        CheckRoundTrip(Whole[I]);
    }
    return 0;
}
