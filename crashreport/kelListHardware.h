// The "hardware" section of the bug report: the system's devices grouped by
// class, one line "+ class" per class and one line "  - name" per device,
// with " (driver version)" for a driver that does not come with the kernel.
//
// Devices come from the kernel's device tree through libsystemd's sd-device;
// the class is the device's subsystem and its name the vendor and model the
// hardware database gives for its modalias, else its sysfs name. Virtual
// devices and the kernel's own bookkeeping objects are left out.
//
// Linking this unit registers the plugin (see kelExceptReport).
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct THardwareDevice {
    std::string Name;
    std::string Driver; // the kernel module that drives it; may be empty
};
struct THardwareClass {
    std::string Name;
    std::vector<THardwareDevice> Devices;
};

// Classes in order, each with its devices in order. A device goes into the
// first class that compares greater or equal without regard to case, joining
// it when it is exactly equal and else opening a new class before it; within
// its class it goes before the first device that compares greater or equal.
class THardwareList {
public:
    void Add(std::string_view Class, std::string_view Name, std::string_view Driver = {});
    const std::vector<THardwareClass>& Classes() const { return List; }

private:
    std::vector<THardwareClass> List;
};

// Subsystems whose devices are not hardware to report: memory blocks, NUMA
// nodes, timers, performance-monitoring units and the like.
bool SkippedHardwareClass(std::string_view Subsystem);

// The devices as the system lists them now.
THardwareList ListHardware();
// " (driver <version>)" for a module that was built outside the kernel's
// tree (its taint flags hold "O") and states a version, read below ModuleRoot
// (/sys/module); empty otherwise.
std::string DriverSuffix(const std::string& ModuleRoot, std::string_view Module);
// The section text of a list; DriverText gives each device's suffix.
std::string HardwareText(const THardwareList& List,
                         std::string (*DriverText)(std::string_view Module));
// The plugin's routine.
void ListHardwarePlugin(std::string& Text);
