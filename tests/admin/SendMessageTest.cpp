#include "admin/uSendMessage.h"
#include "settings/Language.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

std::string Raised(int Code, const std::string& Reason)
{
    try {
        RaiseLastWtsError(Code, Reason);
    } catch (const ETerminalServerError& E) {
        return E.what();
    }
    return "(nothing raised)";
}

TEST(SendMessageErrors, EveryFailureRaisesWithAText)
{
    LangChanger = std::make_unique<TLangChanger>();
    EXPECT_EQ(Raised(EACCES, ""), "Permission denied (Error code: D).");
    EXPECT_EQ(Raised(0, "why"), "why");
    // No code and no reason still says something.
    EXPECT_EQ(Raised(0, ""), "The sessions of this computer cannot be listed.");
    LangChanger.reset();
}

TEST(SendMessageErrors, MessageTypesAndStyles)
{
    const std::int32_t Styles[] = {0, MB_ICONINFORMATION, MB_ICONWARNING, MB_ICONERROR};
    for (int Type = 0; Type < 4; ++Type) {
        EXPECT_EQ(MessageTypeToStyle(Type), Styles[Type]);
        EXPECT_EQ(StyleToMessageType(Styles[Type]), Type);
    }
    EXPECT_EQ(MessageTypeToStyle(7), 0);
    EXPECT_EQ(StyleToMessageType(32), 0);
}

TEST(SendMessageErrors, ThisComputerAndOthers)
{
    for (const char* Local : {"", ".", "localhost", "127.0.0.1"})
        EXPECT_TRUE(IsThisComputer(Local)) << Local;
    EXPECT_FALSE(IsThisComputer("192.0.2.7"));
    EXPECT_FALSE(IsThisComputer("no-such-host.invalid"));
}

} // namespace
