#include "engine/uEngineOptions.h"

#include <stdexcept>
#include <type_traits>

// Defined without a value: their defaults are set from the rows below, once
// before main (see the end of this file) and by every reset.
int iMaxThreads;
int DefaultCheckState;
int DefaultTimeout;
uint16_t DefaultTCPPort;
bool IgnoreCheck;
bool bNoName;
bool bGetNetbiosName;
bool bGetDomainName;
bool bGetDomainNameIfNetBiosFailed;
std::string SNMPCommunity;
uint8_t ComputerCaptionStyle;

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

using S = TEngineSettings;

std::span<const TEngineOption> EngineOptions()
{
    // The ranges are also the options dialog's bounds. A time-out below 1 ms
    // would make every wait either return at once or never, and one above
    // 3 s is beyond what the dialog offers; port 0 cannot be connected to.
    static const TEngineOption Options[] = {
        {{.Key = "iMaxThreads", .Variable = &iMaxThreads, .Default = 64, .Min = 1, .Max = 250},
         &S::iMaxThreads},
        {{.Key = "DefaultCheckState",
          .Variable = &DefaultCheckState,
          .Default = 0,
          .Min = -1, // TCheckState: no check, ping, TCP connect
          .Max = 1},
         &S::DefaultCheckState},
        {{.Key = "DefaultTimeout",
          .Variable = &DefaultTimeout,
          .Default = 300,
          .Min = 1,
          .Max = 3000},
         &S::DefaultTimeout},
        {{.Key = "DefaultTCPPort",
          .Variable = &DefaultTCPPort,
          .Default = 39,
          .Min = 1,
          .Max = 65535},
         &S::DefaultTCPPort},
        {{.Key = "IgnoreCheck", .Variable = &IgnoreCheck, .Default = 1}, &S::IgnoreCheck},
        {{.Key = "bNoName", .Variable = &bNoName, .Default = 0}, &S::bNoName},
        {{.Key = "bGetNetbiosName", .Variable = &bGetNetbiosName, .Default = 1},
         &S::bGetNetbiosName},
        {{.Key = "bGetDomainName", .Variable = &bGetDomainName, .Default = 0}, &S::bGetDomainName},
        {{.Key = "bGetDomainNameIfNetBiosFailed",
          .Variable = &bGetDomainNameIfNetBiosFailed,
          .Default = 0},
         &S::bGetDomainNameIfNetBiosFailed},
        // The community agents answer out of the box.
        {{.Key = "SNMPCommunity", .Variable = &SNMPCommunity, .DefaultText = "public"},
         &S::SNMPCommunity},
        {{.Key = "ComputerCaptionStyle",
          .Variable = &ComputerCaptionStyle,
          .Default = 1,
          .Min = 0, // TComputerCaptionStyle
          .Max = 3},
         &S::ComputerCaptionStyle},
    };
    return Options;
}

