#include "crashreport/helper/kelNVAssistant.h"

#include "crashlib/kelStrings.h"
#include "crashreport/helper/kelNVBitmapQt.h"
#include "crashreport/helper/kelNVWidgets.h"
#include "crashreport/kelNVLayout.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QTimer>

#include <cstdio>

INVContext::~INVContext() = default;
INVItem::~INVItem() = default;
INVForm::~INVForm() = default;
INVAssistant::~INVAssistant() = default;

namespace {

// Windows texts break lines with CR LF; the text widgets with LF.
QString ToWidgetText(std::string_view Text)
{
    QString S = NVText(Text);
    S.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return S;
}

std::string FromWidgetText(const QString& Text)
{
    QString S = Text;
    S.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return S.toStdString();
}

TNVActionProc BuiltInContactForm = nullptr;
TNVActionProc BuiltInScreenshotForm = nullptr;

class TNVForm;
class TNVFormWindow;

QRect ToQRect(const TNVRect& R)
{
    return QRect(R.Left, R.Top, R.Width(), R.Height());
}

// --- Items -----------------------------------------------------------------------

struct TLayoutContext {
    QWidget* Window; // the form's dialog
    int W;
    int ScreenHeight;
    QFontMetrics Metrics; // of the item font
};

class TNVItem : public virtual INVItem {
public:
    TNVItem(TNVForm& AForm, TNVItemDesc ADesc, int AIndex)
        : Form(AForm), Desc(std::move(ADesc)), Index(AIndex)
    {
    }

    std::string Name() const override { return Desc.Name; }
    QWidget* Window() const override { return FWindow; }
    bool TabStop() const override { return FTabStop; }
    int Spacing() const override { return Desc.Spacing; }
    bool Enabled() const override { return Desc.Enabled; }
    void SetEnabled(bool Value) override
    {
        Desc.Enabled = Value;
        UpdateEnabled();
    }
    void SetFocus() override
    {
        if (FWindow != nullptr)
            FWindow->setFocus(Qt::TabFocusReason);
    }

    // Places the item at (X, Y), making its widget; Bounds is its rectangle.
    virtual void Layout(const TLayoutContext& C, int X, int& Y) = 0;
    virtual void Paint(QPainter&) {}
    virtual bool IsValid() const { return true; }
    // The form's window goes.
    virtual void WindowGone() { FWindow = nullptr; }

    void SetBlocked(bool Value)
    {
        Blocked = Value;
        UpdateEnabled();
    }
    bool CanTakeFocus() const
    {
        return Desc.Enabled && FTabStop && FWindow != nullptr && FWindow->isEnabled() &&
               !FWindow->isHidden();
    }
    TNVItemKind Kind() const { return Desc.Kind; }

    TNVForm& Form;
    TNVItemDesc Desc;
    const int Index;
    TNVRect Bounds;
    bool Blocked = false;
    bool LaidOut = false;

protected:
    void UpdateEnabled()
    {
        if (FWindow != nullptr)
            FWindow->setEnabled(Desc.Enabled && !Blocked);
    }
    // The widget of the item, a child of the form's window.
    void Adopt(QWidget* W, const QRect& R, bool ATabStop, bool Visible = true);
    // A caption of a button, label or check box, shown at once.
    void ChangeCaption(std::string_view Value)
    {
        Desc.Caption = Value;
        const QString Text = NVText(Desc.ShownCaption());
        if (auto* B = qobject_cast<QAbstractButton*>(FWindow.data()))
            B->setText(Text);
        else if (auto* L = dynamic_cast<TNVLabelWidget*>(FWindow.data()))
            L->SetText(Text);
    }

    QPointer<QWidget> FWindow;
    bool FTabStop = false;
};

class TNVButton final : public TNVItem, public INVButton {
public:
    using TNVItem::TNVItem;
    std::string Caption() const override { return Desc.ShownCaption(); }
    void SetCaption(std::string_view Value) override { ChangeCaption(Value); }
    int MinWidth() const override { return Desc.MinWidth; }

