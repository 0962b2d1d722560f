// The report's actions from the program's side: each asks the helper over
// the link and waits for the answer to its request number. The caller is
// the link's one reader while it waits: frames that are not the answer are
// dropped. Without an answer (no helper, the link closed, the time up) the
// result is empty; the program then saves by itself (SaveReportToFile of
// crashreport/kelExceptSave.h) and goes without the rest.
#pragma once

#include "crashreport/kelExceptLink.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A new request number (never 0) for this process.
std::uint32_t NewRequestNumber();

// The answer of type T to request Request, read within Timeout.
template <class T>
std::optional<T> AwaitAnswer(TExceptLink& Link, std::uint32_t Request,
                             std::chrono::milliseconds Timeout)
{
    const auto End = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            End - std::chrono::steady_clock::now());
        TLinkFrame F;
        if (Left.count() <= 0 || Link.Receive(F, Left) != TLinkRead::lrFrame)
            return std::nullopt;
        T Answer;
        if (DecodeFrame(F, Answer) && Answer.Request == Request)
            return Answer;
    }
}

// A user's dialog may stay open for long; a wait without one is short.
inline constexpr std::chrono::milliseconds DialogWait = std::chrono::hours(4);
inline constexpr std::chrono::milliseconds WorkWait = std::chrono::minutes(2);

// Saves into the configured file, or (Ask) where the save dialog says.
std::optional<TSaveDoneFrame> SaveViaHelper(TExceptLink& Link, std::string_view Report, bool Ask);
// Prints after the printer dialog; true when printed.
std::optional<bool> PrintViaHelper(TExceptLink& Link, std::string_view Report);
// Sends with the report's settings (a settings stream) and the screenshot of
// a screenshot request (0: none); in the background the answer is
// soInBackground at once.
std::optional<TSendOutcome> SendViaHelper(TExceptLink& Link, std::string_view Report,
                                          std::uint32_t ScreenShotRequest, bool Automatic,
                                          bool Background, std::string_view SettingsStream);
