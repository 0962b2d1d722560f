#include "crashreport/helper/kelExceptBox.h"

#include "crashlib/kelStrings.h"
#include "crashreport/helper/kelExceptViewer.h"
#include "crashreport/helper/kelNVPrgrAlert.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace {

constexpr const char* ButtonNames[BoxButtonCount] = {"send",     "save",    "print", "show",
                                                     "continue", "restart", "close"};

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The face colour made lighter (Amount > 0) or darker per channel, saturating.
QColor Shade(const QColor& C, int Amount)
{
    auto Channel = [Amount](int V) { return std::clamp(V + Amount, 0, 255); };
    return QColor(Channel(C.red()), Channel(C.green()), Channel(C.blue()));
}

QColor Mix(const QColor& A, const QColor& B, int WeightA, int Of)
{
    auto Channel = [&](int X, int Y) { return (X * WeightA + Y * (Of - WeightA)) / Of; };
    return QColor(Channel(A.red(), B.red()), Channel(A.green(), B.green()),
                  Channel(A.blue(), B.blue()));
}

constexpr int IconRoom = 27; // the caption starts right of the icon

} // namespace

const char* BoxButtonName(int Id)
{
    return Id >= 0 && Id < BoxButtonCount ? ButtonNames[Id] : "";
}

std::string BreakBoxMessage(std::string_view Message)
{
    std::u16string W = Utf8ToWide(Message);
    if (W.find(u'\n') != std::u16string::npos || W.find(u'\r') != std::u16string::npos)
        return std::string(Message);
    // Positions are 1-based: the blank of ". " at P, with 21 < P and P
    // before the 10th character from the end.
    const std::size_t Len = W.size();
    for (std::size_t I = 1; I < Len; ++I) {
        const std::size_t P = I + 1;
        if (W[I] == u' ' && W[I - 1] == u'.' && P > 21 && P + 9 < Len)
            W[I] = u'\n';
    }
    return WideToUtf8(W);
}

TBoxLayout MakeBoxLayout(const IKESettings& Settings, const TBoxFacts& Facts)
{
    TBoxLayout L;
    static constexpr TBoolKey Vis[BoxButtonCount] = {
        "SendBtnVis",     "SaveBtnVis",    "PrintBtnVis", "ShowBtnVis",
        "ContinueBtnVis", "RestartBtnVis", "CloseBtnVis"};
    static constexpr TTextKey Txt[BoxButtonCount] = {
        "SendBtnTxt",     "SaveBtnTxt",    "PrintBtnTxt", "ShowBtnTxt",
        "ContinueBtnTxt", "RestartBtnTxt", "CloseBtnTxt"};
    for (int I = 0; I < BoxButtonCount; ++I) {
        L.Visible[I] = Facts.Simple ? (I == bbContinue || (I == bbShow && Facts.SimpleDetails))
                                    : Settings.GetBoolSetting(Vis[I]);
        L.Enabled[I] = L.Visible[I];
        L.Caption[I] = Settings.GetTextSetting(Txt[I]);
    }
    if (Facts.Simple) {
        L.Caption[bbShow] = Settings.GetTextSetting("DetailsBtnTxt");
        L.Caption[bbContinue] = Settings.GetTextSetting("OkBtnTxt");
        L.Default = bbContinue;
        return L;
    }
    if (L.Visible[bbContinue] && !Facts.CanContinue &&
        (L.Visible[bbRestart] || L.Visible[bbClose])) {
        L.Enabled[bbContinue] = false;
        L.CantContinue = true;
    }
    const int Focused = Settings.GetIntSetting("FocusedBtn") & 0x7F;
    if (Focused < BoxButtonCount && L.Visible[Focused] && L.Enabled[Focused])
        L.Default = Focused;
    if (Settings.GetIntSetting("AutoClose") != 0 && L.Visible[bbClose])
        L.Automatic = bbClose;
    else if (Settings.GetIntSetting("AutoRestart") != 0 && L.Visible[bbRestart])
        L.Automatic = bbRestart;
    else if (Settings.GetBoolSetting("AutoContinue") && L.Visible[bbContinue] && Facts.CanContinue)
        L.Automatic = bbContinue;
    return L;
}

