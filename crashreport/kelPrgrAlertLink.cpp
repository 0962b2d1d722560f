#include "crashreport/kelPrgrAlertLink.h"

#include "crashreport/kelExceptLink.h"

#include <atomic>

IProgressAlert::~IProgressAlert() = default;

// --- Areas ------------------------------------------------------------------------------

void TProgressAreas::Add(std::string_view Text, std::int64_t Weight)
{
    TArea A;
    A.Start = Total;
    A.Weight = Weight;
    A.Text = Text.empty() && !List.empty() ? List.back().Text : std::string(Text);
    List.push_back(std::move(A));
    Total += Weight;
}

void TProgressAreas::Clear()
{
    List.clear();
    Total = 0;
    CurrentArea = 0;
}

bool TProgressAreas::SetArea(int Index)
{
    const int Count = static_cast<int>(List.size());
    if (Index == CurrentArea || Index < 0 || Index > Count)
        return false;
    if (Index == Count) {
        CurrentArea = Count - 1;
        Position = 1000;
    } else {
        CurrentArea = Index;
        Position = 0;
    }
    return true;
}

int TProgressAreas::Bar() const
{
    if (Total <= 0 || CurrentArea < 0 || CurrentArea >= static_cast<int>(List.size()))
        return Position;
    const TArea& A = List[static_cast<std::size_t>(CurrentArea)];
    return static_cast<int>((A.Start + A.Weight * Position / 1000) * 1000 / Total);
}

std::string TProgressAreas::CurrentText() const
{
    if (CurrentArea < 0 || CurrentArea >= static_cast<int>(List.size()))
        return {};
    return List[static_cast<std::size_t>(CurrentArea)].Text;
}

// --- The alert over the link --------------------------------------------------------------

namespace {

std::atomic<std::uint32_t> NextAlertNumber{1};

class TLinkProgressAlert final : public IProgressAlert {
public:
    TLinkProgressAlert(std::shared_ptr<TExceptLink> ALink, std::string_view ATitle,
                       std::string_view Picture)
        : Link(std::move(ALink)), Number(NextAlertNumber++), Title(ATitle)
    {
        Link->Send(TAlertNewFrame{Number, Title, std::string(Picture)});
    }
    ~TLinkProgressAlert() override { Link->Send(TAlertReleaseFrame{Number}); }

    std::string GetTitle() const override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Title;
    }
    void SetTitle(std::string_view ATitle) override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Title == ATitle)
            return;
        Title = ATitle;
        Link->Send(TAlertSetTitleFrame{Number, Title});
    }
    int GetPosition() const override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Areas.GetPosition();
    }
    void SetPosition(int Position) override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Areas.SetPosition(Position);
        Link->Send(TAlertSetPositionFrame{Number, Position});
    }
    void AddArea(std::string_view Text, std::int64_t Weight) override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Areas.Add(Text, Weight);
        Link->Send(TAlertAddAreaFrame{Number, std::string(Text), Weight});
    }
    void Clear() override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Areas.Clear();
        Link->Send(TAlertClearFrame{Number});
    }
    void NextArea() override { SetArea(GetArea() + 1); }
    int GetArea() const override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Areas.Current();
    }
    void SetArea(int Index) override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Areas.SetArea(Index))
            Link->Send(TAlertSetAreaFrame{Number, Index});
    }
    // The window's events are the helper's to handle.
    void ProcessMessages() override {}
    bool Show(bool Centred) override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (Shown)
            return false;
        if (Areas.Areas().empty())
            Areas.Add(PleaseWaitText, 1000);
        Shown = Link->Send(TAlertShowFrame{Number, Centred});
        return Shown;
    }
    void Close() override
    {
        std::lock_guard<std::mutex> Guard(Lock);
        if (!Shown)
            return;
        Shown = false;
        Link->Send(TAlertCloseFrame{Number});
    }

private:
    const std::shared_ptr<TExceptLink> Link;
    const std::uint32_t Number;
    mutable std::mutex Lock;
    std::string Title;
    TProgressAreas Areas;
    bool Shown = false;
};

} // namespace

std::shared_ptr<IProgressAlert> NewLinkProgressAlert(const std::shared_ptr<TExceptLink>& Link,
                                                     std::string_view Title,
                                                     std::string_view Picture)
{
    if (!Link)
        return nullptr;
    return std::make_shared<TLinkProgressAlert>(Link, Title, Picture);
}
