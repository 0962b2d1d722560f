#include "platform/Wmi.h"
#include "tests/platform/InterfaceFixtures.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using fixtures::Interface;
using platform::EWmiError;
using platform::LocalInterface;
using platform::WmiObject;
using platform::WmiValue;

namespace fs = std::filesystem;

namespace {

const char* const kConfigQuery =
    "Select MACAddress,Index,IPAddress from Win32_NetworkAdapterConfiguration where IPEnabled=TRUE";
const char* const kAdapterQuery = "Select ProductName,Index,MACAddress from Win32_NetworkAdapter";

TEST(Wql, TheTwoQueriesOfTheMethod)
{
    platform::WqlQuery q = platform::ParseWql(kConfigQuery);
    EXPECT_EQ(q.ClassName, "Win32_NetworkAdapterConfiguration");
    EXPECT_EQ(q.Properties, (std::vector<std::string>{"MACAddress", "Index", "IPAddress"}));
    EXPECT_TRUE(q.HasCondition);
    EXPECT_TRUE(q.ConditionValue);

    q = platform::ParseWql(kAdapterQuery);
    EXPECT_EQ(q.ClassName, "Win32_NetworkAdapter");
    EXPECT_EQ(q.Properties, (std::vector<std::string>{"ProductName", "Index", "MACAddress"}));
    EXPECT_FALSE(q.HasCondition);
}

TEST(Wql, KeywordsAndNamesInAnyCaseAndSpacing)
{
    platform::WqlQuery q =
        platform::ParseWql("  SELECT  macaddress , INDEX\tFROM win32_networkadapterconfiguration "
                           "WHERE ipenabled = false ");
    EXPECT_EQ(q.ClassName, "Win32_NetworkAdapterConfiguration");
    EXPECT_EQ(q.Properties, (std::vector<std::string>{"MACAddress", "Index"}));
    EXPECT_TRUE(q.HasCondition);
    EXPECT_FALSE(q.ConditionValue);
    q = platform::ParseWql("select * from Win32_NetworkAdapter");
    EXPECT_EQ(q.Properties,
              (std::vector<std::string>{"Index", "Name", "ProductName", "MACAddress"}));
    // A property named twice is one property.
    EXPECT_EQ(platform::ParseWql("select Index, index from Win32_NetworkAdapter").Properties,
              std::vector<std::string>{"Index"});
}

TEST(Wql, EverythingElseIsRefusedByName)
{
    for (const char* query : {
             "",
             "Select",
             "Select Index",
             "Select Index from",
             "Select from Win32_NetworkAdapter",
             "Select Index, from Win32_NetworkAdapter",
             "Select Index from Win32_Process",
             "Select Index from Win32_NetworkAdapterConfigurations",
             "Select Caption from Win32_NetworkAdapter",
             "Select IPAddress from Win32_NetworkAdapter",
             "Select Index from Win32_NetworkAdapter where IPEnabled=TRUE",
             "Select Index from Win32_NetworkAdapterConfiguration where IPEnabled=1",
             "Select Index from Win32_NetworkAdapterConfiguration where Index=TRUE",
             "Select Index from Win32_NetworkAdapterConfiguration where IPEnabled=TRUE and 1=1",
             "Select Index from Win32_NetworkAdapterConfiguration where IPEnabled TRUE",
             "Select Index from Win32_NetworkAdapterConfiguration where",
             "Select Index from Win32_NetworkAdapter where Name='x'",
             "Select Index from Win32_NetworkAdapter;",
             "Delete from Win32_NetworkAdapter",
             "Select Index from Win32_NetworkAdapter Win32_NetworkAdapter",
             "Associators of {Win32_NetworkAdapter.DeviceID=\"1\"}",
         }) {
        try {
            platform::ParseWql(query);
            ADD_FAILURE() << "accepted: " << query;
        } catch (const EWmiError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Unsupported WMI query: ") + query);
        }
    }
}

TEST(WmiValue, TextsAndIntegersAsTheMethodReadsThem)
{
    EXPECT_EQ(WmiValue::Null().AsText(), "");
    EXPECT_EQ(WmiValue::Of(std::string("00:1A")).AsText(), "00:1A");
    EXPECT_EQ(WmiValue::Of(int64_t{42}).AsText(), "42");
    EXPECT_EQ(WmiValue::Of(true).AsText(), "True");
    EXPECT_THROW(WmiValue::Of(std::vector<std::string>{"a"}).AsText(), EWmiError);

    EXPECT_EQ(WmiValue::Of(int64_t{-7}).AsInteger(), -7);
    EXPECT_EQ(WmiValue::Of(std::string("12")).AsInteger(), 12);
    EXPECT_EQ(WmiValue::Of(true).AsInteger(), -1);
    EXPECT_THROW(WmiValue::Null().AsInteger(), EWmiError);
    EXPECT_THROW(WmiValue::Of(std::string("12a")).AsInteger(), EWmiError);
    EXPECT_THROW(WmiValue::Of(std::string("")).AsInteger(), EWmiError);
    EXPECT_THROW(WmiValue::Of(std::string("99999999999999999999")).AsInteger(), EWmiError);

    WmiObject o;
    o.Set("Index", WmiValue::Of(int64_t{3}));
    o.Set("INDEX", WmiValue::Of(int64_t{4}));
    EXPECT_EQ(o.Properties().size(), 1u);
    EXPECT_EQ(o.Get("index").AsInteger(), 4);
    EXPECT_THROW(o.Get("MACAddress"), EWmiError);
}

// A computer with loopback, two IP-enabled interfaces (one with two
// addresses), one that is down, one up without an address, one without a
// hardware address.
std::vector<LocalInterface> Inventory()
{
    return {fixtures::Loopback(),
            Interface("eth0", 2, {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, true,
                      {0x0A000004u, 0x0A000104u}),
            Interface("eth1", 3, {0x02, 0, 0, 0, 0, 0x03}, false, {0x0A000204u}),
            Interface("eth2", 4, {0x02, 0, 0, 0, 0, 0x04}, true),
            Interface("tun0", 5, {}, true, {0x0A080001u}),
            Interface("gone", 0, {0x02, 0, 0, 0, 0, 0x06}, true, {0x0A090001u})};
}

// "Index=..;MACAddress=..;..." per object; arrays as "[a|b]", null as "null".
std::vector<std::string> Describe(const std::vector<WmiObject>& objects)
{
    std::vector<std::string> out;
    for (const WmiObject& o : objects) {
        std::string line;
        for (const auto& [name, v] : o.Properties()) {
            if (!line.empty())
                line += ";";
            line += name + "=";
            if (v.IsNull()) {
                line += "null";
            } else if (v.IsArray()) {
                line += "[";
                for (std::size_t i = 0; i < v.array.size(); ++i)
                    line += (i ? "|" : "") + v.array[i];
                line += "]";
            } else {
                line += v.AsText();
            }
        }
        out.push_back(line);
    }
    return out;
}

class LocalWmi : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(root_ / "net");
        fs::create_directories(root_ / "udev");
        sources_.Interfaces = Inventory;
        sources_.SysNetDir = (root_ / "net").string();
        sources_.UdevDataDir = (root_ / "udev").string();
    }

