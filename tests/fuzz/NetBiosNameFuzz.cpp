// Any bytes as the answer to a NetBIOS name query, and as the node-status
// reply a computer's name and MAC address are taken from. The parsers read
// only the received bytes, and what they report was in them.
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"
#include "engine/uGetMac.h"

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

bool Contains(const std::uint8_t* Data, std::size_t Size, const void* Bytes, std::size_t Length)
{
    for (std::size_t I = 0; I + Length <= Size; ++I) {
        if (std::memcmp(Data + I, Bytes, Length) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    // The query the answer is read against carries the answer's own
    // transaction id, so that the fuzzer need not guess it.
    const std::uint16_t Id = Size >= 2 ? static_cast<std::uint16_t>(Data[0] << 8 | Data[1]) : 0;
    for (const char* Name : {"FILESERVER", "PC1"}) {
        const std::vector<std::uint8_t> Query = BuildNetBiosNameQuery(Name, Id, true);
        Check(!Query.empty());
        std::string IP;
        if (ParseNetBiosNameQueryReply(Query, Data, Size, IP)) {
            in_addr A{};
            Check(::inet_pton(AF_INET, IP.c_str(), &A) == 1);
            Check(A.s_addr != 0 && A.s_addr != 0xFFFFFFFF);
            Check(Contains(Data, Size, &A.s_addr, 4));
        } else {
            Check(IP.empty());
        }
    }

    const std::vector<std::uint8_t> Reply(Data, Data + Size);
    std::string Name;
    ParseNetBiosNameReply(Reply, Name);
    if (!Name.empty()) {
        TNetBiosNodeStatus Status;
        Check(ParseNetBiosNodeStatus(Reply, Status));
        bool Listed = false;
        for (const TNetBiosNameEntry& Entry : Status.Names) {
            Listed = Listed || NetBiosEntryName(Entry) == Name;
        }
        Check(Listed && Name.find('~') == std::string::npos);
    }
    std::string Mac;
    NetBiosReplyToMac(Reply, Mac);
    Check(Mac.empty() || Mac.size() == 17);
    return 0;
}
