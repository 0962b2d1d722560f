#include "crashreport/helper/kelNVPrgrAlert.h"

#include "crashlib/kelTools.h"
#include "crashreport/kelExceptTemp.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QStyle>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int PictureSize = 32;

// The alert's window: the user cannot close it; only the alert does.
class TAlertWindow final : public QWidget {
public:
    using QWidget::QWidget;
    bool Closing = false;

protected:
    void closeEvent(QCloseEvent* Event) override
    {
        if (!Closing)
            Event->ignore();
    }
};

class TAlertPicture final : public QWidget {
public:
    TAlertPicture(QWidget* Parent, std::string AResource)
        : QWidget(Parent), Resource(std::move(AResource))
    {
        setObjectName("Picture");
        setGeometry(9, 9, PictureSize, PictureSize);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter P(this);
        DrawAlphaBitmapRes(Resource, P, PictureSize, palette().color(QPalette::Button));
    }

private:
    const std::string Resource;
};

std::uint32_t ReadLE(const std::string& S, std::size_t At, int Bytes)
{
    std::uint32_t V = 0;
    for (int I = 0; I < Bytes; ++I)
        V |= std::uint32_t{static_cast<std::uint8_t>(S[At + static_cast<std::size_t>(I)])}
             << (8 * I);
    return V;
}

// A bitmap resource of a 32-bit picture of Size x Size pixels: exactly the
// header and the pixels, and a header that says so.
bool IsPictureOfSize(const std::string& Resource, int Size)
{
    if (Size <= 0 || Resource.size() != 40 + 4 * static_cast<std::size_t>(Size) * Size)
        return false;
    const auto Height = static_cast<std::int32_t>(ReadLE(Resource, 8, 4));
    return ReadLE(Resource, 0, 4) == 40 &&
           ReadLE(Resource, 4, 4) == static_cast<std::uint32_t>(Size) &&
           (Height == Size || Height == -Size) && ReadLE(Resource, 14, 2) == 32 &&
           ReadLE(Resource, 16, 4) == 0;
}

bool OnApplicationThread()
{
    const QCoreApplication* App = QCoreApplication::instance();
    return App == nullptr || QThread::currentThread() == App->thread();
}

} // namespace

bool DrawAlphaBitmapRes(const std::string& Resource, QPainter& Painter, int Size, QColor Background)
{
    if (!IsPictureOfSize(Resource, Size))
        return false;
    const bool BottomUp = static_cast<std::int32_t>(ReadLE(Resource, 8, 4)) > 0;
    // The background in pixel order: red in bits 16..23, blue in 0..7.
    const std::uint32_t Bg = static_cast<std::uint32_t>(Background.red()) << 16 |
                             static_cast<std::uint32_t>(Background.green()) << 8 |
                             static_cast<std::uint32_t>(Background.blue());
    QImage Image(Size, Size, QImage::Format_RGB32);
    for (int Y = 0; Y < Size; ++Y) {
        const int Row = BottomUp ? Size - 1 - Y : Y;
        auto* Out = reinterpret_cast<std::uint32_t*>(Image.scanLine(Y));
        for (int X = 0; X < Size; ++X) {
            const std::uint32_t Px =
                ReadLE(Resource, 40 + (static_cast<std::size_t>(Row) * Size + X) * 4, 4);
            const std::uint32_t A = (Px >> 24) + 1;
            const std::uint32_t RedBlue =
                (((256 - A) * (Bg & 0xFF00FF) + (Px & 0xFF00FF) * A) >> 8) & 0xFF00FF;
            const std::uint32_t Green =
                (((256 - A) * (Bg & 0xFF00) + (Px & 0xFF00) * A) >> 8) & 0xFF00;
            Out[X] = 0xFF000000u | RedBlue | Green;
        }
    }
    Painter.drawImage(0, 0, Image);
    return true;
}

std::string LoadBitmapRes(const std::string& Name)
{
    if (Name.empty())
        return {};
    return LoadResourceStr(0, std::uint16_t{2}, Name);
}

// --- The alert ----------------------------------------------------------------------

TIProgressAlert::TIProgressAlert(std::string_view ATitle, std::string_view APicture)
    : Title(ATitle), Picture(APicture)
{
}

TIProgressAlert::~TIProgressAlert()
{
    OnWindowThread([this] { CloseHere(); });
}

