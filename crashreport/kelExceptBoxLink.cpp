#include "crashreport/kelExceptBoxLink.h"

#include <algorithm>

namespace {

bool SendChanges(TExceptLink& Link, const TReportChanges& C, std::uint32_t Report)
{
    bool Ok = true;
    for (TReportFieldFrame F : C.Fields) {
        F.Report = Report;
        Ok = Ok && Link.Send(F);
    }
    for (TReportSectionFrame S : C.Sections) {
        S.Report = Report;
        Ok = Ok && Link.Send(S);
    }
    if (C.Complete)
        Ok = Ok && Link.Send(TReportCompleteFrame{Report, *C.Complete});
    return Ok;
}

} // namespace

TBoxOutcome ShowBoxOverLink(TExceptLink& Link, const TBoxRequest& Request)
{
    TBoxOutcome Out;
    const std::uint32_t Report = Request.Begin.Report;
    if (!Link.Send(TBoxOwnerFrame{Report, Request.OwnerWindow, Request.Beep}) ||
        !Link.Send(Request.Begin))
        return Out;
    if (Request.Refresh && !SendChanges(Link, Request.Refresh(), Report))
        return Out;
    auto NextRefresh = std::chrono::steady_clock::now() + Request.RefreshEvery;
    while (Link.IsOpen()) {
        const auto Now = std::chrono::steady_clock::now();
        if (Request.Refresh && Now >= NextRefresh) {
            if (!SendChanges(Link, Request.Refresh(), Report))
                break;
            NextRefresh = Now + Request.RefreshEvery;
        }
        TLinkFrame F;
        const auto Wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            NextRefresh - std::chrono::steady_clock::now());
        const TLinkRead R = Link.Receive(F, std::max(Wait, std::chrono::milliseconds(1)));
        if (R == TLinkRead::lrNone)
            continue;
        if (R != TLinkRead::lrFrame)
            break;
        // Decodes a frame of this report; anything else closes the link.
        auto Take = [&](auto& Frame) {
            if (DecodeFrame(F, Frame) && Frame.Report == Report)
                return true;
            Link.Close();
            return false;
        };
        switch (F.Type) {
        case lfFireHandlers: {
            TFireHandlersFrame Fire;
            if (!Take(Fire))
                break;
            bool Handled = false;
            if (Request.Target && Fire.Kind <= hkNotification)
                FireHandlers(static_cast<THandlerKind>(Fire.Kind), Fire.Code, Handled,
                             *Request.Target);
            Link.Send(THandlersAnswerFrame{Report, Fire.Request, Handled});
            break;
        }
        case lfAssistantOutput: {
            TAssistantOutputFrame O;
            if (!Take(O))
                break;
            if (Request.OnOutput)
                Request.OnOutput(O);
            Out.Outputs.push_back(std::move(O));
            break;
        }
        case lfSettingChanged: {
            TSettingChangedFrame S;
            if (Take(S))
                Out.Settings.push_back(std::move(S));
            break;
        }
        case lfAttachScreenShot: {
            TAttachScreenShotFrame A;
            if (!Take(A))
                break;
            if (A.Value > 1) {
                Link.Close();
                break;
            }
            Out.AttachScreenShot = A.Value != 0;
            break;
        }
        case lfDisplayMode: {
            TDisplayModeFrame D;
            if (Take(D))
                Out.DisplayMode = D;
            break;
        }
        case lfVerdict: {
            TVerdictFrame V;
            if (!Take(V))
                break;
            if (V.Value > bvClose) {
                Link.Close();
                break;
            }
            Out.Verdict = static_cast<TBoxVerdict>(V.Value);
            return Out;
        }
        case lfHandlersAnswer:
        case lfBoxOwner:
        case lfReportBegin:
        case lfReportField:
        case lfReportSection:
        case lfReportComplete:
        case lfShowDetails:
        case lfCloseBox:
            // The program's own frames coming back: the helper is not what
            // it should be.
            Link.Close();
            break;
        default:
            break; // a frame of a newer helper, skipped
        }
    }
    return Out;
}
