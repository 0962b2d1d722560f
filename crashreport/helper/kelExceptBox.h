// The exception box: tells the user that the program met an exception (or
// that its main thread froze) and offers what to do about it: send, save or
// print the bug report, show it, continue, restart or close the program.
//
// The box runs in the helper; what it shows comes from the helper's mirror of
// the exception (its settings and the report's fields and sections as the
// program sends them). What the user chooses goes back through the callbacks:
// handler rounds and actions to the program, the verdict at the end.
#pragma once

#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptViewerText.h"

#include <QDialog>
#include <QPushButton>
#include <QRect>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QTabWidget;
class QTimer;

// The buttons by their ids (the id also names the button's objectName).
enum TBoxButton : std::uint8_t {
    bbSend = 0,
    bbSave = 1,
    bbPrint = 2,
    bbShow = 3,
    bbContinue = 4,
    bbRestart = 5,
    bbClose = 6,
};
inline constexpr int BoxButtonCount = 7;
// "send", "save", "print", "show", "continue", "restart", "close".
const char* BoxButtonName(int Id);

// The box's message: when it holds no line break, every ". " whose blank
// stands after the 21st character and before the 10th from the end becomes
// a line break after the full stop.
std::string BreakBoxMessage(std::string_view Message);

// What the box is told of the exception.
struct TBoxFacts {
    bool Frozen = false;
    bool CanContinue = true;
    bool Simple = false;        // the simple box: OK (and Details) only
    bool SimpleDetails = false; // the Details button in the simple box
};

// The box's buttons as its settings make them.
struct TBoxLayout {
    bool Visible[BoxButtonCount] = {};
    bool Enabled[BoxButtonCount] = {};
    std::string Caption[BoxButtonCount];
    bool CantContinue = false; // the continue button shows the "cantContinue" icon
    int Default = -1;          // the default button's id
    int Automatic = -1;        // the button the countdown presses
};
TBoxLayout MakeBoxLayout(const IKESettings& Settings, const TBoxFacts& Facts);

// What closing the window does (Escape, the window's close button): the
// button whose action runs, or none, and the box stays.
std::optional<TBoxButton> BoxCloseChoice(const TBoxLayout& Layout, const IKESettings& Settings,
                                         const TBoxFacts& Facts);

// The countdown mark across the automatic button: its position in pixels
// after ElapsedMs of DelaySeconds, over a button Width wide (with UglyBtns
// over the width less 11, from 5 on).
int CountdownMark(std::int64_t ElapsedMs, int Width, int DelaySeconds, bool Ugly);

// Where the box's parts stand, in client pixels. Buttons of one group stand
// side by side: send, save, print and show from the left (x 6), continue,
// restart and close at the right edge; the simple box's OK (and Details, 2
// pixels apart) centred. The client is at least 664 pixels wide and as wide
// as both groups need (with 8 pixels between them), but no wider than
// MaxClientWidth allows: then the right group goes on a second row.
struct TBoxGeometryInput {
    int Widths[BoxButtonCount] = {}; // the shown buttons' widths; 0: not shown
    int ButtonHeight = 22;
    bool Simple = false;
    bool Picture = false;   // the big picture stands at the top left
    int MaxClientWidth = 0; // 0: no limit
    int MaxMessageHeight = 0;
    // The message's height when it wraps at Width.
    std::function<int(int Width)> MessageHeight;
};
struct TBoxGeometry {
    int ClientWidth = 0;
    QRect Picture; // empty without it
    QRect Message;
    QRect Buttons[BoxButtonCount]; // empty for buttons not shown
    int Rows = 0;
    int ButtonsBottom = 0; // the lower edge of the last row
    int ClientHeight = 0;  // without the details
};
TBoxGeometry BoxGeometry(const TBoxGeometryInput& In, int ClientWidth = 0);
// The room of the details' tabs in a client of that size.
QRect DetailsRect(const TBoxGeometry& G, int ClientWidth, int ClientHeight);
inline constexpr int DetailsHeight = 491;

