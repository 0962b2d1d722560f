#include "crashreport/kelExceptActions.h"

#include <atomic>

std::uint32_t NewRequestNumber()
{
    static std::atomic<std::uint32_t> Next{1};
    std::uint32_t N = Next.fetch_add(1);
    return N != 0 ? N : Next.fetch_add(1);
}

std::optional<TSaveDoneFrame> SaveViaHelper(TExceptLink& Link, std::string_view Report, bool Ask)
{
    const std::uint32_t N = NewRequestNumber();
    if (!Link.Send(TSaveRequestFrame{N, std::string(Report), Ask}))
        return std::nullopt;
    return AwaitAnswer<TSaveDoneFrame>(Link, N, Ask ? DialogWait : WorkWait);
}

std::optional<bool> PrintViaHelper(TExceptLink& Link, std::string_view Report)
{
    const std::uint32_t N = NewRequestNumber();
    if (!Link.Send(TPrintRequestFrame{N, std::string(Report)}))
        return std::nullopt;
    const auto Done = AwaitAnswer<TPrintDoneFrame>(Link, N, DialogWait);
    return Done ? std::optional<bool>(Done->Printed) : std::nullopt;
}

std::optional<TSendOutcome> SendViaHelper(TExceptLink& Link, std::string_view Report,
                                          std::uint32_t ScreenShotRequest, bool Automatic,
                                          bool Background, std::string_view SettingsStream)
{
    const std::uint32_t N = NewRequestNumber();
    if (!Link.Send(TSendRequestFrame{N, std::string(Report), ScreenShotRequest, Automatic,
                                     Background, std::string(SettingsStream)}))
        return std::nullopt;
    // A send by the user may wait for a mail program and a message box.
    const auto Done = AwaitAnswer<TSendDoneFrame>(Link, N, DialogWait);
    if (!Done || Done->Outcome > soInBackground)
        return std::nullopt;
    return static_cast<TSendOutcome>(Done->Outcome);
}
