// The option values and message texts that the scan engine reads.
//
// They are plain globals named after their keys in "options.xml" and in the
// language files. The engine only declares them with their defaults; the
// settings load and save them, and the main thread alone changes them.
//
// Workers must not read these globals while the options dialog may change
// them: the pool copies them into a TEngineSettings (TakeEngineSettings, in
// the main thread) when it hands out a job, and the worker reads that copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// --- Options -----------------------------------------------------------------
extern int iMaxThreads;                    // number of scan workers (64)
extern int DefaultCheckState;              // reachability check, TCheckState (0: ping)
extern int DefaultTimeout;                 // ms: ping, TCP probe, NetBIOS, SNMP (300)
extern uint16_t DefaultTCPPort;            // port of the TCP probe (39)
extern bool IgnoreCheck;                   // NET API and WMI also on unreachable hosts (true)
extern bool bNoName;                       // no name lookup (false)
extern bool bGetNetbiosName;               // name by NetBIOS node status (true)
extern bool bGetDomainName;                // name by DNS (false)
extern bool bGetDomainNameIfNetBiosFailed; // DNS when NetBIOS gave no name (false)
extern std::string SNMPCommunity;          // SNMP read community ("public")
extern uint8_t ComputerCaptionStyle;       // TComputerCaptionStyle (1: IP and name)

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

// One message global and its language key.
struct TEngineMessage {
    const char* Key;
    std::string* Text;
};
// Every engine message, so that the settings can load them by key.
const std::vector<TEngineMessage>& EngineMessages();

// Sets every option and message back to its built-in default.
void ResetEngineOptions();

// --- Snapshot for workers ------------------------------------------------------
// A copy of every engine option and message. Default-constructed it holds the
// built-in defaults.
struct TEngineSettings {
    int iMaxThreads = 64;
    int DefaultCheckState = 0;
    int DefaultTimeout = 300;
    uint16_t DefaultTCPPort = 39;
    bool IgnoreCheck = true;
    bool bNoName = false;
    bool bGetNetbiosName = true;
    bool bGetDomainName = false;
    bool bGetDomainNameIfNetBiosFailed = false;
    std::string SNMPCommunity = "public";
    uint8_t ComputerCaptionStyle = 1;

    std::string sSetStatusScanComputerComplete = "sSetStatusScanComputerComplete";
    std::string sSetStatusScanComputerInactive = "sSetStatusScanComputerInactive";
    std::string sSetStatusScanComputerNotDetect = "sSetStatusScanComputerNotDetect";
    std::string sSetStatusScanComputerErrorMSg = "sSetStatusScanComputerErrorMSg";
    std::string sSetStatusScanNetworkStart = "sSetStatusScanNetworkStart";
    std::string sSetStatusScanNetworkComplete = "sSetStatusScanNetworkComplete";
    std::string sSetStatusScanNetworkComputerNotFound = "sSetStatusScanNetworkComputerNotFound";
    std::string sSetStatusScanADStart = "sSetStatusScanADStart";
    std::string sSetStatusScanADComplete = "sSetStatusScanADComplete";
    std::string sSetStatusScanADComputerNotFound = "sSetStatusScanADComputerNotFound";
    std::string sComputerCaptionStyle = "sComputerCaptionStyle";
    std::string sSetStatusScanComputerNotResolved = "sSetStatusScanComputerNotResolved";
};

// The current values of the globals; call it in the main thread only.
TEngineSettings TakeEngineSettings();