    bool IsNavigation() const { return Index < FirstFormItem; }
    bool Painted() const { return IsNavigation() && !Desc.NoOwnerDraw; }
    void Layout(const TLayoutContext& C, int X, int& Y) override;
    // A navigation button's widget, where the button row puts it.
    void PlaceNavigation(TNVFormWindow* Window, const TNVRect& R);

private:
    void Connect(QAbstractButton* B);
};

class TNVLabel final : public TNVItem, public INVLabel {
public:
    using TNVItem::TNVItem;
    std::string Caption() const override { return Desc.ShownCaption(); }
    void SetCaption(std::string_view Value) override { ChangeCaption(Value); }
    QRect Measure(const TLayoutContext& C) const
    {
        return C.Metrics.boundingRect(QRect(0, 0, LabelWrapWidth(C.W), 1 << 20),
                                      Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                                      NVText(Desc.ShownCaption()));
    }
    bool IsCaption(const TLayoutContext& C) const
    {
        const int Single =
            C.Metrics
                .boundingRect(QRect(0, 0, LabelWrapWidth(C.W), 1 << 20),
                              Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, QStringLiteral("Gg"))
                .height();
        return IsCaptionLabel(Desc.ShownCaption(), Measure(C).height(), Single);
    }
    void Layout(const TLayoutContext& C, int X, int& Y) override;
};

class TNVEdit final : public TNVItem, public INVEdit {
public:
    using TNVItem::TNVItem;
    int Lines() const override { return Desc.Lines; }
    bool Optional() const override { return Desc.Optional; }
    void SetOptional(bool Value) override;
    std::string Text() const override;
    void SetText(std::string_view Value) override;
    bool Colored() const override { return !Desc.Plain; }
    void SetColored(bool Value) override
    {
        Desc.Plain = !Value;
        UpdateColors();
    }
    bool Valid() const override { return !Desc.Invalid; }
    void SetValid(bool Value) override;
    bool OutputType() const override { return Desc.OutputType; }
    void SetOutputType(bool Value) override
    {
        if (!Value || Desc.Lines >= 2)
            Desc.OutputType = Value;
    }
    std::string OutputName() const override { return Desc.OutputName; }
    void SetOutputName(std::string_view Value) override { Desc.OutputName = Value; }
    void SetFocus() override
    {
        TNVItem::SetFocus();
        if (auto* L = qobject_cast<QLineEdit*>(FWindow.data()))
            L->selectAll();
        else if (auto* M = qobject_cast<QPlainTextEdit*>(FWindow.data()))
            M->selectAll();
    }

    bool MultiLine() const { return Desc.Lines >= 2; }
    void Layout(const TLayoutContext& C, int X, int& Y) override;
    void Paint(QPainter& P) override;
    bool IsValid() const override { return Desc.Optional || (!Desc.Invalid && !Text().empty()); }
    // Closing by "Next >": the text typed is kept, the widget let go.
    void KeepText()
    {
        Desc.Text = Text();
        FWindow = nullptr;
    }

private:
    void UpdateColors();
    void Changed();
};

class TNVCheckBox final : public TNVItem, public INVCheckBox {
public:
    using TNVItem::TNVItem;
    std::string Caption() const override { return Desc.ShownCaption(); }
    void SetCaption(std::string_view Value) override { ChangeCaption(Value); }
    bool Checked() const override
    {
        if (auto* B = qobject_cast<QAbstractButton*>(FWindow.data()))
            return B->isChecked();
        return Desc.Checked;
    }
    void SetChecked(bool Value) override
    {
        Desc.Checked = Value;
        if (auto* B = qobject_cast<QAbstractButton*>(FWindow.data()))
            B->setChecked(Value);
    }
    std::string OutputName() const override { return Desc.OutputName; }
    void SetOutputName(std::string_view Value) override { Desc.OutputName = Value; }

    void Layout(const TLayoutContext& C, int X, int& Y) override;
    void WindowGone() override
    {
        Desc.Checked = Checked();
        TNVItem::WindowGone();
    }
};

class TNVImage final : public TNVItem, public INVImage {
public:
    using TNVItem::TNVItem;
    std::string File() const override { return Desc.File; }
    std::shared_ptr<INVBitmap> Bitmap() const override { return FBitmap; }
    void SetBitmap(std::shared_ptr<INVBitmap> Value) override;
    bool Clickable() const override { return Desc.Clickable; }
    bool Border() const override { return Desc.Border; }
    int Width() const override { return LaidOut ? Bounds.Width() : Desc.Width; }
    int Height() const override { return LaidOut ? Bounds.Height() : Desc.Height; }

    void Layout(const TLayoutContext& C, int X, int& Y) override;
    void Paint(QPainter& P) override;

private:
    int Frame() const { return ImageFrame(Desc.Border, Desc.Clickable); }
    std::shared_ptr<INVBitmap> FBitmap;
};

// --- Forms -----------------------------------------------------------------------

class TNVAssistant;

class TNVForm final : public INVForm {
public:
    TNVForm(TNVAssistant& AAssistant, int ACount, int AIndex, std::shared_ptr<INVContext> AContext,
            std::string_view ATitle)
        : FAssistant(AAssistant), FTitle(ATitle), FIndex(AIndex), FCount(ACount),
          FContext(std::move(AContext))
    {
    }
    // Reads the form's stream, then fires naFormRead.
    void Read(std::string_view Stream);

