// The link between the program and its crash report helper program
// (tolvex-crashreport): one stream socket pair, both ends of it here.
//
// Every window of the crash reporter, the screenshots and (later) sending,
// saving and printing run in the helper, because a crashed process's heap, Qt
// state and display connection cannot be trusted. The program starts the
// helper with its end of the pair as descriptor 3 and talks to it in frames.
//
// A frame on the wire, little-endian:
//
//   u32  body length: 2 + the length of the fields (2 .. MaxFrameBody)
//   u16  frame type
//   ...  fields: fixed-width integers (u8, u16, u32, i32, i64, u64) and
//        texts and byte strings as u32 length + bytes (UTF-8 for texts)
//
// Each side trusts nothing it reads: a length beyond MaxFrameBody, a stream
// that ends inside a frame, or a frame of a known type whose fields do not
// decode exactly (too short, a length past the end, bytes left over) is a
// malformed frame, and a malformed frame closes the link. A frame of a type
// the reader does not know is skipped, so that either side may be newer.
//
// Frame types. Numbers are never reused; new frames take the next free number
// of their range. Fields in order ("text" = u32 length + UTF-8):
//
//   Session (1..15)
//     1  Hello            u32 version (LinkVersion), u32 process id,
//                         text program file. Each side sends it first; a
//                         version it does not speak makes the receiver close.
//   Settings (16..31)
//     16 Settings         text: the settings stream, in the layout of the
//                         program's settings section (passwords enciphered
//                         as there), of every value the program holds now.
//   Progress alert (32..63), the program's windows shown by the helper; an
//   alert is named by a number the program picks; frames for a number the
//   helper does not know (or no longer knows) are ignored.
//     32 AlertNew         u32 alert, text title, text picture name
//     33 AlertShow        u32 alert, u8 centred (1) or bottom right (0)
//     34 AlertSetTitle    u32 alert, text title
//     35 AlertAddArea     u32 alert, text, i64 weight
//     36 AlertClear       u32 alert
//     37 AlertSetArea     u32 alert, i32 area index
//     38 AlertSetPosition u32 alert, i32 position (0..1000)
//     39 AlertClose       u32 alert (hides it; it may be shown again)
//     40 AlertRelease     u32 alert (the program drops it: closed, forgotten)
//   Screenshots (64..79), taken and kept by the helper:
//     64 ScreenShotRequest u32 request, u8 application windows only,
//                          u32 process id whose windows count as the program's
//     65 ScreenShotTaken  u32 request, u8 taken, u32 width, u32 height,
//                         text why not ("screenshot: not available ...")
//   The exception box and the report (80..127). A report is named by a
//   number the program picks; the helper mirrors it from ReportBegin on.
//   Program to helper:
//     80 ReportBegin      u32 report, u8 kind (0 exception, 1 frozen main
//                         thread, 2 notification), text class, text
//                         message, u8 can continue, u8 source, u32 process id,
//                         text executable, text command line, text folder,
//                         u32 exception number, u8 simple box, u8 details
//                         button in the simple box, text the settings stream
//                         of this event
//     81 ReportField      u32 report, text name, text value (a header field)
//     82 ReportSection    u32 report, u8 thread section, text name, text text
//     83 ReportComplete   u32 report, text the whole report
//     84 ShowDetails      u32 report
//     85 CloseBox         u32 report
//     86 HandlersAnswer   u32 report, u32 request, u8 handled
//     87 BoxOwner         u32 report, u64 the program's main window (an X11
//                         window id; 0: none), u8 beep; sent before the
//                         report's ReportBegin, which it is kept for
//   Helper to program:
//     96 DisplayMode      u32 report, u32 width, u32 height, u32 bits/pixel
//     97 FireHandlers     u32 report, u32 request, u8 kind, u8 code; answered
//                         by HandlersAnswer with the same request
//     98 Verdict          u32 report, u8 verdict (TBoxVerdict)
//   Frames of the report (other than ReportBegin) for a report the helper
//   does not mirror, or answers to a request not asked, are malformed.
//   The assistants (128..159), helper to program:
//     128 AssistantOutput u32 report, text name, u8 own section, text text
//     129 SettingChanged  u32 report, text key, text value
//     130 AttachScreenShot u32 report, u8 attach
//   Saving, printing, sending and restarting (160..191), each request named
//   by a number the program picks and answered once:
//     160 SaveRequest     u32 request, text report, u8 ask (the save dialog)
//     161 SaveDone        u32 request, u8 saved, text file
//     162 PrintRequest    u32 request, text report
//     163 PrintDone       u32 request, u8 printed
//     164 SendRequest     u32 request, text report, u32 screenshot request
//                         (0: none), u8 automatic, u8 in the background,
//                         text the report's settings stream
//     165 SendDone        u32 request, u8 outcome (0 failed, 1 sent,
//                         2 cancelled, 3 going on in the background)
//     166 RestartRequest  u32 request, u32 count, count x i64 the last
//                         exception times (at most 10)
//     167 RestartReady    u32 request, u8 ready (the helper will start the
//                         program again once this process has ended)
//     168 ClipRequest     u32 request, text report (for the clipboard)
//     169 ClipDone        u32 request, u8 copied
//   The settings of save and print are those of the last Settings frame.
//   Last words (192..207), program to helper on a second socket pair of their
//   own (the helper's descriptor 4), written by a fatal-signal handler in one
//   write() so that the helper has something to show even when the report
//   never comes:
//     192 LastWords       u32 process id, u32 thread id, u32 signal, i32 code,
//                         u64 fault address, 18 x u64 the registers (rax,
//                         rbx, rcx, rdx, rsi, rdi, rbp, rsp, r8..r15, rip,
//                         eflags), u64 the stack's address, bytes the stack
//                         from there (at most LastWordsStack bytes)
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <type_traits>
#include <vector>