std::optional<TBoxButton> BoxCloseChoice(const TBoxLayout& Layout, const IKESettings& Settings,
                                         const TBoxFacts& Facts)
{
    const int Focused = Settings.GetIntSetting("FocusedBtn");
    if (!Facts.Simple && Focused >= bbContinue && Focused <= bbClose)
        return static_cast<TBoxButton>(Focused);
    if (Layout.Visible[bbContinue] && Facts.CanContinue)
        return bbContinue;
    if (Layout.Visible[bbClose])
        return bbClose;
    if (Layout.Visible[bbRestart])
        return bbRestart;
    if (Facts.Simple)
        return bbClose;
    return std::nullopt;
}

int CountdownMark(std::int64_t ElapsedMs, int Width, int DelaySeconds, bool Ugly)
{
    if (DelaySeconds <= 0)
        return -1;
    const std::int64_t Delay = DelaySeconds;
    const std::int64_t Span = Ugly ? Width - 11 : Width;
    const std::int64_t Pos = (ElapsedMs * Span + Delay * 500) / (Delay * 1000);
    return static_cast<int>(Pos + (Ugly ? 5 : 0));
}

// --- The buttons ------------------------------------------------------------------

TBoxPushButton::TBoxPushButton(int Id, bool Ugly, QWidget* Parent)
    : QPushButton(Parent), FId(Id), FUgly(Ugly)
{
    setObjectName(BoxButtonName(Id));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    const std::string Picture = LoadBitmapRes(std::string("kei") + BoxButtonName(Id));
    if (!Picture.empty()) {
        QImage Icon(16, 16, QImage::Format_ARGB32);
        Icon.fill(Qt::transparent);
        QPainter P(&Icon);
        if (!DrawAlphaBitmapRes(Picture, P, 16, QColor(0, 0, 0, 0)))
            Icon = QImage();
        FIcon = Icon;
    }
}

void TBoxPushButton::SetMark(int Position)
{
    if (Position == FMark)
        return;
    FMark = Position;
    update();
}

QSize TBoxPushButton::sizeHint() const
{
    const int Text = fontMetrics().horizontalAdvance(text().remove('&'));
    return QSize(Text + IconRoom + 12, FUgly ? 26 : 22);
}

void TBoxPushButton::mouseMoveEvent(QMouseEvent* Event)
{
    FPointerX = static_cast<int>(Event->position().x());
    update();
    QPushButton::mouseMoveEvent(Event);
}

void TBoxPushButton::leaveEvent(QEvent* Event)
{
    FPointerX = -1;
    update();
    QPushButton::leaveEvent(Event);
}

void TBoxPushButton::mousePressEvent(QMouseEvent* Event)
{
    // The press fades the face in eight steps, 10 ms apart.
    if (!FUgly && isEnabled()) {
        FFade = 0;
        auto* Fader = new QTimer(this);
        connect(Fader, &QTimer::timeout, this, [this, Fader] {
            if (++FFade >= 8) {
                FFade = 8;
                Fader->deleteLater();
            }
            repaint();
        });
        Fader->start(10);
    }
    QPushButton::mousePressEvent(Event);
}

void TBoxPushButton::paintEvent(QPaintEvent* Event)
{
    if (FUgly) {
        QPushButton::paintEvent(Event);
        if (FMark >= 0) {
            QPainter P(this);
            P.setPen(palette().color(QPalette::Dark));
            P.drawLine(FMark, 3, FMark, height() - 4);
        }
        return;
    }
    QPainter P(this);
    const QColor Face = palette().color(QPalette::Button);
    const QColor Pressed = Shade(Face, -48);
    // The face: during the press fade between the pressed and the plain face.
    P.fillRect(rect(), FFade < 8 ? Mix(Pressed, Face, 7 - FFade, 7) : Face);
    P.setPen(Shade(Face, -64));
    P.drawRect(rect().adjusted(0, 0, -1, -1));
    // Under the pointer a highlight line, four lines a side fading to the face.
    if (FPointerX >= 0 && isEnabled()) {
        const QColor Light = Shade(Face, 48);
        for (int D = -4; D <= 4; ++D) {
            const int Weight = 5 - std::abs(D);
            P.setPen(Mix(Light, Face, Weight, 5));
            P.drawLine(FPointerX + D, 1, FPointerX + D, height() - 2);
        }
    }
    if (FMark >= 0) {
        P.setPen(Shade(Face, -96));
        P.drawLine(FMark, 2, FMark, height() - 3);
    }
    if (!FIcon.isNull())
        P.drawImage(3 + 1, (height() - 16) / 2, FIcon);
    const QRect Caption = rect().adjusted(IconRoom, 0, 0, 0);
    const int Flags = Qt::AlignCenter | Qt::TextShowMnemonic;
    if (!isEnabled()) {
        P.setPen(Qt::white);
        P.drawText(Caption.translated(1, 1), Flags, text());
    }
    P.setPen(palette().color(QPalette::Shadow));
    if (isEnabled())
        P.setPen(palette().color(QPalette::ButtonText));
    P.drawText(Caption, Flags, text());
    if (hasFocus()) {
        P.setPen(QPen(palette().color(QPalette::ButtonText), 1, Qt::DotLine));
        P.drawRect(rect().adjusted(3, 3, -4, -4));
    }
}