const std::vector<TEngineMessage>& EngineMessages()
{
    static const std::vector<TEngineMessage> Messages = {
        {"sSetStatusScanComputerComplete", &sSetStatusScanComputerComplete,
         &S::sSetStatusScanComputerComplete},
        {"sSetStatusScanComputerInactive", &sSetStatusScanComputerInactive,
         &S::sSetStatusScanComputerInactive},
        {"sSetStatusScanComputerNotDetect", &sSetStatusScanComputerNotDetect,
         &S::sSetStatusScanComputerNotDetect},
        {"sSetStatusScanComputerErrorMSg", &sSetStatusScanComputerErrorMSg,
         &S::sSetStatusScanComputerErrorMSg},
        {"sSetStatusScanNetworkStart", &sSetStatusScanNetworkStart, &S::sSetStatusScanNetworkStart},
        {"sSetStatusScanNetworkComplete", &sSetStatusScanNetworkComplete,
         &S::sSetStatusScanNetworkComplete},
        {"sSetStatusScanNetworkComputerNotFound", &sSetStatusScanNetworkComputerNotFound,
         &S::sSetStatusScanNetworkComputerNotFound},
        {"sSetStatusScanADStart", &sSetStatusScanADStart, &S::sSetStatusScanADStart},
        {"sSetStatusScanADComplete", &sSetStatusScanADComplete, &S::sSetStatusScanADComplete},
        {"sSetStatusScanADComputerNotFound", &sSetStatusScanADComputerNotFound,
         &S::sSetStatusScanADComputerNotFound},
        {"sComputerCaptionStyle", &sComputerCaptionStyle, &S::sComputerCaptionStyle},
        {"sSetStatusScanComputerNotResolved", &sSetStatusScanComputerNotResolved,
         &S::sSetStatusScanComputerNotResolved},
        {"sSetStatusScanNeighbourTableBound", &sSetStatusScanNeighbourTableBound,
         &S::sSetStatusScanNeighbourTableBound},
        {"sSetStatusScanCheckUnavailable", &sSetStatusScanCheckUnavailable,
         &S::sSetStatusScanCheckUnavailable},
        {"sSetStatusScanNetBiosNoMac", &sSetStatusScanNetBiosNoMac, &S::sSetStatusScanNetBiosNoMac},
        {"sSetStatusScanNetBiosNeighbourMac", &sSetStatusScanNetBiosNeighbourMac,
         &S::sSetStatusScanNetBiosNeighbourMac},
        {"sSetStatusScanNetworkFailed", &sSetStatusScanNetworkFailed,
         &S::sSetStatusScanNetworkFailed},
        {"sSetStatusScanADFailed", &sSetStatusScanADFailed, &S::sSetStatusScanADFailed},
    };
    return Messages;
}

const TOption& EngineOption(const std::string& Key)
{
    for (const TEngineOption& O : EngineOptions())
        if (Key == O.Option.Key)
            return O.Option;
    throw std::out_of_range("no engine option \"" + Key + "\"");
}

namespace {

// The built-in default of Option, as a value of the global's type T.
template <class T> T DefaultOf(const TOption& Option)
{
    if constexpr (std::is_same_v<T, std::string>)
        return Option.DefaultText;
    else if constexpr (std::is_same_v<T, std::vector<std::string>>)
        return {};
    else
        return static_cast<T>(Option.Default);
}

// The global and the snapshot field of one row hold the same type.
template <class T> T* GlobalOf(const TEngineOption& O, T TEngineSettings::*)
{
    return std::get<T*>(O.Option.Variable);
}

} // namespace

void SetToDefault(const TOption& Option)
{
    std::visit(
        [&](auto* Global) { *Global = DefaultOf<std::remove_pointer_t<decltype(Global)>>(Option); },
        Option.Variable);
}

const TEngineSettings& BuiltInEngineSettings()
{
    static const TEngineSettings BuiltIn = [] {
        TEngineSettings D{TEngineSettings::TUnset{}};
        for (const TEngineOption& O : EngineOptions())
            std::visit(
                [&](auto Field) {
                    using T = std::remove_reference_t<decltype(D.*Field)>;
                    D.*Field = DefaultOf<T>(O.Option);
                },
                O.Field);
        for (const TEngineMessage& M : EngineMessages())
            D.*M.Field = M.Key;
        return D;
    }();
    return BuiltIn;
}

TEngineSettings::TEngineSettings() : TEngineSettings(BuiltInEngineSettings()) {}

void ResetEngineOptions()
{
    for (const TEngineOption& O : EngineOptions())
        SetToDefault(O.Option);
    // Messages fall back to their keys, as without a language file.
    for (const TEngineMessage& M : EngineMessages())
        *M.Text = M.Key;
}

TEngineSettings TakeEngineSettings()
{
    TEngineSettings Copy;
    for (const TEngineOption& O : EngineOptions())
        std::visit([&](auto Field) { Copy.*Field = *GlobalOf(O, Field); }, O.Field);
    for (const TEngineMessage& M : EngineMessages())
        Copy.*M.Field = *M.Text;
    return Copy;
}

namespace {
// After the globals above are constructed, before main.
[[maybe_unused]] const bool DefaultsSet = (ResetEngineOptions(), true);
} // namespace
