// Management queries about the network adapters, in the shape of the WMI
// scripting interface (connect to a server and namespace, run a WQL query,
// read each object's properties), answered for the local computer from the
// interface inventory and sysfs. Another computer cannot be asked: connecting
// to one raises EWmiError with WmiUnavailableMessage.
//
// The stand-in answers "Select <properties> from <class> [where IPEnabled =
// TRUE|FALSE]" for two classes; every other query is refused with a EWmiError
// that names it:
//   Win32_NetworkAdapterConfiguration (one object per interface)
//     Index        integer  the interface index
//     Description  text     the adapter's product name (see ProductName)
//     MACAddress   text     "00:1A:2B:3C:4D:5E"; null without a hardware address
//     IPAddress    texts    the IPv4 addresses, primary first; null when none
//     IPEnabled    boolean  up, not loopback, with an IPv4 address
//   Win32_NetworkAdapter (one object per interface)
//     Index, MACAddress   as above
//     ProductName, Name   the product name from udev's hardware database or
//                         the USB device's product string when the interface
//                         sits on such a device, else the interface name
#pragma once

#include "platform/LocalInterfaces.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class EWmiError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr const char* WmiUnavailableMessage = "WMI is not available on this system";

// A property value: null, a Boolean, an integer, a text or an array of texts.
struct WmiValue {
    enum class Kind { Null, Boolean, Integer, Text, TextArray };
    Kind kind = Kind::Null;
    bool boolean = false;
    int64_t integer = 0;
    std::string text;
    std::vector<std::string> array;

    static WmiValue Null() { return {}; }
    static WmiValue Of(bool Value);
    static WmiValue Of(int64_t Value);
    static WmiValue Of(std::string Value);
    static WmiValue Of(std::vector<std::string> Value);

    bool IsNull() const { return kind == Kind::Null; }
    bool IsArray() const { return kind == Kind::TextArray; }
    // Null gives "", a Boolean "True" or "False", an integer its decimal
    // text; an array raises EWmiError (it has no single text).
    std::string AsText() const;
    // An integer, a Boolean (-1 or 0) or a decimal text; anything else raises.
    int64_t AsInteger() const;
};

// One object of a query's answer: the properties that the query selected.
class WmiObject {
public:
    void Set(const std::string& Name, WmiValue Value);
    // The value of a property (name without regard to letter case); raises
    // EWmiError when the object has no such property.
    const WmiValue& Get(const std::string& Name) const;
    const std::vector<std::pair<std::string, WmiValue>>& Properties() const { return properties_; }

private:
    std::vector<std::pair<std::string, WmiValue>> properties_;
};

// A connection to one server's namespace.
class WmiServices {
public:
    virtual ~WmiServices() = default;
    // Runs a query; Language must be "WQL". Raises EWmiError.
    virtual std::vector<WmiObject> ExecQuery(const std::string& Query,
                                             const std::string& Language = "WQL") const = 0;
};

// Connects to Server ("" or "." for the local computer, or a host with or
// without a leading "\\") and Namespace ("root\cimv2", any letter case), with
// the caller's own rights. Raises EWmiError: WmiUnavailableMessage for a
// computer other than this one, "Invalid namespace: " or "Invalid server
// name: " with the text for another namespace or a "\\" without a host,
// and the inventory's error when the interfaces cannot be listed.
std::unique_ptr<WmiServices> ConnectWmiServer(const std::string& Server,
                                              const std::string& Namespace);

// What the local answers are made of; the seam of the tests.
struct WmiLocalSources {
    std::function<std::vector<LocalInterface>()> Interfaces = ListLocalInterfaces;
    std::string SysNetDir = "/sys/class/net";
    std::string UdevDataDir = "/run/udev/data";
};

std::unique_ptr<WmiServices> LocalWmiServices(WmiLocalSources Sources);

// A query as the stand-in understands it.
struct WqlQuery {
    std::string ClassName;               // as the class list spells it
    std::vector<std::string> Properties; // as the class spells them; "*" gives all
    bool HasCondition = false;           // "where IPEnabled = ..."
    bool ConditionValue = false;
};

// Parses and checks a query against the two classes; raises EWmiError
// "Unsupported WMI query: " + the query for anything else.
WqlQuery ParseWql(const std::string& Query);

// The product name of an interface as described above. The sysfs entry is
// used only when its "ifindex" is the interface's index, so that a name that
// sysfs knows from another network namespace lends it nothing.
std::string AdapterProductName(const LocalInterface& Interface, const std::string& SysNetDir,
                               const std::string& UdevDataDir);

} // namespace platform
