// The option values and message texts that the scan engine reads.
//
// They are plain globals named after their keys in "options.xml" and in the
// language files. Each is declared once, as a row of EngineOptions() or
// EngineMessages(): its key, its global, its field in the snapshot, its
// built-in default and the values it may take. Reset, the snapshot, and the
// settings that load and save them all loop over those rows. The main
// thread alone changes the globals.
//
// Workers must not read these globals while the options dialog may change
// them: the pool copies them into a TEngineSettings (TakeEngineSettings, in
// the main thread) when it hands out a job, and the worker reads that copy.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

// --- Options -----------------------------------------------------------------
// Their defaults and bounds: the rows of EngineOptions().
extern int iMaxThreads;                    // number of scan workers
extern int DefaultCheckState;              // reachability check, TCheckState
extern int DefaultTimeout;                 // ms: ping, TCP probe, NetBIOS, SNMP
extern uint16_t DefaultTCPPort;            // port of the TCP probe
extern bool IgnoreCheck;                   // NET API and WMI also on unreachable hosts
extern bool bNoName;                       // no name lookup
extern bool bGetNetbiosName;               // name by NetBIOS node status
extern bool bGetDomainName;                // name by DNS
extern bool bGetDomainNameIfNetBiosFailed; // DNS when NetBIOS gave no name
extern std::string SNMPCommunity;          // SNMP read community
extern uint8_t ComputerCaptionStyle;       // TComputerCaptionStyle

// --- Messages ----------------------------------------------------------------
// Each holds its own name until a language file is loaded; the name is also
// the built-in text handed to FormatChecked when a translation does not fit
// its arguments.
extern std::string sSetStatusScanComputerComplete;        // %s: address
extern std::string sSetStatusScanComputerInactive;        // %s: address
extern std::string sSetStatusScanComputerNotDetect;       // %s: address
extern std::string sSetStatusScanComputerErrorMSg;        // %s: address, %s: error text
extern std::string sSetStatusScanNetworkStart;            // no arguments
extern std::string sSetStatusScanNetworkComplete;         // %d: number of names
extern std::string sSetStatusScanNetworkComputerNotFound; // no arguments
extern std::string sSetStatusScanADStart;                 // no arguments
extern std::string sSetStatusScanADComplete;              // %d: number of names
extern std::string sSetStatusScanADComputerNotFound;      // no arguments
extern std::string sComputerCaptionStyle;                 // %s, %s: name and IP in style order
extern std::string sSetStatusScanComputerNotResolved;     // %s: address (a name without address)
extern std::string sSetStatusScanNeighbourTableBound;     // %d: addresses asked at a time
extern std::string sSetStatusScanCheckUnavailable;        // %s: why no echo can be sent
extern std::string sSetStatusScanNetBiosNoMac;            // %s: address (answered with zeros)
extern std::string sSetStatusScanNetBiosNeighbourMac; // %s: address (MAC of the neighbour table)
extern std::string sSetStatusScanNetworkFailed;       // %s: why the browse failed
extern std::string sSetStatusScanADFailed;            // %s: why the directory search failed

// --- Snapshot for workers ------------------------------------------------------
// A copy of every engine option and message. Default-constructed it holds the
// built-in defaults of the rows below.
struct TEngineSettings {
    TEngineSettings();

    // Zero until the rows set them (see the constructor).
    int iMaxThreads{};
    int DefaultCheckState{};
    int DefaultTimeout{};
    uint16_t DefaultTCPPort{};
    bool IgnoreCheck{};
    bool bNoName{};
    bool bGetNetbiosName{};
    bool bGetDomainName{};
    bool bGetDomainNameIfNetBiosFailed{};
    std::string SNMPCommunity;
    uint8_t ComputerCaptionStyle{};

    std::string sSetStatusScanComputerComplete;
    std::string sSetStatusScanComputerInactive;
    std::string sSetStatusScanComputerNotDetect;
    std::string sSetStatusScanComputerErrorMSg;
    std::string sSetStatusScanNetworkStart;
    std::string sSetStatusScanNetworkComplete;
    std::string sSetStatusScanNetworkComputerNotFound;
    std::string sSetStatusScanADStart;
    std::string sSetStatusScanADComplete;
    std::string sSetStatusScanADComputerNotFound;
    std::string sComputerCaptionStyle;
    std::string sSetStatusScanComputerNotResolved;
    std::string sSetStatusScanNeighbourTableBound;
    std::string sSetStatusScanCheckUnavailable;
    std::string sSetStatusScanNetBiosNoMac;
    std::string sSetStatusScanNetBiosNeighbourMac;
    std::string sSetStatusScanNetworkFailed;
    std::string sSetStatusScanADFailed;

private:
    struct TUnset {};
    explicit TEngineSettings(TUnset) {}
    friend const TEngineSettings& BuiltInEngineSettings();
};

// The current values of the globals; call it in the main thread only.
TEngineSettings TakeEngineSettings();

// --- Option rows -----------------------------------------------------------------
// Where an option's value lives. The settings layer keeps its own options in
// rows of the same kind, so one reader and one writer serve both.
using TOptionVariable =
    std::variant<bool*, int*, uint16_t*, uint8_t*, std::string*, std::vector<std::string>*>;

// One option, declared once.
struct TOption {
    const char* Key; // in "options.xml"; also the global's own name
    TOptionVariable Variable;
    long long Default = 0;        // Boolean (0, 1) and integer options
    const char* DefaultText = ""; // text options; string lists start empty
    // Integer options: the values they may take (a range, or the codes of
    // their vocabulary); a file that holds any other keeps the default.
    long long Min = 0;
    long long Max = 0;
    // Text options: whether a value from a file is acceptable; null: any.
    bool (*Accepts)(const std::string& Value) = nullptr;
};

// Sets Option's global to its built-in default.
void SetToDefault(const TOption& Option);

// The field of TEngineSettings that carries an option, of the same type as
// its global.
using TEngineField =
    std::variant<bool TEngineSettings::*, int TEngineSettings::*, uint16_t TEngineSettings::*,
                 uint8_t TEngineSettings::*, std::string TEngineSettings::*>;

struct TEngineOption {
    TOption Option;
    TEngineField Field;
};

// Every engine option.
std::span<const TEngineOption> EngineOptions();
// The engine option with this key; raises std::out_of_range for an unknown
// one, since every caller names an option that exists.
const TOption& EngineOption(const std::string& Key);

// One message global and its language key, which is also its default.
struct TEngineMessage {
    const char* Key;
    std::string* Text;
    std::string TEngineSettings::*Field;
};
// Every engine message, so that the settings can load them by key.
const std::vector<TEngineMessage>& EngineMessages();

// Sets every option and message back to its built-in default.
void ResetEngineOptions();