    INVAssistant* Assistant() const override;
    std::string Name() const override { return FName; }
    std::string Title() const override { return FTitle; }
    void SetTitle(std::string_view Value) override;
    std::string Message() const override { return FMessage; }
    void SetMessage(std::string_view Value) override;
    int ItemCount() const override { return static_cast<int>(Items.size()); }
    INVItem* Item(int Index) const override
    {
        return Index >= 0 && Index < ItemCount() ? Items[static_cast<std::size_t>(Index)].get()
                                                 : nullptr;
    }
    INVButton* NextBtn() const override { return Nav(nbNext); }
    INVButton* SkipBtn() const override { return Nav(nbSkip); }
    INVButton* CancelBtn() const override { return Nav(nbCancel); }
    std::string ActiveControl() const override { return FActiveControl; }
    void SetActiveControl(std::string_view Value) override { FActiveControl = Value; }
    int Timer() const override { return FTimer; }
    QWidget* Window() const override;
    std::uint8_t ModalResult() const override { return FModalResult; }
    TNVActionProc OnAction() const override { return FOnAction; }
    void SetOnAction(TNVActionProc Value) override { FOnAction = Value; }
    INVLabel* FindLabel(std::string_view Name) const override { return Find<TNVLabel>(Name); }
    INVEdit* FindEdit(std::string_view Name) const override { return Find<TNVEdit>(Name); }
    INVButton* FindButton(std::string_view Name) const override { return Find<TNVButton>(Name); }
    INVCheckBox* FindCheckBox(std::string_view Name) const override
    {
        return Find<TNVCheckBox>(Name);
    }
    INVImage* FindImage(std::string_view Name) const override { return Find<TNVImage>(Name); }
    void Skip() override { FSkipped = true; }
    std::uint8_t ShowModal(QWidget* Parent) override;
    INVContext* Context() const override { return FContext.get(); }
    void SetContext(std::shared_ptr<INVContext> Value) override { FContext = std::move(Value); }
    std::uintptr_t Tag() const override { return FTag; }
    void SetTag(std::uintptr_t Value) override { FTag = Value; }

    // For the items and the window.
    void Fire(std::uint8_t Action, INVItem* Item);
    void Validate();
    void ItemClicked(TNVItem& Item);
    void WindowClosing();
    bool CancelEnabled() const;
    void MoveFocus(QObject* From, bool Forward);
    TNVItem* ItemOf(QObject* Widget) const;
    TNVItem* ImageAt(const QPoint& Pos) const;
    void Paint(QPainter& P);

    std::vector<std::unique_ptr<TNVItem>> Items;
    TNVFormWindow* FWindow = nullptr;
    TNVItem* Captured = nullptr;
    int FW = 0, FH = 0;

private:
    TNVButton* Nav(int B) const
    {
        return Items.size() > static_cast<std::size_t>(B)
                   ? static_cast<TNVButton*>(Items[static_cast<std::size_t>(B)].get())
                   : nullptr;
    }
    template <class T> T* Find(std::string_view Name) const
    {
        for (const auto& I : Items)
            if (I->Desc.Name == Name)
                if (auto* Found = dynamic_cast<T*>(I.get()))
                    return Found;
        return nullptr;
    }
    void LayOut(TNVFormWindow& Window);
    TNVItem* NextInRing(int From, bool Forward) const;

    TNVAssistant& FAssistant;
    std::string FName, FTitle, FMessage, FActiveControl;
    int FIndex, FCount;
    int FMinWidth = 0, FTimer = 0;
    TNVActionProc FOnAction = nullptr;
    std::uint8_t FModalResult = nmrNone;
    std::shared_ptr<INVContext> FContext;
    std::uintptr_t FTag = 0;
    bool FSkipped = false;
};

class TNVAssistant final : public INVAssistant {
public:
    TNVAssistant(std::string_view ATitle, std::shared_ptr<INVContext> AContext)
        : FTitle(ATitle), FContext(std::move(AContext))
    {
    }
    std::string Title() const override { return FTitle; }
    void SetTitle(std::string_view Value) override
    {
        FTitle = Value;
        for (auto& F : Forms)
            F->SetTitle(Value);
    }
    int FormCount() const override { return static_cast<int>(Forms.size()); }
    INVForm* Form(int Index) const override
    {
        return Index >= 0 && Index < FormCount() ? Forms[static_cast<std::size_t>(Index)].get()
                                                 : nullptr;
    }
    INVForm* FindForm(std::string_view Name) const override
    {
        INVForm* Found = nullptr;
        for (const auto& F : Forms)
            if (IsTextEqualA(F->Name(), Name))
                Found = F.get();
        return Found;
    }
    std::uint8_t ModalResult() const override { return FModalResult; }
    TNVActionProc OnAction() const override { return FOnAction; }
    void SetOnAction(TNVActionProc Value) override { FOnAction = Value; }
    std::uint8_t ShowModal(QWidget* Parent) override
    {
        std::uint8_t Result = nmrNext;
        for (auto& F : Forms)
            if (F->ShowModal(Parent) == nmrCancel) {
                Result = nmrCancel;
                break;
            }
        FModalResult = Result;
        return Result;
    }
    INVContext* Context() const override { return FContext.get(); }
    void SetContext(std::shared_ptr<INVContext> Value) override { FContext = std::move(Value); }
    std::uintptr_t Tag() const override { return FTag; }
    void SetTag(std::uintptr_t Value) override { FTag = Value; }

