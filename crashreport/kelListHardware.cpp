#include "crashreport/kelListHardware.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptReport.h"

#include <algorithm>
#include <array>
#include <systemd/sd-device.h>
#include <systemd/sd-hwdb.h>

namespace {

int Compare(std::string_view A, std::string_view B)
{
    return CompareTextW(Utf8ToWide(A), Utf8ToWide(B));
}

// A looked-up value of the hardware database; empty when it has none.
std::string HwdbValue(sd_hwdb* Hwdb, const char* Modalias, const char* Key)
{
    const char* Value = nullptr;
    if (Hwdb == nullptr || sd_hwdb_get(Hwdb, Modalias, Key, &Value) < 0 || Value == nullptr)
        return {};
    return RetTrimA(Value);
}

std::string SystemDriverText(std::string_view Module)
{
    return DriverSuffix("/sys/module", Module);
}

struct TRegisterHardware {
    TRegisterHardware()
    {
        RegisterBugReportPlugin("hardware", "list of installed hardware", &ListHardwarePlugin);
    }
    ~TRegisterHardware() { UnregisterBugReportPlugin("hardware"); }
};
const TRegisterHardware RegisterHardware;

} // namespace

// Asked for when the static library is linked (see kelListModules).
extern "C" const char KelListHardwareLinked = 1;

void THardwareList::Add(std::string_view Class, std::string_view Name, std::string_view Driver)
{
    auto C = std::find_if(List.begin(), List.end(),
                          [&](const THardwareClass& X) { return Compare(X.Name, Class) >= 0; });
    if (C == List.end() || C->Name != Class)
        C = List.insert(C, THardwareClass{std::string(Class), {}});
    auto& Devices = C->Devices;
    const auto D = std::find_if(Devices.begin(), Devices.end(), [&](const THardwareDevice& X) {
        return Compare(X.Name, Name) >= 0;
    });
    Devices.insert(D, THardwareDevice{std::string(Name), std::string(Driver)});
}

bool SkippedHardwareClass(std::string_view Subsystem)
{
    static constexpr std::array<std::string_view, 10> Skipped = {
        "memory",       "node",      "clockevents", "clocksource",    "event_source",
        "machinecheck", "workqueue", "serial-base", "memory_tiering", "container"};
    return std::find(Skipped.begin(), Skipped.end(), Subsystem) != Skipped.end();
}

THardwareList ListHardware()
{
    THardwareList List;
    sd_device_enumerator* Enumerator = nullptr;
    if (sd_device_enumerator_new(&Enumerator) < 0)
        return List;
    // Without a running udev no device counts as initialised; the list is
    // the kernel's either way.
    sd_device_enumerator_allow_uninitialized(Enumerator);
    sd_hwdb* Hwdb = nullptr;
    if (sd_hwdb_new(&Hwdb) < 0)
        Hwdb = nullptr;
    for (sd_device* D = sd_device_enumerator_get_device_first(Enumerator); D != nullptr;
         D = sd_device_enumerator_get_device_next(Enumerator)) {
        const char *SysPath = nullptr, *Subsystem = nullptr, *SysName = nullptr;
        if (sd_device_get_syspath(D, &SysPath) < 0 || sd_device_get_subsystem(D, &Subsystem) < 0 ||
            sd_device_get_sysname(D, &SysName) < 0)
            continue;
        const std::string_view Path = SysPath;
        if (Path.substr(0, 13) != "/sys/devices/" ||
            Path.substr(0, 21) == "/sys/devices/virtual/" || SkippedHardwareClass(Subsystem))
            continue;
        std::string Name;
        const char* Modalias = nullptr;
        if (sd_device_get_property_value(D, "MODALIAS", &Modalias) >= 0 && Modalias != nullptr) {
            const std::string Model = HwdbValue(Hwdb, Modalias, "ID_MODEL_FROM_DATABASE");
            if (!Model.empty()) {
                const std::string Vendor = HwdbValue(Hwdb, Modalias, "ID_VENDOR_FROM_DATABASE");
                Name = Vendor.empty() ? Model : Vendor + " " + Model;
            }
        }
        if (Name.empty())
            Name = SysName;
        const std::string Module = ReadLinkTarget(std::string(Path) + "/driver/module");
        List.Add(Subsystem, Name, Module.substr(Module.rfind('/') + 1));
    }
    if (Hwdb != nullptr)
        sd_hwdb_unref(Hwdb);
    sd_device_enumerator_unref(Enumerator);
    return List;
}

std::string DriverSuffix(const std::string& ModuleRoot, std::string_view Module)
{
    if (Module.empty() || Module.find('/') != std::string_view::npos || Module == "." ||
        Module == "..")
        return {};
    const std::string Dir = ModuleRoot + "/" + std::string(Module);
    // Modules of the kernel's own tree are the kernel's: only others say more.
    if (ReadSmallFile(Dir + "/taint").find('O') == std::string::npos)
        return {};
    const std::string Version = RetTrimA(ReadSmallFile(Dir + "/version"));
    return Version.empty() ? std::string() : " (driver " + Version + ")";
}

std::string HardwareText(const THardwareList& List,
                         std::string (*DriverText)(std::string_view Module))
{
    std::string Text;
    for (const auto& C : List.Classes()) {
        if (!Text.empty())
            Text += "\r\n";
        Text += "+ " + C.Name;
        for (const auto& D : C.Devices)
            Text += "\r\n  - " + D.Name + (DriverText != nullptr ? DriverText(D.Driver) : "");
    }
    return Text;
}

void ListHardwarePlugin(std::string& Text)
{
    Text = HardwareText(ListHardware(), &SystemDriverText);
}
