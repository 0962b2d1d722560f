// Result objects for tests: computers and their adapters as the methods
// report them.
#pragma once

#include "engine/uComputerList.h"

#include <memory>
#include <string>

// An adapter: its name (empty from ARP and NetBIOS), its MAC address text,
// its vendor and the addresses WMI reports with it.
inline std::unique_ptr<TMacAddress> MakeAdapter(const std::string& Name, const std::string& Number,
                                                const std::string& Vendor = "",
                                                const std::string& IPAddress = "")
{
    auto Adapter = std::make_unique<TMacAddress>();
    Adapter->SetName(Name);
    Adapter->SetNumber(Number);
    Adapter->SetVendor(Vendor);
    Adapter->SetIPAddress(IPAddress);
    return Adapter;
}

// A computer without adapters yet.
inline std::unique_ptr<TComputer> MakeComputer(const std::string& Name, const std::string& IP,
                                               bool Single = false)
{
    auto Computer = std::make_unique<TComputer>();
    Computer->SetName(Name);
    Computer->SetIP(IP);
    Computer->SetSingle(Single);
    return Computer;
}

// A computer as ARP or NetBIOS finds it: one adapter without a name, shown
// in the computer's own row.
inline std::unique_ptr<TComputer> MakeArpComputer(const std::string& Name, const std::string& IP,
                                                  const std::string& Mac,
                                                  const std::string& Vendor = "")
{
    auto Computer = MakeComputer(Name, IP, true);
    Computer->AdapterList.push_back(MakeAdapter("", Mac, Vendor));
    return Computer;
}