    std::vector<std::unique_ptr<TNVForm>> Forms;

private:
    std::string FTitle;
    std::uint8_t FModalResult = nmrNone;
    TNVActionProc FOnAction = nullptr;
    std::shared_ptr<INVContext> FContext;
    std::uintptr_t FTag = 0;
};

// The dialog of a form while it is shown. Its event filter sees the keys of
// every item first, as a dialog's own message loop would: Escape, the Tab
// ring and Return are the form's.
class TNVFormWindow final : public QDialog {
public:
    TNVFormWindow(TNVForm& AForm, QWidget* Parent)
        : QDialog(Parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
          Form(AForm)
    {
        setMouseTracking(true);
        installEventFilter(this);
        QObject::connect(&Timer, &QTimer::timeout, this,
                         [this] { Form.Fire(naItemEvent, nullptr); });
    }

    QTimer Timer;

    // Ends the dialog with the form's modal result.
    void Finish(int Result) { done(Result); }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (Event->type() == QEvent::FocusIn || Event->type() == QEvent::FocusOut) {
            // An edit's frame shows whether it has the focus.
            if (TNVItem* I = Form.ItemOf(Watched); I != nullptr && I->Kind() == ikEdit)
                update(ToQRect(I->Bounds));
            return false;
        }
        if (Event->type() != QEvent::KeyPress)
            return false;
        auto* Key = static_cast<QKeyEvent*>(Event);
        switch (Key->key()) {
        case Qt::Key_Escape:
            if (Form.CancelEnabled())
                close();
            return true;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            Form.MoveFocus(Watched,
                           Key->key() == Qt::Key_Tab && !(Key->modifiers() & Qt::ShiftModifier));
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // On a button or in a multi-line edit the key does its own work.
            TNVItem* I = Form.ItemOf(Watched);
            if (I == nullptr || I->Kind() == ikButton ||
                (I->Kind() == ikEdit && static_cast<TNVEdit*>(I)->MultiLine()))
                return false;
            Form.MoveFocus(Watched, true);
            return true;
        }
        default:
            return false;
        }
    }

    // Keys no item took: Return outside any item presses no button.
    void keyPressEvent(QKeyEvent* Event) override { Event->accept(); }

    // The window manager's close is Cancel.
    void closeEvent(QCloseEvent* Event) override
    {
        Event->accept();
        Form.WindowClosing();
    }
    void reject() override {}

    void showEvent(QShowEvent* Event) override
    {
        QDialog::showEvent(Event);
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter P(this);
        Form.Paint(P);
    }

    void mousePressEvent(QMouseEvent* Event) override
    {
        if (Event->button() == Qt::LeftButton)
            Form.Captured = Form.ImageAt(Event->position().toPoint());
    }
    void mouseReleaseEvent(QMouseEvent* Event) override
    {
        TNVItem* Captured = Form.Captured;
        Form.Captured = nullptr;
        if (Captured != nullptr && Form.ImageAt(Event->position().toPoint()) == Captured)
            Form.Fire(naItemEvent, Captured);
    }
    void mouseMoveEvent(QMouseEvent* Event) override
    {
        if (isEnabled() && Form.ImageAt(Event->position().toPoint()) != nullptr)
            setCursor(Qt::PointingHandCursor);
        else
            unsetCursor();
    }

private:
    TNVForm& Form;
};

// --- Item bodies -------------------------------------------------------------------

void TNVItem::Adopt(QWidget* W, const QRect& R, bool ATabStop, bool Visible)
{
    W->setObjectName(NVText(Desc.Name));
    W->setGeometry(R);
    W->setFocusPolicy(ATabStop ? Qt::StrongFocus : Qt::NoFocus);
    W->installEventFilter(Form.FWindow);
    FTabStop = ATabStop;
    FWindow = W;
    UpdateEnabled();
    W->setVisible(Visible);
    Bounds = {R.left(), R.top(), R.left() + R.width(), R.top() + R.height()};
    LaidOut = true;
}

void TNVButton::Connect(QAbstractButton* B)
{
    B->setText(NVText(Desc.ShownCaption()));
    QObject::connect(B, &QAbstractButton::clicked, B, [this] { Form.ItemClicked(*this); });
}

void TNVButton::Layout(const TLayoutContext& C, int X, int& Y)
{
    const QString Caption = NVText(Desc.ShownCaption());
    const TNVSize S =
        ButtonItemSize({C.Metrics.horizontalAdvance(Caption), C.Metrics.height()}, Desc.MinWidth);
    auto* B = new QPushButton(C.Window);
    Connect(B);
    Adopt(B, QRect(X, Y, S.Width, S.Height), true);
}

void TNVButton::PlaceNavigation(TNVFormWindow* Window, const TNVRect& R)
{
    QPushButton* B = Painted() ? new TNVPaintedButton(Index, Window) : new QPushButton(Window);
    Connect(B);
    Adopt(B, ToQRect(R), true, !Desc.Hidden);
}

