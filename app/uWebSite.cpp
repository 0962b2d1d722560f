#include "app/uWebSite.h"

#include "admin/uCommandRun.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "settings/CommonFunctions.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"

#include <QStringList>
#include <QUrl>

#include <filesystem>

#ifndef TOLVEX_SOURCE_README
#define TOLVEX_SOURCE_README ""
#endif
#ifndef TOLVEX_WEB_SITE
#define TOLVEX_WEB_SITE ""
#endif

std::string MakerWebSite()
{
    std::string Site = TOLVEX_WEB_SITE;
    while (!Site.empty() && Site.back() == '/')
        Site.pop_back();
    return Site;
}

bool OpenAddress(const std::string& Address)
{
    // Started directly rather than through a shell, so that nothing in the
    // address is ever read as a command; an opener that finds no program
    // for the address says so when it ends.
    return OpenWithDesktop(Address, "sOpenAddressFailed", "The desktop cannot open \"%s\": %s");
}

namespace {

// Four decimal numbers 0-255 without leading zeros, joined by dots.
bool IsCanonicalIPv4(const std::string& IP)
{
    size_t P = 0;
    for (int Part = 0; Part < 4; ++Part) {
        if (Part > 0) {
            if (P >= IP.size() || IP[P] != '.')
                return false;
            ++P;
        }
        const size_t Start = P;
        int Value = 0;
        while (P < IP.size() && IP[P] >= '0' && IP[P] <= '9' && P - Start < 3)
            Value = Value * 10 + (IP[P++] - '0');
        const size_t Digits = P - Start;
        if (Digits == 0 || Value > 255 || (Digits > 1 && IP[Start] == '0'))
            return false;
    }
    return P == IP.size();
}

} // namespace

std::string OpenAsAddress(int Kind, const std::string& IP)
{
    static const char* const Schemes[] = {"http://", "https://", "ftp://", "smb://"};
    if (Kind < 0 || Kind > 3 || !IsCanonicalIPv4(IP))
        return {};
    return Schemes[Kind] + IP;
}

bool OpenMakerPage(const std::string& Path)
{
    const std::string Site = MakerWebSite();
    if (Site.empty()) {
        ShowMessageBox(Translate("This build of the program has no web site."),
                       Translate("Information"), TMsgIcon::Information);
        return false;
    }
    return OpenAddress(Site + Path);
}

std::string ProductQuery()
{
    const auto Enc = [](const std::string& S) {
        return std::string(QUrl::toPercentEncoding(ToQ(S)).constData());
    };
    return "?product=" + Enc(GetInternalNameLower()) + "&version=" + Enc(GetFileVersionShort());
}

bool OpenOnlineHelp()
{
    if (!MakerWebSite().empty())
        return OpenMakerPage("/action/help/" + ProductQuery());
    for (const std::string& Readme : {AppDir.empty() ? std::string() : AppDir + "README.md",
                                      std::string(TOLVEX_SOURCE_README)}) {
        std::error_code Ec;
        if (!Readme.empty() && std::filesystem::is_regular_file(Readme, Ec))
            return OpenAddress(Readme);
    }
    ShowMessageBox(Translate("This build of the program has no web site."),
                   Translate("Information"), TMsgIcon::Information);
    return false;
}
