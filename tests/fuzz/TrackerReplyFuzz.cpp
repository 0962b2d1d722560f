// Any bytes as a bug tracker's reply (XML-RPC, SOAP, FogBugz) and as a value
// written into a request: the readers never fail other than cleanly, a tree
// never nests deeper than they allow, and an escaped value always reads back
// as the same text (escaping what it read changes nothing).
//
// Input: one byte choosing the reader, then the reply.
#include "crashreport/send/kelExceptTrackers.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok)
        __builtin_trap();
}

int Depth(const TXmlElement& E)
{
    int Deepest = 0;
    for (const auto& C : E.Children)
        Deepest = std::max(Deepest, Depth(C));
    return Deepest + 1;
}

int Depth(const TRpcValue& V)
{
    int Deepest = 0;
    for (const auto& I : V.Items)
        Deepest = std::max(Deepest, Depth(I));
    for (const auto& M : V.Members)
        Deepest = std::max(Deepest, Depth(M.Value));
    return Deepest + 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size < 1)
        return 0;
    const std::string_view Xml(reinterpret_cast<const char*>(Data + 1), Size - 1);
    switch (Data[0] & 3) {
    case 0: {
        const TRpcReply R = ParseXmlRpcReply(Xml);
        Check(R.Ok != !R.Fault.empty());
        Check(Depth(R.Value) <= 64);
        break;
    }
    case 1: {
        const TSoapReply R = ParseSoapReply(Xml);
        Check(R.Ok != !R.Fault.empty());
        Check(!R.Faulted || !R.Ok);
        Check(Depth(R.Return) <= 64);
        break;
    }
    case 2: {
        const TFogBugzReply R = ParseFogBugzReply(Xml);
        Check(R.Ok != !R.Error.empty());
        if (R.Ok)
            Check(R.Response.Name == "response" && R.Response.Find("error") == nullptr);
        break;
    }
    default: {
        const std::string Escaped = XmlEscape(Xml);
        TXmlElement Root;
        std::string Error;
        Check(ParseXmlReply("<v a=\"" + Escaped + "\">" + Escaped + "</v>", Root, Error));
        Check(Root.Children.empty() && Root.Attributes.size() == 1);
        Check(XmlEscape(Root.Text) == Escaped);
        break;
    }
    }
    return 0;
}