void TNVLabel::Layout(const TLayoutContext& C, int X, int& Y)
{
    Y -= 2;
    auto* L = new TNVLabelWidget(C.Window);
    L->SetText(NVText(Desc.ShownCaption()));
    const QRect M = Measure(C);
    Adopt(L, QRect(X, Y, LabelWrapWidth(C.W), M.height()), false);
    Bounds.Right = X + M.width();
}

void TNVEdit::Layout(const TLayoutContext& C, int X, int& Y)
{
    const TNVSize S = EditItemSize(C.W, C.Metrics.height(), Desc.Lines);
    const QRect R(X + NVEditFrame, Y + NVEditFrame, S.Width, S.Height);
    QWidget* W;
    if (MultiLine()) {
        auto* M = new QPlainTextEdit(C.Window);
        M->setFrameShape(QFrame::NoFrame);
        M->setTabChangesFocus(true);
        M->document()->setDocumentMargin(1);
        M->setPlainText(ToWidgetText(Desc.Text));
        QObject::connect(M, &QPlainTextEdit::textChanged, M, [this] { Changed(); });
        W = M;
    } else {
        auto* L = new QLineEdit(C.Window);
        L->setFrame(false);
        L->setText(NVText(Desc.Text));
        QObject::connect(L, &QLineEdit::textChanged, L, [this] { Changed(); });
        W = L;
    }
    Adopt(W, R, true);
    UpdateColors();
    // The frame the form paints comes around it.
    Bounds = {X, Y, X + S.Width + 2 * NVEditFrame, Y + S.Height + 2 * NVEditFrame};
}

std::string TNVEdit::Text() const
{
    if (auto* L = qobject_cast<QLineEdit*>(FWindow.data()))
        return L->text().toStdString();
    if (auto* M = qobject_cast<QPlainTextEdit*>(FWindow.data()))
        return FromWidgetText(M->toPlainText());
    return Desc.Text;
}

void TNVEdit::SetText(std::string_view Value)
{
    Desc.Text = Value;
    if (auto* L = qobject_cast<QLineEdit*>(FWindow.data());
        L != nullptr && L->text() != NVText(Value)) {
        const QSignalBlocker Quiet(L);
        L->setText(NVText(Value));
    } else if (auto* M = qobject_cast<QPlainTextEdit*>(FWindow.data());
               M != nullptr && FromWidgetText(M->toPlainText()) != Value) {
        const QSignalBlocker Quiet(M);
        M->setPlainText(ToWidgetText(Value));
    }
    Form.Fire(naItemEvent, this);
    Form.Validate();
}

void TNVEdit::SetOptional(bool Value)
{
    Desc.Optional = Value;
    Form.Validate();
}

void TNVEdit::SetValid(bool Value)
{
    Desc.Invalid = !Value;
    UpdateColors();
    Form.Validate();
}

void TNVEdit::Changed()
{
    Form.Fire(naItemEvent, this);
    Form.Validate();
}

void TNVEdit::UpdateColors()
{
    if (FWindow == nullptr)
        return;
    QPalette P = FWindow->palette();
    const QColor Text = Desc.Plain     ? QColor(0, 0, 0)
                        : Desc.Invalid ? QColor(128, 0, 0)
                                       : QColor(0, 128, 0);
    P.setColor(QPalette::Text, Text);
    P.setColor(QPalette::Base, NVQColor(NVSysColors().Window));
    FWindow->setPalette(P);
}

void TNVEdit::Paint(QPainter& P)
{
    const TSysColors S = NVSysColors();
    const bool Focused = FWindow != nullptr && FWindow->hasFocus();
    const QRect B = ToQRect(Bounds);
    P.setPen(NVQColor(Focused ? S.BtnShadow : S.BtnFace));
    P.drawRect(B.adjusted(0, 0, -1, -1));
    P.setPen(NVQColor(Focused ? S.Window : NVHalfway(S.BtnFace, NVWhite)));
    P.drawRect(B.adjusted(1, 1, -2, -2));
}

void TNVCheckBox::Layout(const TLayoutContext& C, int X, int& Y)
{
    const QString Caption = NVText(Desc.ShownCaption());
    const TNVSize S = CheckBoxItemSize({C.Metrics.horizontalAdvance(Caption), C.Metrics.height()});
    auto* B = new TNVCheckBoxWidget(C.Window);
    B->setText(Caption);
    B->setChecked(Desc.Checked);
    QObject::connect(B, &QAbstractButton::clicked, B, [this] { Form.ItemClicked(*this); });
    Adopt(B, QRect(X, Y, S.Width, S.Height), true);
}