// --- The box ----------------------------------------------------------------------

TBoxGeometry BoxGeometry(const TBoxGeometryInput& In, int ClientWidth)
{
    TBoxGeometry G;
    int Left = 0, Right = 0, Shown = 0;
    for (int I = 0; I < BoxButtonCount; ++I) {
        if (In.Widths[I] <= 0)
            continue;
        ++Shown;
        (I < bbContinue ? Left : Right) += In.Widths[I];
    }
    const int Gap = Left > 0 && Right > 0 ? 8 : 0;
    const int OneRow =
        In.Simple ? 6 + Left + Right + 2 * std::max(0, Shown - 1) + 6 : 6 + Left + Gap + Right + 2;
    G.ClientWidth = std::max(664, OneRow);
    if (In.MaxClientWidth > 0)
        G.ClientWidth = std::min(G.ClientWidth, std::max(664, In.MaxClientWidth));
    if (ClientWidth > 0)
        G.ClientWidth = ClientWidth;

    // The message beside the picture; a short one centred on the picture's
    // band.
    const int MessageX = In.Picture ? 51 : 11;
    const int MessageWidth = std::max(1, G.ClientWidth - MessageX - 11);
    int Height = In.MessageHeight ? In.MessageHeight(MessageWidth) : 0;
    if (In.MaxMessageHeight > 0)
        Height = std::min(Height, In.MaxMessageHeight);
    const int MessageY = In.Picture && Height < 26 ? 12 + (26 - Height) / 2 : 12;
    G.Message = QRect(MessageX, MessageY, MessageWidth, Height);
    int Top = MessageY + Height + 5;
    if (In.Picture) {
        G.Picture = QRect(11, 9, 32, 32);
        Top = std::max(Top, G.Picture.y() + G.Picture.height() + 5);
    }

    const int RowHeight = In.ButtonHeight + 4;
    const bool TwoRows = !In.Simple && Left > 0 && Right > 0 && OneRow > G.ClientWidth;
    G.Rows = Shown == 0 ? 0 : TwoRows ? 2 : 1;
    auto Place = [&](int Id, int& X, int Row, int After) {
        if (In.Widths[Id] <= 0)
            return;
        G.Buttons[Id] = QRect(X, Top + Row * RowHeight + 2, In.Widths[Id], In.ButtonHeight);
        X += In.Widths[Id] + After;
    };
    if (In.Simple) {
        int X = (G.ClientWidth - (Left + Right + 2 * std::max(0, Shown - 1))) / 2;
        Place(bbContinue, X, 0, 2);
        Place(bbShow, X, 0, 2);
    } else {
        int X = 6;
        for (int I = bbSend; I <= bbShow; ++I)
            Place(I, X, 0, 0);
        X = G.ClientWidth - Right - 2;
        for (int I = bbContinue; I <= bbClose; ++I)
            Place(I, X, TwoRows ? 1 : 0, 0);
    }
    G.ButtonsBottom = Top + G.Rows * RowHeight;
    G.ClientHeight = G.ButtonsBottom + 3;
    return G;
}

QRect DetailsRect(const TBoxGeometry& G, int ClientWidth, int ClientHeight)
{
    const int Top = G.ButtonsBottom + 2;
    return QRect(5, Top, ClientWidth - 9, std::max(0, ClientHeight - Top - 5));
}

