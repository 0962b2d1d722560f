// The "processes" section of the bug report: every process of the system, one
// line each: its id, file name, session, thread count, open descriptors,
// priority and folder.
//
// Linking this unit registers the plugin (see kelExceptReport).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Priority classes as the report names them.
enum : std::uint32_t {
    pcIdle = 64,
    pcBelowNormal = 16384,
    pcNormal = 32,
    pcAboveNormal = 32768,
    pcHigh = 128,
    pcRealtime = 256,
    pcUnknown = 0xFFFFFFFF,
};

struct TProcessRecord {
    std::string FileName;
    std::string Folder; // empty when the executable cannot be read
    std::uint32_t ProcessId = 0;
    std::uint32_t SessionId = 0;
    std::uint32_t PriorityClass = pcUnknown;
    std::uint32_t Threads = 0;
    std::uint32_t Descriptors = 0; // 0 when they cannot be counted
};

// The class of a scheduling policy and nice value: the real-time and deadline
// policies are "realtime", the idle policy "idle"; otherwise nice 11..19 is
// "idle", 1..10 "below normal", 0 "normal", -10..-1 "above normal", and -11
// and below "high".
std::uint32_t PriorityClassOf(int Policy, int Nice);
// "idle", "below normal", "normal", "above normal", "high", "realtime"; empty
// for 0 and pcUnknown; any other value as "$" and hex digits.
std::string PriorityText(std::uint32_t PriorityClass);

// The processes /proc lists now, in its order. A process that ends while it
// is read is left out.
std::vector<TProcessRecord> ListProcesses(const std::string& ProcRoot = "/proc");
// The record of one process from the texts of its stat file, the target of
// its exe link (empty when unreadable) and its comm file; false when the stat
// text cannot be parsed.
bool ParseProcessRecord(std::string_view Stat, std::string_view Exe, std::string_view Comm,
                        TProcessRecord& Record);
// The section text of the records.
std::string ProcessesText(const std::vector<TProcessRecord>& Processes);
// The plugin's routine: ProcessesText(ListProcesses()).
void ListProcessesPlugin(std::string& Text);
