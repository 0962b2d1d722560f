// Any bytes as a node-status reply: the parser reads only what it was given,
// and what it reports stays within the reply.
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::vector<std::uint8_t> Reply(Data, Data + Size);
    TNetBiosNodeStatus Status;
    if (ParseNetBiosNodeStatus(Reply, Status)) {
        if (NetBiosNameTableOffset + Status.Names.size() * NetBiosNameEntrySize > Size)
            __builtin_trap();
        if (Status.HasMac &&
            NetBiosNameTableOffset + Status.DeclaredNames * NetBiosNameEntrySize + 6 > Size)
            __builtin_trap();
        for (const TNetBiosNameEntry& Entry : Status.Names)
            (void)NetBiosEntryName(Entry);
    }
    std::string Name;
    ParseNetBiosNameReply(Reply, Name);
    return 0;
}
