#include "tests/lan/RangeBed.h"

#include <algorithm>
#include <cstdio>

namespace lan {

RangeBed::RangeBed(Lab& Owner, const RangeBedSpec& Spec) : FSpec(Spec)
{
    if (Spec.Prefix < 8 || Spec.Prefix > 30 || Spec.Live < 0 || Spec.First < 2 ||
        Spec.Spacing < 1 ||
        (Spec.Live > 0 &&
         Spec.First + Spec.Spacing * (Spec.Live - 1) > (1 << (32 - Spec.Prefix)) - 2))
        throw LabError("range bed: the live hosts do not fit the range");
    FSwitch = &Owner.AddSwitch();
    const std::string prefix = "/" + std::to_string(Spec.Prefix);
    std::vector<Nic> nics;
    nics.push_back({"eth0", Mac(1), Ip(1) + prefix});
    for (int i = 0; i < Spec.Live; ++i)
        nics.push_back({"eth0", Mac(LiveNumber(i)), Ip(LiveNumber(i)) + prefix});
    FHosts = Owner.AddHostsOnSwitch(*FSwitch, nics);
    FTableRaised = Scanner()
                       .Exec({"ip", "ntable", "change", "name", "arp_cache", "thresh1", "1024",
                              "thresh2", "8192", "thresh3", "16384"})
                       .ok();
}

bool RangeBed::IsLive(int Number) const
{
    const int i = (Number - FSpec.First) / FSpec.Spacing;
    return Number >= FSpec.First && (Number - FSpec.First) % FSpec.Spacing == 0 && i < FSpec.Live;
}

std::string RangeBed::Ip(int Number) const
{
    const uint32_t a = HostOrder(Number);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff,
                  a & 0xff);
    return text;
}

int RangeBed::NumberOf(const char* Text) const
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(Text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return -1;
    const uint32_t address = a << 24 | b << 16 | c << 8 | d;
    const long long number = static_cast<long long>(address) - FSpec.Network;
    return number >= 1 && number <= HostCount() ? static_cast<int>(number) : -1;
}

std::string RangeBed::Mac(int Number) const
{
    return LocalMac(FSpec.MacBase + static_cast<unsigned long long>(Number));
}

std::string RangeBed::MacText(int Number) const
{
    std::string m = Mac(Number);
    std::replace(m.begin(), m.end(), ':', '-');
    return m;
}

std::string RangeBed::Cidr() const
{
    return Ip(0) + "/" + std::to_string(FSpec.Prefix);
}

} // namespace lan
