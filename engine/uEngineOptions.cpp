#include "uEngineOptions.h"

namespace {
// The one place that holds the built-in defaults: the snapshot's initializers.
const TEngineSettings Defaults{};
} // namespace

int iMaxThreads = Defaults.iMaxThreads;
int DefaultCheckState = Defaults.DefaultCheckState;
int DefaultTimeout = Defaults.DefaultTimeout;
uint16_t DefaultTCPPort = Defaults.DefaultTCPPort;
bool IgnoreCheck = Defaults.IgnoreCheck;
bool bNoName = Defaults.bNoName;
bool bGetNetbiosName = Defaults.bGetNetbiosName;
bool bGetDomainName = Defaults.bGetDomainName;
bool bGetDomainNameIfNetBiosFailed = Defaults.bGetDomainNameIfNetBiosFailed;
std::string SNMPCommunity = Defaults.SNMPCommunity;
uint8_t ComputerCaptionStyle = Defaults.ComputerCaptionStyle;

std::string sSetStatusScanComputerComplete = Defaults.sSetStatusScanComputerComplete;
std::string sSetStatusScanComputerInactive = Defaults.sSetStatusScanComputerInactive;
std::string sSetStatusScanComputerNotDetect = Defaults.sSetStatusScanComputerNotDetect;
std::string sSetStatusScanComputerErrorMSg = Defaults.sSetStatusScanComputerErrorMSg;
std::string sSetStatusScanNetworkStart = Defaults.sSetStatusScanNetworkStart;
std::string sSetStatusScanNetworkComplete = Defaults.sSetStatusScanNetworkComplete;
std::string sSetStatusScanNetworkComputerNotFound = Defaults.sSetStatusScanNetworkComputerNotFound;
std::string sSetStatusScanADStart = Defaults.sSetStatusScanADStart;
std::string sSetStatusScanADComplete = Defaults.sSetStatusScanADComplete;
std::string sSetStatusScanADComputerNotFound = Defaults.sSetStatusScanADComputerNotFound;
std::string sComputerCaptionStyle = Defaults.sComputerCaptionStyle;
std::string sSetStatusScanComputerNotResolved = Defaults.sSetStatusScanComputerNotResolved;

const std::vector<TEngineMessage>& EngineMessages()
{
    static const std::vector<TEngineMessage> Messages = {
        {"sSetStatusScanComputerComplete", &sSetStatusScanComputerComplete},
        {"sSetStatusScanComputerInactive", &sSetStatusScanComputerInactive},
        {"sSetStatusScanComputerNotDetect", &sSetStatusScanComputerNotDetect},
        {"sSetStatusScanComputerErrorMSg", &sSetStatusScanComputerErrorMSg},
        {"sSetStatusScanNetworkStart", &sSetStatusScanNetworkStart},
        {"sSetStatusScanNetworkComplete", &sSetStatusScanNetworkComplete},
        {"sSetStatusScanNetworkComputerNotFound", &sSetStatusScanNetworkComputerNotFound},
        {"sSetStatusScanADStart", &sSetStatusScanADStart},
        {"sSetStatusScanADComplete", &sSetStatusScanADComplete},
        {"sSetStatusScanADComputerNotFound", &sSetStatusScanADComputerNotFound},
        {"sComputerCaptionStyle", &sComputerCaptionStyle},
        {"sSetStatusScanComputerNotResolved", &sSetStatusScanComputerNotResolved},
    };
    return Messages;
}

void ResetEngineOptions()
{
    iMaxThreads = Defaults.iMaxThreads;
    DefaultCheckState = Defaults.DefaultCheckState;
    DefaultTimeout = Defaults.DefaultTimeout;
    DefaultTCPPort = Defaults.DefaultTCPPort;
    IgnoreCheck = Defaults.IgnoreCheck;
    bNoName = Defaults.bNoName;
    bGetNetbiosName = Defaults.bGetNetbiosName;
    bGetDomainName = Defaults.bGetDomainName;
    bGetDomainNameIfNetBiosFailed = Defaults.bGetDomainNameIfNetBiosFailed;
    SNMPCommunity = Defaults.SNMPCommunity;
    ComputerCaptionStyle = Defaults.ComputerCaptionStyle;
    // Messages fall back to their keys, as without a language file.
    for (const TEngineMessage& m : EngineMessages())
        *m.Text = m.Key;
}

TEngineSettings TakeEngineSettings()
{
    TEngineSettings s;
    s.iMaxThreads = iMaxThreads;
    s.DefaultCheckState = DefaultCheckState;
    s.DefaultTimeout = DefaultTimeout;
    s.DefaultTCPPort = DefaultTCPPort;
    s.IgnoreCheck = IgnoreCheck;
    s.bNoName = bNoName;
    s.bGetNetbiosName = bGetNetbiosName;
    s.bGetDomainName = bGetDomainName;
    s.bGetDomainNameIfNetBiosFailed = bGetDomainNameIfNetBiosFailed;
    s.SNMPCommunity = SNMPCommunity;
    s.ComputerCaptionStyle = ComputerCaptionStyle;
    s.sSetStatusScanComputerComplete = sSetStatusScanComputerComplete;
    s.sSetStatusScanComputerInactive = sSetStatusScanComputerInactive;
    s.sSetStatusScanComputerNotDetect = sSetStatusScanComputerNotDetect;
    s.sSetStatusScanComputerErrorMSg = sSetStatusScanComputerErrorMSg;
    s.sSetStatusScanNetworkStart = sSetStatusScanNetworkStart;
    s.sSetStatusScanNetworkComplete = sSetStatusScanNetworkComplete;
    s.sSetStatusScanNetworkComputerNotFound = sSetStatusScanNetworkComputerNotFound;
    s.sSetStatusScanADStart = sSetStatusScanADStart;
    s.sSetStatusScanADComplete = sSetStatusScanADComplete;
    s.sSetStatusScanADComputerNotFound = sSetStatusScanADComputerNotFound;
    s.sComputerCaptionStyle = sComputerCaptionStyle;
    s.sSetStatusScanComputerNotResolved = sSetStatusScanComputerNotResolved;
    return s;
}
