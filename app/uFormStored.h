// The base of the main window: creating it loads the program's options
// before any of the window's own parts exist, the window opens where it was
// closed, its caption names the product and version, and destroying it
// stores its placement and writes the options file.
#pragma once

#include <QMainWindow>

class TFormStored : public QMainWindow {
    Q_OBJECT
public:
    explicit TFormStored(QWidget* Parent = nullptr);
    // Runs after the derived window's own destruction: the placement goes
    // into the option globals, then every option into the options file.
    ~TFormStored() override;

    // Caption and application name: product name and short version, and
    // the build flags' text when there is one.
    void UpdateCaption();

    void setVisible(bool Visible) override;

protected:
    bool event(QEvent* Event) override;
    // Applies the stored placement; runs once, before the window is first
    // shown (the window's own layout has set its designed size by then).
    virtual void CreateParams();
    // The first activation sets the caption.
    virtual void Activate();

private:
    bool FFirstActivation = true;
    bool FCreated = false;
};

// The window state as the options store it: 0 normal, 1 minimized,
// 2 maximized.
int WindowStateValue(const QWidget& Window);