// The descriptor on which the helper finds the last words' socket.
inline constexpr int HelperLastWordsFd = 4;
// The most stack bytes last words carry.
inline constexpr std::uint32_t LastWordsStack = 4096;

// The largest frame body (type and fields) either side sends or accepts.
inline constexpr std::uint32_t MaxFrameBody = 16u << 20;
// The link's version, as Hello carries it.
inline constexpr std::uint32_t LinkVersion = 1;
// The descriptor on which the helper finds its end of the link.
inline constexpr int HelperLinkFd = 3;

enum TLinkFrameType : std::uint16_t {
    lfHello = 1,
    lfSettings = 16,
    lfAlertNew = 32,
    lfAlertShow = 33,
    lfAlertSetTitle = 34,
    lfAlertAddArea = 35,
    lfAlertClear = 36,
    lfAlertSetArea = 37,
    lfAlertSetPosition = 38,
    lfAlertClose = 39,
    lfAlertRelease = 40,
    lfScreenShotRequest = 64,
    lfScreenShotTaken = 65,
    lfReportBegin = 80,
    lfReportField = 81,
    lfReportSection = 82,
    lfReportComplete = 83,
    lfShowDetails = 84,
    lfCloseBox = 85,
    lfHandlersAnswer = 86,
    lfBoxOwner = 87,
    lfDisplayMode = 96,
    lfFireHandlers = 97,
    lfVerdict = 98,
    lfAssistantOutput = 128,
    lfSettingChanged = 129,
    lfAttachScreenShot = 130,
    lfSaveRequest = 160,
    lfSaveDone = 161,
    lfPrintRequest = 162,
    lfPrintDone = 163,
    lfSendRequest = 164,
    lfSendDone = 165,
    lfRestartRequest = 166,
    lfRestartReady = 167,
    lfClipRequest = 168,
    lfClipDone = 169,
    lfLastWords = 192,
};

// What the user chose in the box.
enum TBoxVerdict : std::uint8_t { bvContinue = 0, bvRestart = 1, bvClose = 2 };

struct TLinkFrame {
    std::uint16_t Type = 0;
    std::string Fields;
};

// The frame as it goes on the wire; empty when its body would be too long.
std::string FrameBytes(const TLinkFrame& Frame);

// Writes the fields of a frame.
class TFrameWriter {
public:
    bool operator()(std::uint8_t V) { return Put(V, 1); }
    bool operator()(std::uint16_t V) { return Put(V, 2); }
    bool operator()(std::uint32_t V) { return Put(V, 4); }
    bool operator()(std::int32_t V) { return Put(static_cast<std::uint32_t>(V), 4); }
    bool operator()(std::uint64_t V) { return Put(V, 8); }
    bool operator()(std::int64_t V) { return Put(static_cast<std::uint64_t>(V), 8); }
    bool operator()(bool V) { return Put(V ? 1 : 0, 1); }
    bool operator()(const std::string& V);