// One section of the report as the box shows it.
struct TBoxSection {
    std::string Name;
    bool Thread = false;
    std::string Text;
};

// A button of the box, painted flat with its icon (or as the style's push
// button with "UglyBtns").
class TBoxPushButton final : public QPushButton {
    Q_OBJECT
public:
    TBoxPushButton(int Id, bool Ugly, QWidget* Parent);
    // The countdown mark's position; negative: none.
    void SetMark(int Position);
    int Mark() const { return FMark; }
    // The press fade's step (8 when none runs); for tests.
    int FadeStep() const { return FFade; }
    void SetIcon(const QImage& Icon) { FIcon = Icon; }
    bool HasIcon() const { return !FIcon.isNull(); }
    // The caption's width in the box's font and the icon's room.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;

private:
    int FId;
    bool FUgly;
    int FMark = -1;
    int FPointerX = -1;
    int FFade = 8;
    QImage FIcon;
};

class TExceptBox final : public QDialog {
    Q_OBJECT
public:
    // Runs the handlers of a kind for a code in the program; true when they
    // claimed it.
    using TFireHandlers = std::function<bool(std::uint8_t Kind, std::uint8_t Code)>;
    // Send, save or print, asked for by the user.
    using TAction = std::function<void(TBoxButton Button)>;

    TExceptBox(IKESettings& Settings, const TBoxFacts& Facts, QWidget* Parent = nullptr);
    ~TExceptBox() override;

    TFireHandlers FireHandlers;
    TAction Action;
    // The user's choice (continue, restart, close); set when the box closes
    // because of it.
    std::optional<TBoxButton> Verdict() const { return FVerdict; }

    // The report as it stands; the tabs follow it.
    void SetReport(std::vector<TViewerField> Header, std::vector<TBoxSection> Sections);
    void SetFullReport(std::string Text) { FFullReport = std::move(Text); }
    // Shows the details (the program asked, or the show button).
    void ShowDetails();
    bool DetailsShown() const { return FDetails != nullptr; }
    // Closes the box without a verdict (the program asked).
    void CloseBox();
    // Runs a button's action as a click does.
    void Press(TBoxButton Button);

    const TBoxLayout& Layout() const { return FLayout; }
    QTabWidget* Details() const { return FDetails; }
    TBoxPushButton* Button(TBoxButton Id) const { return FButtons[Id]; }
    QString MessageText() const;
    // Starts the automatic action's countdown at Start (a steady clock in ms).
    void StartCountdown(std::int64_t StartMs);

    // Where the parts stand now.
    const TBoxGeometry& Geometry() const { return FGeometry; }
    bool HasPicture() const { return FPicture != nullptr; }
    // Whether the user can resize it (with the details from the start).
    bool Resizable() const { return FResizable; }

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void reject() override;
    void showEvent(QShowEvent* Event) override;

private:
    void FillTabs();
    void ShowTab(int Index);
    void Tick();
    void CopyToClipboard();
    void Choose(TBoxButton Button);
    // Places the parts for a client that wide.
    void Place(int ClientWidth);
    TBoxGeometryInput GeometryInput() const;
    void SetSize(int Width, int Height);

    IKESettings& FSettings;
    TBoxFacts FFacts;
    TBoxLayout FLayout;
    QLabel* FMessage = nullptr;
    QLabel* FPicture = nullptr;
    TBoxGeometry FGeometry;
    TBoxPushButton* FButtons[BoxButtonCount] = {};
    QTabWidget* FDetails = nullptr;
    QTimer* FTimer = nullptr;
    std::int64_t FCountdownStart = -1;
    std::vector<TViewerField> FHeader;
    std::vector<TBoxSection> FSections;
    std::string FFullReport;
    std::optional<TBoxButton> FVerdict;
    bool FClosing = false;
    bool FResizable = false;
};