TExceptBox::TExceptBox(IKESettings& Settings, const TBoxFacts& Facts, QWidget* Parent)
    : QDialog(Parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      FSettings(Settings), FFacts(Facts), FLayout(MakeBoxLayout(Settings, Facts))
{
    setObjectName("ExceptBox");
    FResizable = !Facts.Simple && Settings.GetBoolSetting("AutoShowBugRep");
    if (FResizable)
        setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    // Tahoma 11 pixels where it is installed, else the system's sans serif.
    QFont Normal("Tahoma");
    Normal.setStyleHint(QFont::SansSerif);
    Normal.setPixelSize(11);
    Normal.setWeight(QFont::Normal);
    setFont(Normal);
    setWindowTitle(QString::fromStdString(Settings.GetTextSetting("TitleBar")));
    const std::string Message =
        Facts.Frozen ? ExpandPlaceholders(Settings.GetTextSetting("FrozenMsg"), Settings.Module())
                     : Settings.GetTextSetting("ExceptMsg");
    FMessage = new QLabel(QString::fromStdString(BreakBoxMessage(Message)), this);
    FMessage->setObjectName("message");
    FMessage->setWordWrap(true);
    FMessage->setTextFormat(Qt::PlainText);
    FMessage->setTextInteractionFlags(Qt::NoTextInteraction);
    FMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    const std::string Big = LoadBitmapRes("KEIBIG");
    if (!Big.empty()) {
        QImage Picture(32, 32, QImage::Format_ARGB32);
        Picture.fill(Qt::transparent);
        QPainter P(&Picture);
        const bool Drawn = DrawAlphaBitmapRes(Big, P, 32, palette().color(QPalette::Window));
        P.end();
        if (Drawn) {
            FPicture = new QLabel(this);
            FPicture->setObjectName("picture");
            FPicture->setPixmap(QPixmap::fromImage(Picture));
        }
    }

    const bool Ugly = Settings.GetBoolSetting("UglyBtns");
    for (int I = 0; I < BoxButtonCount; ++I) {
        if (!FLayout.Visible[I])
            continue;
        auto* B = new TBoxPushButton(I, Ugly || Facts.Simple, this);
        B->setText(QString::fromStdString(FLayout.Caption[I]));
        B->setEnabled(FLayout.Enabled[I]);
        B->setAutoDefault(false);
        if (FLayout.CantContinue && I == bbContinue) {
            const std::string Picture = LoadBitmapRes("keicantContinue");
            if (!Picture.empty()) {
                QImage Icon(16, 16, QImage::Format_ARGB32);
                Icon.fill(Qt::transparent);
                QPainter P(&Icon);
                DrawAlphaBitmapRes(Picture, P, 16, QColor(0, 0, 0, 0));
                B->SetIcon(Icon);
            }
        }
        FButtons[I] = B;
        connect(B, &QPushButton::clicked, this, [this, I] { Press(static_cast<TBoxButton>(I)); });
    }
    // Tab order: the buttons from left to right.
    QWidget* Previous = nullptr;
    for (int I : {bbContinue, bbShow}) // the simple box: OK, then Details
        if (Facts.Simple && FButtons[I]) {
            if (Previous)
                setTabOrder(Previous, FButtons[I]);
            Previous = FButtons[I];
        }
    if (FLayout.Default >= 0 && FButtons[FLayout.Default]) {
        FButtons[FLayout.Default]->setDefault(true);
        FButtons[FLayout.Default]->setFocus();
    }
    Place(0);
    SetSize(FGeometry.ClientWidth, FGeometry.ClientHeight);

    FTimer = new QTimer(this);
    FTimer->setInterval(10);
    connect(FTimer, &QTimer::timeout, this, &TExceptBox::Tick);
    if (!Facts.Simple && Settings.GetBoolSetting("AutoShowBugRep"))
        ShowDetails();
}

void TExceptBox::SetSize(int Width, int Height)
{
    // Only a box with its details from the start can be resized; the size it
    // is made with is the least it can have.
    if (FResizable) {
        setMinimumSize(Width, Height);
        resize(Width, Height);
    } else {
        setFixedSize(Width, Height);
    }
}

TBoxGeometryInput TExceptBox::GeometryInput() const
{
    TBoxGeometryInput In;
    for (int I = 0; I < BoxButtonCount; ++I)
        In.Widths[I] = FButtons[I] ? FButtons[I]->sizeHint().width() : 0;
    In.ButtonHeight = FFacts.Simple ? 23 : FSettings.GetBoolSetting("UglyBtns") ? 26 : 22;
    In.Simple = FFacts.Simple;
    In.Picture = FPicture != nullptr;
    const QScreen* S = screen();
    In.MaxClientWidth = S ? S->availableGeometry().width() - 16 : 0;
    In.MaxMessageHeight = S ? S->geometry().height() * 2 / 3 : 800;
    In.MessageHeight = [this](int Width) {
        return FMessage->fontMetrics()
            .boundingRect(QRect(0, 0, Width, 100000), Qt::TextWordWrap, FMessage->text())
            .height();
    };
    return In;
}

void TExceptBox::Place(int ClientWidth)
{
    FGeometry = BoxGeometry(GeometryInput(), ClientWidth);
    FMessage->setGeometry(FGeometry.Message);
    if (FPicture)
        FPicture->setGeometry(FGeometry.Picture);
    for (int I = 0; I < BoxButtonCount; ++I)
        if (FButtons[I])
            FButtons[I]->setGeometry(FGeometry.Buttons[I]);
    if (FDetails)
        FDetails->setGeometry(DetailsRect(FGeometry, width(), height()));
}

void TExceptBox::resizeEvent(QResizeEvent* Event)
{
    QDialog::resizeEvent(Event);
    Place(width());
}

TExceptBox::~TExceptBox() = default;

QString TExceptBox::MessageText() const
{
    return FMessage->text();
}

void TExceptBox::showEvent(QShowEvent* Event)
{
    QDialog::showEvent(Event);
    if (FLayout.Automatic >= 0 && FCountdownStart < 0)
        StartCountdown(NowMs());
}

void TExceptBox::StartCountdown(std::int64_t StartMs)
{
    if (FLayout.Automatic < 0)
        return;
    FCountdownStart = StartMs;
    FTimer->start();
    Tick();
}

void TExceptBox::Tick()
{
    if (FCountdownStart < 0 || FLayout.Automatic < 0)
        return;
    const int Delay = FSettings.GetIntSetting("AutoDelay");
    const std::int64_t Elapsed = NowMs() - FCountdownStart;
    TBoxPushButton* B = FButtons[FLayout.Automatic];
    if (B)
        B->SetMark(CountdownMark(std::min<std::int64_t>(Elapsed, std::int64_t{Delay} * 1000),
                                 B->width(), Delay, FSettings.GetBoolSetting("UglyBtns")));
    if (Elapsed >= std::int64_t{Delay} * 1000) {
        FTimer->stop();
        Press(static_cast<TBoxButton>(FLayout.Automatic));
    }
}

void TExceptBox::SetReport(std::vector<TViewerField> Header, std::vector<TBoxSection> Sections)
{
    FHeader = std::move(Header);
    FSections = std::move(Sections);
    if (FDetails)
        FillTabs();
}

void TExceptBox::ShowDetails()
{
    if (FDetails)
        return;
    FDetails = new QTabWidget(this);
    FDetails->setObjectName("details");
    connect(FDetails, &QTabWidget::currentChanged, this, &TExceptBox::ShowTab);
    FillTabs();
    setSizeGripEnabled(FResizable);
    // The box grows by the tab control, within the screen less five caption
    // heights; what it is then is the least it can be made.
    const int Caption = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const int Limit = screen() ? screen()->availableGeometry().height() - 5 * Caption : 100000;
    const int Height = std::min(Limit, FGeometry.ButtonsBottom + 2 + DetailsHeight + 5);
    SetSize(FGeometry.ClientWidth, Height);
    FDetails->setGeometry(DetailsRect(FGeometry, width(), height()));
    FDetails->show();
}

void TExceptBox::FillTabs()
{
    const int Current = FDetails->currentIndex();
    QSignalBlocker Block(FDetails);
    while (FDetails->count() > 0) {
        QWidget* W = FDetails->widget(0);
        FDetails->removeTab(0);
        delete W;
    }
    auto AddTab = [this](const std::string& Label, const std::string& Name) {
        auto* Page = new QWidget;
        Page->setObjectName(QString::fromStdString(Name));
        new QVBoxLayout(Page);
        Page->layout()->setContentsMargins(3, 3, 3, 3);
        FDetails->addTab(Page, QString::fromStdString(Label));
    };
    AddTab("general", "general");
    AddTab("call stack", "call stack");
    for (const TBoxSection& S : FSections)
        AddTab(ViewerTabLabel(S.Name), S.Name);
    FDetails->setCurrentIndex(std::max(0, Current));
    ShowTab(FDetails->currentIndex());
}

void TExceptBox::ShowTab(int Index)
{
    if (!FDetails || Index < 0)
        return;
    QWidget* Page = FDetails->widget(Index);
    if (!Page)
        return;
    while (QLayoutItem* Item = Page->layout()->takeAt(0)) {
        delete Item->widget();
        delete Item;
    }
    const std::string Name = Page->objectName().toStdString();
    TSectionKind Kind = SectionKindOf(Name);
    std::string Text;
    if (Index == 0) {
        Kind = TSectionKind::skGeneral;
        Text = GeneralViewText(FHeader);
    } else if (Index == 1) {
        Kind = TSectionKind::skCallStack;
        for (const TBoxSection& S : FSections)
            if (S.Thread) {
                Text = S.Text;
                break;
            }
    } else {
        const TBoxSection& S = FSections[static_cast<std::size_t>(Index - 2)];
        Text = S.Text;
        if (S.Thread)
            Kind = TSectionKind::skCallStack;
    }
    QFont Normal = font();
    QFont Fixed("Courier New");
    Fixed.setStyleHint(QFont::TypeWriter);
    Fixed.setPixelSize(11);
    const TViewerTable Table = ViewSection(Kind, Text);
    if (Table.IsList) {
        auto* View = new TExceptViewer(Table, Normal, Fixed, Page);
        View->setObjectName("view");
        Page->layout()->addWidget(View);
    } else {
        auto* Edit = new QPlainTextEdit(QString::fromStdString(Text), Page);
        Edit->setObjectName("view");
        Edit->setReadOnly(true);
        Edit->setFont(Fixed);
        Edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        Page->layout()->addWidget(Edit);
    }
}

void TExceptBox::CopyToClipboard()
{
    // Only the section views copy.
    if (!FDetails)
        return;
    std::string Text;
    if (FSettings.GetBoolSetting("AutoShowBugRep")) {
        Text = FFullReport;
    } else {
        // The section on screen.
        const int Index = FDetails->currentIndex();
        if (Index == 0)
            Text = GeneralViewText(FHeader);
        else if (Index >= 2 && static_cast<std::size_t>(Index - 2) < FSections.size())
            Text = FSections[static_cast<std::size_t>(Index - 2)].Text;
        else
            for (const TBoxSection& S : FSections)
                if (S.Thread) {
                    Text = S.Text;
                    break;
                }
    }
    QApplication::clipboard()->setText(QString::fromStdString(Text));
}

void TExceptBox::keyPressEvent(QKeyEvent* Event)
{
    if (Event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    if (Event->key() == Qt::Key_F1) {
        if (FireHandlers)
            FireHandlers(0, 10);
        return;
    }
    if (Event->key() == Qt::Key_C && (Event->modifiers() & Qt::ControlModifier)) {
        CopyToClipboard();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void TExceptBox::reject()
{
    close();
}

void TExceptBox::closeEvent(QCloseEvent* Event)
{
    if (FClosing) {
        Event->accept();
        return;
    }
    Event->ignore();
    if (const auto Choice = BoxCloseChoice(FLayout, FSettings, FFacts))
        Press(*Choice);
}

void TExceptBox::Press(TBoxButton Button)
{
    switch (Button) {
    case bbShow:
        if (FireHandlers)
            FireHandlers(0, 9);
        ShowDetails();
        return;
    case bbSend:
    case bbSave:
    case bbPrint:
        // A send the user starts shows the report being sent first.
        if (Button == bbSend)
            ShowDetails();
        if (Action)
            Action(Button);
        return;
    default:
        Choose(Button);
    }
}

void TExceptBox::Choose(TBoxButton Button)
{
    FTimer->stop();
    FVerdict = Button;
    FClosing = true;
    done(Button == bbContinue ? QDialog::Accepted : QDialog::Rejected);
    close();
}

void TExceptBox::CloseBox()
{
    FTimer->stop();
    FClosing = true;
    done(QDialog::Rejected);
    close();
}