    std::string Fields;

private:
    bool Put(std::uint64_t V, int Bytes);
};

// Reads the fields of a frame; every read checks the bytes left and fails
// (for good: later reads fail too) when they do not hold the field.
class TFrameReader {
public:
    explicit TFrameReader(std::string_view AFields) : Bytes(AFields) {}
    bool operator()(std::uint8_t& V) { return Get(V); }
    bool operator()(std::uint16_t& V) { return Get(V); }
    bool operator()(std::uint32_t& V) { return Get(V); }
    bool operator()(std::int32_t& V) { return Get(V); }
    bool operator()(std::uint64_t& V) { return Get(V); }
    bool operator()(std::int64_t& V) { return Get(V); }
    bool operator()(bool& V);
    bool operator()(std::string& V);

    // True when every read succeeded and every byte was read.
    bool Complete() const { return !Failed && At == Bytes.size(); }

private:
    template <class T> bool Get(T& V);

    std::string_view Bytes;
    std::size_t At = 0;
    bool Failed = false;
};

template <class T> inline bool TFrameReader::Get(T& V)
{
    if (Failed || Bytes.size() - At < sizeof(T)) {
        Failed = true;
        return false;
    }
    std::uint64_t Value = 0;
    for (std::size_t I = 0; I < sizeof(T); ++I)
        Value |= std::uint64_t{static_cast<std::uint8_t>(Bytes[At + I])} << (8 * I);
    At += sizeof(T);
    V = static_cast<T>(Value);
    return true;
}

// --- The frames ------------------------------------------------------------------
// Each frame is a struct whose Fields visits its members in wire order, once
// for writing and once for reading.

struct THelloFrame {
    static constexpr TLinkFrameType Type = lfHello;
    std::uint32_t Version = LinkVersion;
    std::uint32_t Pid = 0;
    std::string Program;
    bool operator==(const THelloFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Version) && Io(M.Pid) && Io(M.Program);
    }
};

struct TSettingsFrame {
    static constexpr TLinkFrameType Type = lfSettings;
    std::string Stream;
    bool operator==(const TSettingsFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io) { return Io(M.Stream); }
};

struct TAlertNewFrame {
    static constexpr TLinkFrameType Type = lfAlertNew;
    std::uint32_t Alert = 0;
    std::string Title, Picture;
    bool operator==(const TAlertNewFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Alert) && Io(M.Title) && Io(M.Picture);
    }
};

struct TAlertShowFrame {
    static constexpr TLinkFrameType Type = lfAlertShow;
    std::uint32_t Alert = 0;
    bool Centred = false;
    bool operator==(const TAlertShowFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Alert) && Io(M.Centred);
    }
};

struct TAlertSetTitleFrame {
    static constexpr TLinkFrameType Type = lfAlertSetTitle;
    std::uint32_t Alert = 0;
    std::string Title;
    bool operator==(const TAlertSetTitleFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Alert) && Io(M.Title);
    }
};

struct TAlertAddAreaFrame {
    static constexpr TLinkFrameType Type = lfAlertAddArea;
    std::uint32_t Alert = 0;
    std::string Text;
    std::int64_t Weight = 0;
    bool operator==(const TAlertAddAreaFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Alert) && Io(M.Text) && Io(M.Weight);
    }
};

// AlertClear, AlertClose and AlertRelease: the alert's number alone.
template <TLinkFrameType T> struct TAlertOnlyFrame {
    static constexpr TLinkFrameType Type = T;
    std::uint32_t Alert = 0;
    bool operator==(const TAlertOnlyFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io) { return Io(M.Alert); }
};
using TAlertClearFrame = TAlertOnlyFrame<lfAlertClear>;
using TAlertCloseFrame = TAlertOnlyFrame<lfAlertClose>;
using TAlertReleaseFrame = TAlertOnlyFrame<lfAlertRelease>;

// AlertSetArea and AlertSetPosition: the alert's number and one value.
template <TLinkFrameType T> struct TAlertValueFrame {
    static constexpr TLinkFrameType Type = T;
    std::uint32_t Alert = 0;
    std::int32_t Value = 0;
    bool operator==(const TAlertValueFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Alert) && Io(M.Value);
    }
};
using TAlertSetAreaFrame = TAlertValueFrame<lfAlertSetArea>;
using TAlertSetPositionFrame = TAlertValueFrame<lfAlertSetPosition>;