void TNVImage::Layout(const TLayoutContext& C, int X, int& Y)
{
    if (FBitmap == nullptr && !Desc.File.empty())
        FBitmap = NewNVBitmapFromFile(Desc.File);
    const int F = Frame();
    const TNVSize Picture =
        FBitmap != nullptr ? TNVSize{FBitmap->GetWidth(), FBitmap->GetHeight()} : TNVSize{};
    TNVSize Room = ImagePictureRoom(
        Desc.Width, Desc.Height, FBitmap != nullptr ? &Picture : nullptr, C.W, C.ScreenHeight, F);
    if (FBitmap != nullptr && !(Picture == Room)) {
        if (auto Zoomed = FBitmap->Zoom(Room.Width, Room.Height)) {
            FBitmap = Zoomed;
            Room = {FBitmap->GetWidth(), FBitmap->GetHeight()};
        }
    }
    Room.Width = std::max(Room.Width, 0);
    Room.Height = std::max(Room.Height, 0);
    Bounds = {X, Y, X + Room.Width + F, Y + Room.Height + F};
    LaidOut = true;
}

void TNVImage::SetBitmap(std::shared_ptr<INVBitmap> Value)
{
    if (LaidOut && Value != nullptr) {
        const int W = Bounds.Width() - Frame(), H = Bounds.Height() - Frame();
        if (Value->GetWidth() > W || Value->GetHeight() > H)
            if (auto Zoomed = Value->Zoom(W, H))
                Value = Zoomed;
    }
    FBitmap = std::move(Value);
    if (QWidget* W = Form.Window())
        W->update(ToQRect(Bounds));
}

void TNVImage::Paint(QPainter& P)
{
    const TSysColors S = NVSysColors();
    const QRect B = ToQRect(Bounds);
    P.fillRect(B, NVQColor(S.BtnFace));
    if (Desc.Border) {
        P.fillRect(B, NVQColor(NVHalfway(S.BtnFace, NVWhite)));
        P.fillRect(B.adjusted(2, 2, -2, -2), NVQColor(S.WindowText));
        P.fillRect(B.adjusted(3, 3, -3, -3), NVQColor(S.BtnFace));
    }
    if (FBitmap == nullptr)
        return;
    const int Half = Frame() / 2;
    P.save();
    P.setClipRect(B.adjusted(Half, Half, -Half, -Half));
    DrawNVBitmap(*FBitmap, P, B.left() + Half, B.top() + Half);
    P.restore();
}

// --- Form bodies ---------------------------------------------------------------------

INVAssistant* TNVForm::Assistant() const
{
    return &FAssistant;
}

QWidget* TNVForm::Window() const
{
    return FWindow;
}

void TNVForm::SetTitle(std::string_view Value)
{
    FTitle = Value;
    if (FWindow != nullptr)
        FWindow->setWindowTitle(NVText(FTitle));
}

void TNVForm::SetMessage(std::string_view Value)
{
    FMessage = Value;
    if (FWindow != nullptr)
        FWindow->update();
}

void TNVForm::Read(std::string_view Stream)
{
    const TNVFormRead R = ReadFormStream(Stream);
    FName = R.Form.Name;
    FMessage = R.Form.Message;
    FActiveControl = R.Form.ActiveControl;
    FMinWidth = R.Form.MinWidth;
    FTimer = R.Form.Timer;
    FOnAction = FindFormHandler(R.Form.OnAction);
    for (const TNVItemDesc& D : R.Form.Items) {
        const int Index = static_cast<int>(Items.size());
        switch (D.Kind) {
        case ikButton:
            Items.push_back(std::make_unique<TNVButton>(*this, D, Index));
            break;
        case ikLabel:
            Items.push_back(std::make_unique<TNVLabel>(*this, D, Index));
            break;
        case ikEdit:
            Items.push_back(std::make_unique<TNVEdit>(*this, D, Index));
            break;
        case ikCheckBox:
            Items.push_back(std::make_unique<TNVCheckBox>(*this, D, Index));
            break;
        case ikImage:
            Items.push_back(std::make_unique<TNVImage>(*this, D, Index));
            break;
        }
    }
    if (R.Stop == TFormStreamStop::fsUnknownTag) {
        QMessageBox Box(QMessageBox::NoIcon, QStringLiteral("kelExcept"), NVText(R.Problem),
                        QMessageBox::Ok);
        Box.exec();
    } else if (!R.Problem.empty() && !Stream.empty()) {
        std::fprintf(stderr, "kelExcept: assistant form %d of %d (%s): %s\n", FIndex, FCount,
                     FName.c_str(), R.Problem.c_str());
    }
    Fire(naFormRead, nullptr);
}

void TNVForm::Fire(std::uint8_t Action, INVItem* Item)
{
    if (FOnAction != nullptr)
        FOnAction(*this, Action, Item, FContext.get());
    if (TNVActionProc A = FAssistant.OnAction())
        A(*this, Action, Item, FContext.get());
}

void TNVForm::Validate()
{
    bool Valid = true;
    for (std::size_t I = FirstFormItem; I < Items.size(); ++I)
        Valid = Valid && Items[I]->IsValid();
    Items[nbNext]->SetBlocked(!Valid);
}

bool TNVForm::CancelEnabled() const
{
    const QWidget* W = Items[nbCancel]->Window();
    return W != nullptr && W->isEnabled();
}

