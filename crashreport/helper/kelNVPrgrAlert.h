// The progress alert's window (crashreport/kelPrgrAlertLink.h holds the
// interface and the areas): a small tool window that stays on top and cannot
// be closed by the user, with a status line, a progress bar running 0..1000
// and an optional 32 x 32 picture from the helper's own bitmap sections.
//
// Its size follows the texts of every area still to come, so that it does
// not grow while the work goes on. Shown centred, or at the bottom right of
// the work area, where alerts of every process stack in eight places: place N
// is held by an exclusive lock on the file "progress-slot-N" of the crash
// reporter's runtime folder, which the system frees when the process ends.
// When all eight are held, an alert takes place 0's spot.
//
// The window lives on the application's thread; SetPosition from any other
// thread is queued to it, and the other calls are carried out there.
#pragma once

#include "crashreport/kelPrgrAlertLink.h"

#include <QColor>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <mutex>
#include <string>

class QLabel;
class QPainter;
class QProgressBar;

// Draws a bitmap resource (the 40-byte header of a 32-bit picture, then its
// pixels with alpha) of Size x Size pixels at (0, 0), each pixel blended over
// Background by the weight alpha + 1. False, and nothing drawn, when the
// resource is not exactly such a picture.
bool DrawAlphaBitmapRes(const std::string& Resource, QPainter& Painter, int Size,
                        QColor Background);
// The bitmap resource Name of the running program file; empty when missing.
std::string LoadBitmapRes(const std::string& Name);

// The eight screen places of the stacked alerts.
inline constexpr int ProgressSlotCount = 8;

class TIProgressAlert final : public IProgressAlert {
public:
    TIProgressAlert(std::string_view ATitle, std::string_view APicture);
    ~TIProgressAlert() override;
    TIProgressAlert(const TIProgressAlert&) = delete;
    TIProgressAlert& operator=(const TIProgressAlert&) = delete;

    std::string GetTitle() const override;
    void SetTitle(std::string_view Title) override;
    int GetPosition() const override;
    void SetPosition(int Position) override;
    void AddArea(std::string_view Text, std::int64_t Weight) override;
    void Clear() override;
    void NextArea() override;
    int GetArea() const override;
    void SetArea(int Index) override;
    void ProcessMessages() override;
    bool Show(bool Centred) override { return Show(nullptr, Centred); }
    // Shows the window, disabling Owner (when given) until it closes.
    bool Show(QWidget* Owner, bool Centred);
    void Close() override;

    // The window while it is shown; null otherwise.
    QWidget* Window() const;
    // The screen place it holds, or -1 (centred, or all eight taken).
    int Slot() const;

private:
    // Runs Fn on the window's thread: at once there, else waiting for it.
    template <class F> void OnWindowThread(F&& Fn);
    bool ShowHere(QWidget* Owner, bool Centred);
    void CloseHere();
    void ShowBar();
    void Place(bool Centred);

    mutable std::recursive_mutex Lock;
    std::string Title;
    const std::string Picture;
    TProgressAreas Areas;
    QPointer<QWidget> Window_;
    QPointer<QLabel> StatusLine;
    QPointer<QProgressBar> Bar;
    QPointer<QWidget> Owner_;
    int SlotFd = -1;
    int SlotNumber = -1;
};

// A new alert with its title and the name of its picture ("KEIPLWAIT",
// "KEISEND32", or empty for none); nothing is shown yet.
std::shared_ptr<TIProgressAlert> NewProgressAlert(std::string_view Title, std::string_view Picture);
