// The progress alert: a small "please wait" window with a status line, a
// progress bar and an optional 32 x 32 picture, shown while a report is
// calculated or sent.
//
// Work is divided into weighted areas; callers move a position from 0 to 1000
// within the current area, and the bar shows the overall progress. The window
// itself lives in the helper program (crashreport/helper/kelNVPrgrAlert); the
// program reaches it through the link (NewLinkProgressAlert), which mirrors
// the areas and the position so that its readers answer at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class TExceptLink;

class IProgressAlert {
public:
    virtual ~IProgressAlert();

    virtual std::string GetTitle() const = 0;
    // Sets the window's caption when the title differs (a window shown later
    // gets it then).
    virtual void SetTitle(std::string_view Title) = 0;
    virtual int GetPosition() const = 0;
    // The position 0..1000 within the current area; any thread may call it.
    virtual void SetPosition(int Position) = 0;
    // Appends an area; an empty text on any area but the first takes the
    // previous area's.
    virtual void AddArea(std::string_view Text, std::int64_t Weight) = 0;
    virtual void Clear() = 0;
    virtual void NextArea() = 0;
    virtual int GetArea() const = 0;
    // Makes area Index current at position 0; the number of areas means "all
    // done" (the last area at 1000). Other indexes are ignored.
    virtual void SetArea(int Index) = 0;
    // On the window's thread, handles the window's waiting events.
    virtual void ProcessMessages() = 0;
    // Shows the window, centred or stacked at the bottom right of the work
    // area; false when it is shown already.
    virtual bool Show(bool Centred) = 0;
    virtual void Close() = 0;
};

// The areas and the position, and the bar they give.
class TProgressAreas {
public:
    struct TArea {
        std::int64_t Start = 0; // the weights of all earlier areas
        std::int64_t Weight = 0;
        std::string Text;
    };

    void Add(std::string_view Text, std::int64_t Weight);
    void Clear();
    // As IProgressAlert::SetArea; false when ignored.
    bool SetArea(int Index);
    void SetPosition(int P) { Position = P; }

    // The bar, 0..1000: the current area's share of the total weight moved
    // by the position (64-bit), or the position itself without weights.
    int Bar() const;
    int Current() const { return CurrentArea; }
    int GetPosition() const { return Position; }
    const std::vector<TArea>& Areas() const { return List; }
    std::int64_t TotalWeight() const { return Total; }
    // The current area's text; empty without areas.
    std::string CurrentText() const;

private:
    std::vector<TArea> List;
    std::int64_t Total = 0;
    int CurrentArea = 0;
    int Position = 0;
};

// The text of the only area of an alert shown without areas.
inline constexpr std::string_view PleaseWaitText = "Please wait...";

// An alert whose window the helper shows: each call is sent as a frame
// (lfAlertNew and on), each reader answers from the copy kept here. Alerts
// made from the same link are told apart by numbers of their own.
std::shared_ptr<IProgressAlert> NewLinkProgressAlert(const std::shared_ptr<TExceptLink>& Link,
                                                     std::string_view Title,
                                                     std::string_view Picture);
