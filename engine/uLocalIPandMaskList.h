// The IPv4 addresses and subnet masks of the local computer's adapters, one
// item per address, from which the user picks the local subnet's range.
#pragma once

#include "platform/LocalInterfaces.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class EAddressListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TAddressItem {
public:
    const std::string& IpAddress() const { return FIpAddress; }
    const std::string& IpMAsk() const { return FIpMAsk; }
    // The interface index of the adapter the address is on.
    uint32_t IpContext() const { return FIpContext; }
    const std::string& AdapterName() const { return FAdapterName; }

    void SetIpAddress(const std::string& Value) { FIpAddress = Value; }
    void SetIpMAsk(const std::string& Value) { FIpMAsk = Value; }
    void SetIpContext(uint32_t Value) { FIpContext = Value; }
    void SetAdapterName(const std::string& Value) { FAdapterName = Value; }

private:
    std::string FIpAddress;
    std::string FIpMAsk;
    uint32_t FIpContext = 0;
    std::string FAdapterName;
};

class TAddressCollection {
public:
    // A new empty item at the end; it stays where it is while more are added.
    TAddressItem& Add();
    // Raises EAddressListError for an index outside 0..Count()-1.
    TAddressItem& Items(int Index);
    const TAddressItem& Items(int Index) const;
    int Count() const { return static_cast<int>(FItems.size()); }
    void Clear() { FItems.clear(); }

private:
    std::vector<std::unique_ptr<TAddressItem>> FItems;
};

class TIPAndMask {
public:
    TAddressCollection Items;

    // Refills Items from the system's adapters: every IPv4 address of every
    // interface that is up and not loopback, in the system's order. When the
    // system's list cannot be read the list stays empty, as with no adapters.
    void LoadFromAdapters();
    // The same from a given inventory.
    void LoadFromAdapters(const std::vector<platform::LocalInterface>& Interfaces);
};