struct TScreenShotRequestFrame {
    static constexpr TLinkFrameType Type = lfScreenShotRequest;
    std::uint32_t Request = 0;
    bool ApplicationOnly = false;
    std::uint32_t Pid = 0;
    bool operator==(const TScreenShotRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.ApplicationOnly) && Io(M.Pid);
    }
};

struct TScreenShotTakenFrame {
    static constexpr TLinkFrameType Type = lfScreenShotTaken;
    std::uint32_t Request = 0;
    bool Taken = false;
    std::uint32_t Width = 0, Height = 0;
    std::string Reason;
    bool operator==(const TScreenShotTakenFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Taken) && Io(M.Width) && Io(M.Height) && Io(M.Reason);
    }
};

struct TSaveRequestFrame {
    static constexpr TLinkFrameType Type = lfSaveRequest;
    std::uint32_t Request = 0;
    std::string Report;
    bool Ask = false;
    bool operator==(const TSaveRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Report) && Io(M.Ask);
    }
};

struct TSaveDoneFrame {
    static constexpr TLinkFrameType Type = lfSaveDone;
    std::uint32_t Request = 0;
    bool Saved = false;
    std::string File;
    bool operator==(const TSaveDoneFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Saved) && Io(M.File);
    }
};

struct TPrintRequestFrame {
    static constexpr TLinkFrameType Type = lfPrintRequest;
    std::uint32_t Request = 0;
    std::string Report;
    bool operator==(const TPrintRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Report);
    }
};

struct TPrintDoneFrame {
    static constexpr TLinkFrameType Type = lfPrintDone;
    std::uint32_t Request = 0;
    bool Printed = false;
    bool operator==(const TPrintDoneFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Printed);
    }
};

struct TSendRequestFrame {
    static constexpr TLinkFrameType Type = lfSendRequest;
    std::uint32_t Request = 0;
    std::string Report;
    std::uint32_t ScreenShot = 0;
    bool Automatic = false, Background = false;
    std::string Settings;
    bool operator==(const TSendRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Report) && Io(M.ScreenShot) && Io(M.Automatic) &&
               Io(M.Background) && Io(M.Settings);
    }
};

enum TSendOutcome : std::uint8_t { soFailed, soSent, soCancelled, soInBackground };

struct TSendDoneFrame {
    static constexpr TLinkFrameType Type = lfSendDone;
    std::uint32_t Request = 0;
    std::uint8_t Outcome = soFailed; // TSendOutcome
    bool operator==(const TSendDoneFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Outcome);
    }
};

// The most exception times a restart carries.
inline constexpr std::uint32_t MaxRestartTimes = 10;

struct TRestartRequestFrame {
    static constexpr TLinkFrameType Type = lfRestartRequest;
    std::uint32_t Request = 0;
    std::vector<std::int64_t> Times;
    bool operator==(const TRestartRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        std::uint32_t Count = static_cast<std::uint32_t>(M.Times.size());
        if (!Io(M.Request) || !Io(Count) || Count > MaxRestartTimes)
            return false;
        if constexpr (!std::is_const_v<S>)
            M.Times.resize(Count);
        for (std::uint32_t I = 0; I < Count; ++I)
            if (!Io(M.Times[I]))
                return false;
        return true;
    }
};

struct TRestartReadyFrame {
    static constexpr TLinkFrameType Type = lfRestartReady;
    std::uint32_t Request = 0;
    bool Ready = false;
    bool operator==(const TRestartReadyFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Ready);
    }
};

struct TClipRequestFrame {
    static constexpr TLinkFrameType Type = lfClipRequest;
    std::uint32_t Request = 0;
    std::string Text;
    bool operator==(const TClipRequestFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Text);
    }
};

struct TClipDoneFrame {
    static constexpr TLinkFrameType Type = lfClipDone;
    std::uint32_t Request = 0;
    bool Copied = false;
    bool operator==(const TClipDoneFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Request) && Io(M.Copied);
    }
};