template <class F> void TIProgressAlert::OnWindowThread(F&& Fn)
{
    if (OnApplicationThread()) {
        Fn();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(Fn),
                              Qt::BlockingQueuedConnection);
}

std::string TIProgressAlert::GetTitle() const
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    return Title;
}

void TIProgressAlert::SetTitle(std::string_view ATitle)
{
    OnWindowThread([&] {
        std::lock_guard<std::recursive_mutex> Guard(Lock);
        if (Title == ATitle)
            return;
        Title = ATitle;
        if (Window_)
            Window_->setWindowTitle(QString::fromStdString(Title));
    });
}

int TIProgressAlert::GetPosition() const
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    return Areas.GetPosition();
}

void TIProgressAlert::ShowBar()
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    if (Bar)
        Bar->setValue(std::clamp(Areas.Bar(), 0, 1000));
}

void TIProgressAlert::SetPosition(int Position)
{
    {
        std::lock_guard<std::recursive_mutex> Guard(Lock);
        Areas.SetPosition(Position);
    }
    if (OnApplicationThread()) {
        ShowBar();
        ProcessMessages();
        return;
    }
    // From another thread: the bar follows when the window's thread comes to
    // it, with whatever position is the last by then.
    if (QCoreApplication* App = QCoreApplication::instance()) {
        QPointer<QProgressBar> Target;
        {
            std::lock_guard<std::recursive_mutex> Guard(Lock);
            Target = Bar;
        }
        const int Value = [&] {
            std::lock_guard<std::recursive_mutex> Guard(Lock);
            return std::clamp(Areas.Bar(), 0, 1000);
        }();
        QMetaObject::invokeMethod(
            App,
            [Target, Value] {
                if (Target)
                    Target->setValue(Value);
            },
            Qt::QueuedConnection);
    }
}

void TIProgressAlert::AddArea(std::string_view Text, std::int64_t Weight)
{
    OnWindowThread([&] {
        std::lock_guard<std::recursive_mutex> Guard(Lock);
        const bool First = Areas.Areas().empty();
        Areas.Add(Text, Weight);
        if (First && StatusLine)
            StatusLine->setText(QString::fromStdString(Areas.Areas().front().Text));
    });
}

void TIProgressAlert::Clear()
{
    OnWindowThread([&] {
        std::lock_guard<std::recursive_mutex> Guard(Lock);
        Areas.Clear();
    });
}

void TIProgressAlert::NextArea()
{
    SetArea(GetArea() + 1);
}

int TIProgressAlert::GetArea() const
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    return Areas.Current();
}

void TIProgressAlert::SetArea(int Index)
{
    OnWindowThread([&] {
        std::lock_guard<std::recursive_mutex> Guard(Lock);
        if (!Areas.SetArea(Index))
            return;
        ShowBar();
        // "All done" keeps the last area's text.
        if (Index < static_cast<int>(Areas.Areas().size()) && StatusLine)
            StatusLine->setText(QString::fromStdString(Areas.CurrentText()));
        ProcessMessages();
    });
}

void TIProgressAlert::ProcessMessages()
{
    if (QCoreApplication::instance() != nullptr && OnApplicationThread())
        QCoreApplication::processEvents();
}

bool TIProgressAlert::Show(QWidget* Owner, bool Centred)
{
    bool Shown = false;
    OnWindowThread([&] { Shown = ShowHere(Owner, Centred); });
    return Shown;
}

void TIProgressAlert::Close()
{
    OnWindowThread([this] { CloseHere(); });
}

QWidget* TIProgressAlert::Window() const
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    return Window_;
}

int TIProgressAlert::Slot() const
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    return SlotNumber;
}

