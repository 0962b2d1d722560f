// Any bytes as a received ICMP message, with and without its IP header.
#include "platform/Icmp.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const platform::EchoIdentity Id{0x1234, 0x5678};
    (void)platform::ClassifyEchoMessage(Data, Size, true, 0x0100007F, 0x0100007F, Id);
    (void)platform::ClassifyEchoMessage(Data, Size, false, 0x0100007F, 0x0100007F, Id);
    return 0;
}
