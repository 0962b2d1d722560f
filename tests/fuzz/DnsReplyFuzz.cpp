// Any bytes as a reply to an MX (or A, NS, CNAME) question for
// "mail.example.test": the reader never reads outside the packet, follows no
// forward or endless pointers, keeps every name within 253 bytes and, unless
// the reply is ours and sound, hands back no record. Any text as resolv.conf.
//
// Input: one byte choosing the asked type, then the packet (its first two
// bytes are taken as the query's identifier, so replies can match).
#include "crashreport/send/kelExceptDns.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok)
        __builtin_trap();
}

bool NameOk(const std::string& Name)
{
    if (Name.size() > 253)
        return false;
    for (const char C : Name)
        if (C >= 'A' && C <= 'Z')
            return false; // names come back in lower case
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size < 1)
        return 0;
    static const std::uint16_t Types[] = {DnsTypeMX, 1 /* A */, DnsTypeNS, DnsTypeCNAME};
    const std::uint16_t Type = Types[Data[0] & 3];
    const std::string_view Packet(reinterpret_cast<const char*>(Data + 1), Size - 1);
    const std::uint16_t Id =
        Packet.size() >= 2 ? static_cast<std::uint16_t>(static_cast<std::uint8_t>(Packet[0]) << 8 |
                                                        static_cast<std::uint8_t>(Packet[1]))
                           : 0;
    const TDnsReply R = ParseDnsReply(Packet, Id, "mail.example.test", Type);
    if (R.Status != TDnsReplyStatus::drOk)
        Check(R.Answers.empty());
    for (const auto& A : R.Answers)
        Check(NameOk(A.Name));
    for (const auto& A : R.Authority)
        Check(NameOk(A.Name));
    // A reply is never longer than the packet could describe.
    Check(R.Answers.size() + R.Authority.size() <= Packet.size() / 11 + 1);

    for (const auto& Server : ParseResolvConf(Packet))
        Check(!Server.empty() && Server.find_first_of(" \t\r\n") == std::string::npos);
    return 0;
}