struct TLastWordsFrame {
    static constexpr TLinkFrameType Type = lfLastWords;
    std::uint32_t Pid = 0, ThreadId = 0, Signal = 0;
    std::int32_t Code = 0;
    std::uint64_t FaultAddress = 0;
    std::array<std::uint64_t, 18> Registers{};
    std::uint64_t StackAddress = 0;
    std::string Stack;
    bool operator==(const TLastWordsFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        if (!(Io(M.Pid) && Io(M.ThreadId) && Io(M.Signal) && Io(M.Code) && Io(M.FaultAddress)))
            return false;
        for (auto& R : M.Registers)
            if (!Io(R))
                return false;
        return Io(M.StackAddress) && Io(M.Stack) && M.Stack.size() <= LastWordsStack;
    }
};

struct TReportBeginFrame {
    static constexpr TLinkFrameType Type = lfReportBegin;
    std::uint32_t Report = 0;
    std::uint8_t Kind = 0;
    std::string Class, Message;
    bool CanContinue = false;
    std::uint8_t Source = 0;
    std::uint32_t Pid = 0;
    std::string Executable, CommandLine, Folder;
    std::uint32_t ExceptionNumber = 0;
    bool Simple = false, SimpleDetails = false;
    std::string Settings;
    bool operator==(const TReportBeginFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Kind) && Io(M.Class) && Io(M.Message) && Io(M.CanContinue) &&
               Io(M.Source) && Io(M.Pid) && Io(M.Executable) && Io(M.CommandLine) && Io(M.Folder) &&
               Io(M.ExceptionNumber) && Io(M.Simple) && Io(M.SimpleDetails) && Io(M.Settings);
    }
};

// ReportField and SettingChanged: the report, a name and a text.
template <TLinkFrameType T> struct TReportPairFrame {
    static constexpr TLinkFrameType Type = T;
    std::uint32_t Report = 0;
    std::string Name, Value;
    bool operator==(const TReportPairFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Name) && Io(M.Value);
    }
};
using TReportFieldFrame = TReportPairFrame<lfReportField>;
using TSettingChangedFrame = TReportPairFrame<lfSettingChanged>;

struct TReportSectionFrame {
    static constexpr TLinkFrameType Type = lfReportSection;
    std::uint32_t Report = 0;
    bool Thread = false;
    std::string Name, Text;
    bool operator==(const TReportSectionFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Thread) && Io(M.Name) && Io(M.Text);
    }
};

struct TReportCompleteFrame {
    static constexpr TLinkFrameType Type = lfReportComplete;
    std::uint32_t Report = 0;
    std::string Text;
    bool operator==(const TReportCompleteFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Text);
    }
};

// ShowDetails and CloseBox: the report's number alone.
template <TLinkFrameType T> struct TReportOnlyFrame {
    static constexpr TLinkFrameType Type = T;
    std::uint32_t Report = 0;
    bool operator==(const TReportOnlyFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io) { return Io(M.Report); }
};
using TShowDetailsFrame = TReportOnlyFrame<lfShowDetails>;
using TCloseBoxFrame = TReportOnlyFrame<lfCloseBox>;

// Verdict and AttachScreenShot: the report and one byte.
template <TLinkFrameType T> struct TReportByteFrame {
    static constexpr TLinkFrameType Type = T;
    std::uint32_t Report = 0;
    std::uint8_t Value = 0;
    bool operator==(const TReportByteFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Value);
    }
};
using TVerdictFrame = TReportByteFrame<lfVerdict>;
using TAttachScreenShotFrame = TReportByteFrame<lfAttachScreenShot>;

struct TDisplayModeFrame {
    static constexpr TLinkFrameType Type = lfDisplayMode;
    std::uint32_t Report = 0;
    std::uint32_t Width = 0, Height = 0, Bits = 0;
    bool operator==(const TDisplayModeFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Width) && Io(M.Height) && Io(M.Bits);
    }
};

struct TFireHandlersFrame {
    static constexpr TLinkFrameType Type = lfFireHandlers;
    std::uint32_t Report = 0, Request = 0;
    std::uint8_t Kind = 0, Code = 0;
    bool operator==(const TFireHandlersFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Request) && Io(M.Kind) && Io(M.Code);
    }
};

struct THandlersAnswerFrame {
    static constexpr TLinkFrameType Type = lfHandlersAnswer;
    std::uint32_t Report = 0, Request = 0;
    bool Handled = false;
    bool operator==(const THandlersAnswerFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Request) && Io(M.Handled);
    }
};

struct TBoxOwnerFrame {
    static constexpr TLinkFrameType Type = lfBoxOwner;
    std::uint32_t Report = 0;
    std::uint64_t Window = 0;
    bool Beep = false;
    bool operator==(const TBoxOwnerFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Window) && Io(M.Beep);
    }
};