TNVItem* TNVForm::NextInRing(int From, bool Forward) const
{
    const int N = ItemCount();
    for (int Step = 1; Step <= N; ++Step) {
        const int I = ((From + (Forward ? Step : -Step)) % N + N) % N;
        if (Items[static_cast<std::size_t>(I)]->CanTakeFocus())
            return Items[static_cast<std::size_t>(I)].get();
    }
    return nullptr;
}

void TNVForm::MoveFocus(QObject* From, bool Forward)
{
    const TNVItem* Current = ItemOf(From);
    if (TNVItem* To = NextInRing(Current != nullptr ? Current->Index : nbCancel, Forward))
        To->SetFocus();
}

TNVItem* TNVForm::ItemOf(QObject* Widget) const
{
    for (QObject* O = Widget; O != nullptr && O != FWindow; O = O->parent())
        for (const auto& I : Items)
            if (I->Window() != nullptr && I->Window() == O)
                return I.get();
    return nullptr;
}

TNVItem* TNVForm::ImageAt(const QPoint& Pos) const
{
    for (const auto& I : Items)
        if (I->Kind() == ikImage && I->Desc.Clickable && I->LaidOut &&
            ToQRect(I->Bounds).contains(Pos))
            return I.get();
    return nullptr;
}

void TNVForm::ItemClicked(TNVItem& Item)
{
    // A check box has toggled already.
    Fire(naItemEvent, &Item);
    if (Item.Kind() != ikButton || Item.Index >= FirstFormItem || FWindow == nullptr)
        return;
    FWindow->Timer.stop();
    FModalResult = static_cast<std::uint8_t>(Item.Index + 1);
    if (FModalResult == nmrNext)
        for (auto& I : Items)
            if (I->Kind() == ikEdit)
                static_cast<TNVEdit*>(I.get())->KeepText();
    Fire(naFormClose, nullptr);
    FWindow->Finish(FModalResult);
}

void TNVForm::WindowClosing()
{
    FWindow->Timer.stop();
    FModalResult = nmrCancel;
    Fire(naFormClose, nullptr);
    FWindow->Finish(FModalResult);
}

void TNVForm::Paint(QPainter& P)
{
    const TSysColors S = NVSysColors();
    P.fillRect(0, 0, FW, FH, NVQColor(NVLighter(S.BtnFace, {8, 8, 8})));
    const QRect Panel = ToQRect(FormPanel(FW, Items[nbNext]->Bounds.Top));
    P.fillRect(Panel, NVQColor(S.BtnFace));
    P.setBackgroundMode(Qt::OpaqueMode);
    P.setBackground(NVQColor(S.BtnFace));
    P.setPen(QPen(NVQColor(NVDarker(S.BtnFace, {16, 16, 16})), 1, Qt::DotLine));
    P.drawRect(Panel.adjusted(0, 0, -1, -1));
    P.drawRect(Panel.adjusted(1, 1, -2, -2));
    P.setBackgroundMode(Qt::TransparentMode);

    P.setFont(NVFont(nfHeading));
    DrawHaloText(P, QRect(11, 6, FW - 11, 20), Qt::AlignLeft | Qt::AlignTop, NVText(FMessage),
                 NVQColor(S.DkShadow));
    if (FCount > 1)
        for (int I = 1; I <= FCount; ++I) {
            const QRect Box = ToQRect(StepBox(FW, FCount, I));
            const QString Number = QString::number(I);
            if (I != FIndex) {
                P.setPen(NVQColor(S.BtnShadow));
                P.drawText(Box, Qt::AlignCenter, Number);
                continue;
            }
            P.fillRect(Box, NVQColor(S.BtnShadow));
            for (int Line = 0; Line < Box.height() - 2; ++Line) {
                P.setPen(NVQColor(StepBoxLine(S.Window, Line)));
                P.drawLine(Box.left() + 1, Box.top() + 1 + Line, Box.right() - 1,
                           Box.top() + 1 + Line);
            }
            DrawHaloText(P, Box, Qt::AlignCenter, Number, NVQColor(S.WindowText));
        }
    P.setFont(NVFont(nfItem));
    for (auto& I : Items)
        if (I->LaidOut)
            I->Paint(P);
}

