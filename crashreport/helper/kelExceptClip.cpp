#include "crashreport/helper/kelExceptClip.h"

#include "crashreport/helper/kelHelperSession.h"
#include "crashreport/kelExceptLink.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>

#include <memory>

void RegisterClipHandler(THelperSession& Session)
{
    Session.Handle(lfClipRequest, true, [&Session](const TLinkFrame& F) {
        TClipRequestFrame R;
        if (!DecodeFrame(F, R))
            return false;
        QClipboard* Clip = QGuiApplication::clipboard();
        Clip->setText(QString::fromStdString(R.Text));
        const bool Copied = Clip->text().toStdString() == R.Text;
        Session.Send(TClipDoneFrame{R.Request, Copied});
        if (!Copied || !Clip->ownsClipboard())
            return true;
        // Held until someone else owns the clipboard, or the limit.
        Session.BeginWork();
        auto Done = std::make_shared<bool>(false);
        auto Release = [&Session, Done] {
            if (!*Done) {
                *Done = true;
                Session.EndWork();
            }
        };
        QObject::connect(Clip, &QClipboard::changed, Clip, [Clip, Release](QClipboard::Mode M) {
            if (M == QClipboard::Clipboard && !Clip->ownsClipboard())
                Release();
        });
        QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(ClipHoldLimit),
                           Release);
        return true;
    });
}