struct TAssistantOutputFrame {
    static constexpr TLinkFrameType Type = lfAssistantOutput;
    std::uint32_t Report = 0;
    std::string Name;
    bool OwnSection = false;
    std::string Text;
    bool operator==(const TAssistantOutputFrame&) const = default;
    template <class S, class F> static bool Fields(S& M, F& Io)
    {
        return Io(M.Report) && Io(M.Name) && Io(M.OwnSection) && Io(M.Text);
    }
};

class TModuleSettings;
struct TSettingEntry;

// The Settings frame of what a settings table holds now: its entries in the
// layout of the program's section, the passwords enciphered again as the
// section keeps them, so that the helper reads it as it would the section.
TSettingsFrame SettingsSnapshot(const TModuleSettings& Table);
// The same of a list of entries.
TSettingsFrame SettingsSnapshot(std::vector<TSettingEntry> Entries);

template <class T> TLinkFrame EncodeFrame(const T& Message)
{
    TFrameWriter W;
    T::Fields(Message, W);
    return {T::Type, std::move(W.Fields)};
}

// False when the frame is of another type or its fields are not exactly a T.
template <class T> bool DecodeFrame(const TLinkFrame& Frame, T& Out)
{
    if (Frame.Type != T::Type)
        return false;
    TFrameReader R(Frame.Fields);
    return T::Fields(Out, R) && R.Complete();
}

// --- Reading frames from a byte stream --------------------------------------------

enum class TParse : std::uint8_t {
    prNeedMore,  // no whole frame buffered yet
    prFrame,     // a frame was taken
    prMalformed, // the stream holds a length outside 2..MaxFrameBody
};

class TFrameParser {
public:
    void Feed(const void* Data, std::size_t Length);
    TParse Next(TLinkFrame& Out);
    // Bytes buffered that do not make a whole frame yet.
    std::size_t Pending() const { return Buffer.size() - At; }

private:
    std::string Buffer;
    std::size_t At = 0;
};

// --- One end of the link ---------------------------------------------------------

enum class TLinkRead : std::uint8_t {
    lrFrame,     // a frame was taken
    lrNone,      // no whole frame within the time allowed
    lrClosed,    // the other end closed (or the link was closed here)
    lrMalformed, // a malformed frame (or a stream cut inside one): closed
};

class TExceptLink {
public:
    // Takes over Fd (a connected stream socket), which it switches to
    // non-blocking and closes at the end.
    explicit TExceptLink(int Fd);
    ~TExceptLink();
    TExceptLink(const TExceptLink&) = delete;
    TExceptLink& operator=(const TExceptLink&) = delete;

    // Sends a whole frame; frames of several threads never interleave. A
    // frame the other end does not take within SendTimeout (it hangs, or is
    // gone) closes the link. False when the frame was not sent.
    bool Send(const TLinkFrame& Frame);
    template <class T> bool Send(const T& Message) { return Send(EncodeFrame(Message)); }

    // The next frame, waiting up to Timeout (negative: without limit). One
    // thread reads at a time.
    TLinkRead Receive(TLinkFrame& Out, std::chrono::milliseconds Timeout);
    // For an event loop that watches Fd(): reads what has arrived without
    // waiting, then answers the next buffered frame (lrNone: none yet).
    TLinkRead ReceiveReady(TLinkFrame& Out);

    bool IsOpen() const;
    void Close();
    // The socket, for an event loop to watch; -1 once closed.
    int Fd() const;

    std::chrono::milliseconds SendTimeout{10000};

private:
    TLinkRead TakeBuffered(TLinkFrame& Out);
    // Reads what is there; false at the end of the stream or on an error.
    bool ReadAvailable();

    std::mutex SendLock, ReadLock;
    const int FFd;
    std::atomic<bool> Closed{false};
    bool Ended = false; // the other end closed
    TFrameParser Parser;
};

// A connected pair of stream sockets (close-on-exec), or false.
bool CreateLinkPair(int Fds[2]);

// The helper program beside the running program's file.
std::string HelperProgramPath();

// Starts Program with ChildFd as its descriptor 3 and LastWordsFd (when not
// -1) as its descriptor 4 (standard input, output and error shared, nothing
// else open); the process id, or -1.
pid_t StartHelperProcess(const std::string& Program, int ChildFd, int LastWordsFd = -1);