    static void Write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    // A sysfs entry of an interface; `device` links it to a device folder.
    void SysEntry(const std::string& name, const std::string& ifindex,
                  const std::string& device = "")
    {
        Write(root_ / "net" / name / "ifindex", ifindex + "\n");
        if (!device.empty()) {
            fs::create_directories(root_ / "devices" / device);
            fs::create_directory_symlink(root_ / "devices" / device,
                                         root_ / "net" / name / "device");
        }
    }

    std::vector<WmiObject> Query(const std::string& q)
    {
        return platform::LocalWmiServices(sources_)->ExecQuery(q, "WQL");
    }

    TempFolder temp_;
    const fs::path root_ = temp_.Path();
    platform::WmiLocalSources sources_;
};

TEST_F(LocalWmi, IPEnabledAdaptersWithIndexMacAndAddresses)
{
    EXPECT_EQ(Describe(Query(kConfigQuery)),
              (std::vector<std::string>{
                  "MACAddress=00:1A:2B:3C:4D:5E;Index=2;IPAddress=[10.0.0.4|10.0.1.4]",
                  "MACAddress=null;Index=5;IPAddress=[10.8.0.1]"}));
    // The others, and every interface with its IPEnabled value.
    EXPECT_EQ(Describe(Query("select Index, IPEnabled, IPAddress from "
                             "Win32_NetworkAdapterConfiguration where IPEnabled=FALSE")),
              (std::vector<std::string>{"Index=1;IPEnabled=False;IPAddress=[127.0.0.1]",
                                        "Index=3;IPEnabled=False;IPAddress=[10.0.2.4]",
                                        "Index=4;IPEnabled=False;IPAddress=null"}));
    EXPECT_EQ(Query("select Index from Win32_NetworkAdapterConfiguration").size(), 5u);
}

TEST_F(LocalWmi, EveryAdapterWithItsNameWhenSysfsKnowsNoProduct)
{
    EXPECT_EQ(Describe(Query(kAdapterQuery)),
              (std::vector<std::string>{"ProductName=lo;Index=1;MACAddress=null",
                                        "ProductName=eth0;Index=2;MACAddress=00:1A:2B:3C:4D:5E",
                                        "ProductName=eth1;Index=3;MACAddress=02:00:00:00:00:03",
                                        "ProductName=eth2;Index=4;MACAddress=02:00:00:00:00:04",
                                        "ProductName=tun0;Index=5;MACAddress=null"}));
}