bool TIProgressAlert::ShowHere(QWidget* Owner, bool Centred)
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    if (Window_ || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return false;
    Owner_ = Owner;
    if (Owner)
        Owner->setEnabled(false);
    if (Areas.Areas().empty())
        Areas.Add(PleaseWaitText, 1000);

    // A tool window over its owner, on top, with a caption and no buttons.
    auto* W = new TAlertWindow(Owner, Qt::Tool | Qt::WindowStaysOnTopHint |
                                          Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    W->setObjectName("prgrAlertWnd");
    W->setWindowTitle(QString::fromStdString(Title));

    // Big enough for the texts of every area still to come.
    const QFontMetrics Metrics(W->font());
    QSize Text;
    const auto& List = Areas.Areas();
    const auto First = static_cast<std::size_t>(std::max(Areas.Current(), 0));
    for (std::size_t I = First; I < List.size(); ++I) {
        const QSize S = Metrics
                            .boundingRect(QRect(0, 0, 420, 0), Qt::TextWordWrap,
                                          QString::fromStdString(List[I].Text))
                            .size();
        Text = I == First ? S : Text.expandedTo(S);
    }
    int TextW = Text.width(), TextH = Text.height();
    const std::string Resource = LoadBitmapRes(Picture);
    const bool HasPicture = IsPictureOfSize(Resource, PictureSize);
    if (HasPicture) {
        TextW += 40;
        new TAlertPicture(W, Resource);
    }
    TextW = std::max(TextW, 220);
    int LineX = 11, LineY = 12, LineH = TextH;
    if (HasPicture) {
        LineX = 51;
        if (TextH < 26)
            LineY = 12 + (26 - TextH) / 2;
    }
    auto* Line = new QLabel(QString::fromStdString(Areas.CurrentText()), W);
    Line->setObjectName("StatusLine");
    Line->setWordWrap(true);
    Line->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Line->setGeometry(LineX, LineY, TextW - (HasPicture ? 40 : 0), LineH);
    const int BarH = W->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    auto* Progress = new QProgressBar(W);
    Progress->setObjectName("ProgressBar");
    Progress->setRange(0, 1000);
    Progress->setTextVisible(false);
    Progress->setGeometry(11, TextH + 24, TextW, BarH);
    W->setFixedSize(TextW + 22, TextH + 24 + BarH + 12);

    Window_ = W;
    StatusLine = Line;
    Bar = Progress;
    Place(Centred);
    if (Centred) {
        W->showNormal();
        W->raise();
        W->activateWindow();
    } else {
        W->setAttribute(Qt::WA_ShowWithoutActivating);
        W->showNormal();
    }
    // Now that a window manager may have framed it, the outer size is known.
    Place(Centred);
    QTimer::singleShot(0, W, [this, Centred] {
        std::lock_guard<std::recursive_mutex> G(Lock);
        Place(Centred);
    });
    ShowBar();
    return true;
}

void TIProgressAlert::Place(bool Centred)
{
    QWidget* W = Window_;
    if (W == nullptr)
        return;
    QScreen* Screen = Owner_ ? Owner_->screen() : QGuiApplication::primaryScreen();
    if (Screen == nullptr)
        return;
    const QSize Outer = W->frameGeometry().size();
    if (Centred) {
        const QRect Full = Screen->geometry();
        W->move(Full.x() + (Full.width() - Outer.width()) / 2,
                Full.y() + (Full.height() - Outer.height()) / 2);
        return;
    }
    if (SlotNumber < 0 && SlotFd < 0) {
        // The first free place of the eight, held while the window shows.
        const std::string Folder = CrashRuntimeFolder();
        for (int N = 0; N < ProgressSlotCount && !Folder.empty(); ++N) {
            const std::string File = Folder + "/progress-slot-" + std::to_string(N);
            const int Fd = ::open(File.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (Fd < 0)
                continue;
            if (::flock(Fd, LOCK_EX | LOCK_NB) == 0) {
                SlotFd = Fd;
                SlotNumber = N;
                break;
            }
            ::close(Fd);
        }
    }
    // All eight taken: place 0's spot.
    const int Slot = std::max(SlotNumber, 0);
    const QRect Work = Screen->availableGeometry();
    const int Bottom = Work.bottom() + 1 - Slot * Outer.height();
    W->move(Work.right() + 1 - Outer.width() - 2, Bottom - Outer.height() - 2);
}

void TIProgressAlert::CloseHere()
{
    std::lock_guard<std::recursive_mutex> Guard(Lock);
    if (SlotFd >= 0) {
        ::close(SlotFd); // frees the place for other alerts
        SlotFd = -1;
    }
    SlotNumber = -1;
    if (!Window_)
        return;
    auto* W = static_cast<TAlertWindow*>(Window_.data());
    Window_ = nullptr;
    W->Closing = true;
    W->hide();
    delete W;
    if (Owner_) {
        Owner_->setEnabled(true);
        Owner_->activateWindow();
    }
    Owner_ = nullptr;
}

std::shared_ptr<TIProgressAlert> NewProgressAlert(std::string_view Title, std::string_view Picture)
{
    return std::make_shared<TIProgressAlert>(Title, Picture);
}
