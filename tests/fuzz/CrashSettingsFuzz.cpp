// Any bytes as the crash reporter's settings stream and as the readable text
// the build writes it from: the stream reader never reads outside its bytes,
// and what it read writes a stream that reads back the same; a text the tool
// accepts writes a stream whose decoded text reads back to that stream.
#include "crashreport/kelExceptSettings.h"
#include "tools/CrashSettingsText.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool SameEntries(const std::vector<TSettingEntry>& A, const std::vector<TSettingEntry>& B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I)
        if (A[I].Name != B[I].Name || A[I].Kind != B[I].Kind || A[I].Bool != B[I].Bool ||
            A[I].Int != B[I].Int || A[I].Text != B[I].Text)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);

    // As a stream: the bytes as they are, and behind the settings head.
    ReadSettingsStream(Bytes);
    const std::string Stream = std::string(SettingsStreamHead) + std::string(Bytes);
    const TSettingsStreamContents C = ReadSettingsStream(Stream);
    if (!C.HeadFound)
        __builtin_trap();
    const TSettingsStreamContents Again = ReadSettingsStream(WriteSettingsStream(C.Entries));
    if (Again.Stop != TStreamStatus::ssEnd || !SameEntries(Again.Entries, C.Entries))
        __builtin_trap();
    const auto Settings = NewSettingsFromStream(Stream);
    if (!Settings->Found())
        __builtin_trap();
    Settings->FindAssistant("SendAssistant");
    Settings->AddFields()->ItemCount();
    Settings->AddAttachs()->ItemCount();

    // As a settings text.
    try {
        const std::string Written = WriteSettingsStream(ParseSettingsText(Bytes, "fuzz"));
        const TSettingsTextDecoded Decoded = SettingsStreamToText(Written);
        if (!Decoded.Problem.empty() ||
            WriteSettingsStream(ParseSettingsText(Decoded.Text, "decoded")) != Written)
            __builtin_trap();
    } catch (const ESettingsTextError&) {
    }
    return 0;
}