void TNVForm::LayOut(TNVFormWindow& Window)
{
    const QFont ItemFont = NVFont(nfItem);
    const QFontMetrics ItemMetrics(ItemFont), CaptionMetrics(NVFont(nfCaption)),
        HeadingMetrics(NVFont(nfHeading));
    Window.setFont(ItemFont);
    Window.setObjectName(NVText(FName));
    Window.setWindowTitle(NVText(FTitle));

    TNVSize Nav[3];
    for (int B = nbNext; B <= nbCancel; ++B) {
        const TNVButton& Button = *this->Nav(B);
        const QFontMetrics& M = Button.Painted() ? CaptionMetrics : ItemMetrics;
        Nav[B] = NavButtonSize(Button.Painted(), M.horizontalAdvance(NVText(Button.Caption())),
                               Button.Desc.Hidden);
    }
    FW =
        FormClientWidth(Nav, FMinWidth, HeadingMetrics.horizontalAdvance(NVText(FMessage)), FCount);

    QScreen* Screen =
        Window.screen() != nullptr ? Window.screen() : QGuiApplication::primaryScreen();
    const QRect ScreenRect = Screen != nullptr ? Screen->geometry() : QRect(0, 0, 1024, 768);
    const TLayoutContext C{&Window, FW, ScreenRect.height(), ItemMetrics};
    std::vector<TNVGapItem> Gaps;
    for (std::size_t I = FirstFormItem; I < Items.size(); ++I) {
        const TNVItem& Item = *Items[I];
        const bool Caption =
            Item.Kind() == ikLabel && static_cast<const TNVLabel&>(Item).IsCaption(C);
        Gaps.push_back({Item.Kind(), Caption, Item.Desc.Spacing});
    }
    int Y = NVFirstItemTop;
    for (std::size_t I = FirstFormItem; I < Items.size(); ++I) {
        Items[I]->Layout(C, NVItemLeft, Y);
        Y = Items[I]->Bounds.Bottom + GapBelow(Gaps, I - FirstFormItem);
    }
    FH = FormClientHeight(Y, Nav[nbNext].Height);
    const TNVButtonRow Row =
        PlaceNavButtons(FW, FH, Nav, !this->Nav(nbNext)->Painted(), !this->Nav(nbCancel)->Painted(),
                        this->Nav(nbSkip)->Desc.Hidden);
    for (int B = nbNext; B <= nbCancel; ++B)
        this->Nav(B)->PlaceNavigation(&Window, Row.Buttons[B]);
    // The items' widgets in the ring's order, for the window system's own
    // focus moves (a click, the window coming back).
    QWidget* Previous = nullptr;
    for (auto& I : Items)
        if (QWidget* W = I->Window()) {
            if (Previous != nullptr)
                QWidget::setTabOrder(Previous, W);
            Previous = W;
        }

    Validate();
    TNVItem* First = nullptr;
    for (auto& I : Items)
        if (I->Desc.Name == FActiveControl && I->CanTakeFocus())
            First = I.get();
    if (First == nullptr)
        First = NextInRing(nbCancel, true);
    if (First != nullptr)
        First->SetFocus();

    Window.setFixedSize(FW, FH);
    Window.move(ScreenRect.center() - QPoint(FW / 2, FH / 2));
}

std::uint8_t TNVForm::ShowModal(QWidget* Parent)
{
    if (FSkipped)
        return FModalResult;
    FModalResult = nmrNone;
    auto* Window = new TNVFormWindow(*this, Parent);
    FWindow = Window;
    LayOut(*Window);
    Fire(naFormShow, nullptr);
    if (!FSkipped) {
        if (FTimer > 0)
            Window->Timer.start(FTimer);
        Window->exec();
    }
    Window->Timer.stop();
    for (auto& I : Items)
        I->WindowGone();
    Captured = nullptr;
    FWindow = nullptr;
    delete Window;
    if (Parent != nullptr)
        Parent->activateWindow();
    return FModalResult;
}

} // namespace

// --- Making assistants -----------------------------------------------------------------

std::shared_ptr<INVAssistant> NewAssistant(std::string_view Title,
                                           const std::vector<std::string>& FormStreams,
                                           std::shared_ptr<INVContext> Context)
{
    auto A = std::make_shared<TNVAssistant>(Title, Context);
    const int Count = static_cast<int>(FormStreams.size());
    for (int I = 0; I < Count; ++I) {
        A->Forms.push_back(std::make_unique<TNVForm>(*A, Count, I + 1, Context, Title));
        A->Forms.back()->Read(FormStreams[static_cast<std::size_t>(I)]);
    }
    return A;
}

std::shared_ptr<INVAssistant> LoadAssistantRes(HModule Module, std::string_view Title,
                                               const std::vector<std::string>& FormNames,
                                               std::shared_ptr<INVContext> Context)
{
    std::vector<std::string> Streams;
    for (const std::string& Name : FormNames) {
        const std::string Section = "TKE" + UpStrA(Name);
        Streams.push_back(LoadResourceStr(Module, 10, Section));
        if (Streams.back().empty())
            std::fprintf(stderr, "kelExcept: no assistant form \"%s\" (section .rsrc.10.%s)\n",
                         Name.c_str(), Section.c_str());
    }
    return NewAssistant(Title, Streams, std::move(Context));
}

void SetBuiltInFormHandlers(TNVActionProc ContactForm, TNVActionProc ScreenshotForm)
{
    BuiltInContactForm = ContactForm;
    BuiltInScreenshotForm = ScreenshotForm;
}

TNVActionProc FindFormHandler(std::string_view Name)
{
    if (IsTextEqualA(Name, "kelExcept.HandleContactForm"))
        return BuiltInContactForm;
    if (IsTextEqualA(Name, "kelExcept.HandleScreenshotForm"))
        return BuiltInScreenshotForm;
    return nullptr;
}