TEST_F(LocalWmi, ProductNameFromUdevOrTheUsbDevice)
{
    // eth0 on a PCI device known to udev's hardware database.
    SysEntry("eth0", "2", "pci0000:00/0000:00:03.0");
    Write(root_ / "udev" / "n2", "I:123\nE:ID_VENDOR_FROM_DATABASE=Intel Corporation\n"
                                 "E:ID_MODEL_FROM_DATABASE=82540EM Gigabit Ethernet Controller\n");
    // eth1 is a USB adapter: the interface's device is a USB interface whose
    // parent holds the product string.
    SysEntry("eth1", "3", "usb1/1-1/1-1:1.0");
    Write(root_ / "devices" / "usb1" / "1-1" / "product", "AX88179 Gigabit Ethernet\n");
    // eth2 is virtual: no device link, so udev's record (of whatever it is) is not used.
    SysEntry("eth2", "4");
    Write(root_ / "udev" / "n4", "E:ID_MODEL_FROM_DATABASE=Should not appear\n");
    // tun0's sysfs entry belongs to another namespace's interface (other index).
    SysEntry("tun0", "9", "pci0000:00/0000:00:04.0");
    Write(root_ / "udev" / "n9", "E:ID_MODEL_FROM_DATABASE=Other namespace\n");
    Write(root_ / "udev" / "n5", "E:ID_MODEL_FROM_DATABASE=Other namespace too\n");

    std::vector<std::string> names;
    for (const WmiObject& o : Query("select ProductName from Win32_NetworkAdapter"))
        names.push_back(o.Get("ProductName").AsText());
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "82540EM Gigabit Ethernet Controller",
                                               "AX88179 Gigabit Ethernet", "eth2", "tun0"}));
    // The configuration's description is the same name.
    EXPECT_EQ(Query("select Description from Win32_NetworkAdapterConfiguration where "
                    "IPEnabled=TRUE")[0]
                  .Get("Description")
                  .AsText(),
              "82540EM Gigabit Ethernet Controller");
}

TEST_F(LocalWmi, ProductTextsAreCleanedAndBounded)
{
    SysEntry("eth1", "3", "usb1/1-2/1-2:1.0");
    Write(root_ / "devices" / "usb1" / "1-2" / "product",
          std::string("Bad\x01\x1b[31mName") + std::string(400, 'x') + "\nsecond line\n");
    const std::string name =
        Query("select ProductName from Win32_NetworkAdapter")[2].Get("ProductName").AsText();
    EXPECT_EQ(name.substr(0, 12), "Bad[31mNamex");
    EXPECT_EQ(name.size(), 256u);
}

TEST_F(LocalWmi, OnlyWqlAndOnlyTheKnownQueries)
{
    auto services = platform::LocalWmiServices(sources_);
    EXPECT_THROW(services->ExecQuery(kAdapterQuery, "CQL"), EWmiError);
    EXPECT_NO_THROW(services->ExecQuery(kAdapterQuery, "wql"));
    EXPECT_THROW(services->ExecQuery("Select * from Win32_Service"), EWmiError);
    // A property that was not selected is not in the objects.
    auto objects = services->ExecQuery("select Index from Win32_NetworkAdapter");
    ASSERT_FALSE(objects.empty());
    EXPECT_THROW(objects[0].Get("MACAddress"), EWmiError);
}

TEST_F(LocalWmi, UnreadableInventoryRaisesItsError)
{
    sources_.Interfaces = []() -> std::vector<LocalInterface> {
        throw platform::EInterfaceListError("Cannot list the network interfaces: No buffer space");
    };
    try {
        Query(kConfigQuery);
        ADD_FAILURE() << "no exception";
    } catch (const EWmiError& e) {
        EXPECT_STREQ(e.what(), "Cannot list the network interfaces: No buffer space");
    }
}

TEST(WmiConnect, OnlyThisComputerAndItsNamespace)
{
    for (const char* server : {"192.0.2.1", "\\\\192.0.2.1", "fileserver.example"}) {
        try {
            platform::ConnectWmiServer(server, "root\\cimv2");
            ADD_FAILURE() << "connected to " << server;
        } catch (const EWmiError& e) {
            EXPECT_STREQ(e.what(), "WMI is not available on this system") << server;
        }
    }
    EXPECT_NE(platform::ConnectWmiServer(".", "root\\cimv2"), nullptr);
    EXPECT_NE(platform::ConnectWmiServer("", "ROOT\\CIMV2"), nullptr);
    EXPECT_NE(platform::ConnectWmiServer("127.0.0.1", "root\\cimv2"), nullptr);
    EXPECT_NE(platform::ConnectWmiServer("\\\\localhost", "root\\cimv2"), nullptr);
    EXPECT_THROW(platform::ConnectWmiServer(".", "root\\default"), EWmiError);
    EXPECT_THROW(platform::ConnectWmiServer("\\\\", "root\\cimv2"), EWmiError);
}

} // namespace
