#include "engine/uLocalIPandMaskList.h"

TAddressItem& TAddressCollection::Add()
{
    FItems.push_back(std::make_unique<TAddressItem>());
    return *FItems.back();
}

TAddressItem& TAddressCollection::Items(int Index)
{
    if (Index < 0 || Index >= Count())
        throw EAddressListError("List index out of bounds (" + std::to_string(Index) + ")");
    return *FItems[static_cast<size_t>(Index)];
}

const TAddressItem& TAddressCollection::Items(int Index) const
{
    return const_cast<TAddressCollection*>(this)->Items(Index);
}

void TIPAndMask::LoadFromAdapters()
{
    Items.Clear();
    std::vector<platform::LocalInterface> interfaces;
    try {
        interfaces = platform::ListLocalInterfaces();
    } catch (const platform::EInterfaceListError&) {
        // Callers take an empty list as "no local range to offer"; at start-up
        // that just leaves the range fields empty.
        return;
    }
    LoadFromAdapters(interfaces);
}

void TIPAndMask::LoadFromAdapters(const std::vector<platform::LocalInterface>& Interfaces)
{
    Items.Clear();
    for (const auto& adapter : Interfaces) {
        if (adapter.loopback || !adapter.up)
            continue;
        for (const auto& a : adapter.ipv4) {
            // 0.0.0.0 is how an adapter without an address shows its list's
            // end; nothing after it counts.
            if (a.address == 0)
                break;
            TAddressItem& item = Items.Add();
            item.SetAdapterName(adapter.name);
            item.SetIpAddress(a.AddressText());
            item.SetIpMAsk(a.NetmaskText());
            item.SetIpContext(adapter.index);
        }
    }
}
