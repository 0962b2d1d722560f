// Any bytes as an assistant form's stream and as the readable text the build
// writes it from: the stream reader never reads outside its bytes, nests no
// deeper and keeps no more objects than it allows, and what it read writes a
// stream that reads back the same; a text the tool accepts writes a stream
// whose decoded text writes that stream again.
#include "crashreport/kelNVFormStream.h"
#include "crashreport/kelNVLayout.h"
#include "tools/CrashFormText.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool SameObjects(const std::vector<TFormStreamObject>& A, const std::vector<TFormStreamObject>& B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I) {
        if (A[I].Depth != B[I].Depth || A[I].ClassName != B[I].ClassName ||
            A[I].ObjectName != B[I].ObjectName || A[I].Properties.size() != B[I].Properties.size())
            return false;
        for (std::size_t P = 0; P < A[I].Properties.size(); ++P)
            if (A[I].Properties[P].Name != B[I].Properties[P].Name ||
                A[I].Properties[P].Value.AsText() != B[I].Properties[P].Value.AsText())
                return false;
    }
    return true;
}

void CheckStream(std::string_view Bytes)
{
    const TFormStreamObjects Read = ReadFormObjects(Bytes);
    if (Read.Objects.size() > static_cast<std::size_t>(MaxFormObjects))
        __builtin_trap();
    for (const auto& O : Read.Objects)
        if (O.Depth > MaxFormDepth)
            __builtin_trap();
    if (!Read.Objects.empty()) {
        const TFormStreamObjects Again = ReadFormObjects(WriteFormObjects(Read.Objects));
        if (Again.Stop != TFormStreamStop::fsEnd || !SameObjects(Again.Objects, Read.Objects))
            __builtin_trap();
    }
    const TNVFormRead Form = ReadFormStream(Bytes);
    if (Form.Form.Items.size() < static_cast<std::size_t>(FirstFormItem) ||
        Form.Form.Items.size() > FirstFormItem + static_cast<std::size_t>(MaxFormObjects))
        __builtin_trap();
    // The gap rule over whatever items came out.
    std::vector<TNVGapItem> Gaps;
    for (std::size_t I = FirstFormItem; I < Form.Form.Items.size(); ++I)
        Gaps.push_back({Form.Form.Items[I].Kind, I % 2 == 0, Form.Form.Items[I].Spacing});
    for (std::size_t I = 0; I < Gaps.size(); ++I)
        GapBelow(Gaps, I);
    FormStreamToText(Bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);

    // As a stream: the bytes as they are, and behind the signature.
    CheckStream(Bytes);
    CheckStream(std::string(StreamSignature) + std::string(Bytes));

    // As a form text.
    try {
        const std::string Written = WriteFormObjects(ParseFormText(Bytes, "fuzz"));
        const TFormTextDecoded Decoded = FormStreamToText(Written);
        if (!Decoded.Problem.empty() ||
            WriteFormObjects(ParseFormText(Decoded.Text, "decoded")) != Written)
            __builtin_trap();
    } catch (const ECrashTextError&) {
    }
    return 0;
}
