#include "crashlib/kelTypes.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct CustomFailure : KelException {
    using KelException::KelException;
    [[noreturn]] void Raise() const override { throw *this; }
};

std::unique_ptr<KelException> MakeCustom(std::string_view Message)
{
    return std::make_unique<CustomFailure>("custom: " + std::string(Message));
}

} // namespace

TEST(CrashlibTypes, ExceptionCarriesItsMessage)
{
    KelException E("disk on fire");
    EXPECT_EQ(E.Message, "disk on fire");
    EXPECT_STREQ(E.what(), "disk on fire");
    EExternal X("access violation");
    const KelException& AsBase = X;
    EXPECT_EQ(AsBase.Message, "access violation");
    EXPECT_THROW(AsBase.Raise(), EExternal);
}

TEST(CrashlibTypes, NewKelExceptionFollowsTheFactory)
{
    auto Plain = NewKelException("one");
    ASSERT_NE(Plain, nullptr);
    const KelException& PlainRef = *Plain;
    EXPECT_EQ(typeid(PlainRef), typeid(KelException));
    EXPECT_EQ(Plain->Message, "one");

    KelExceptionFactory = &MakeCustom;
    auto Custom = NewKelException("two");
    KelExceptionFactory = nullptr;
    ASSERT_NE(Custom, nullptr);
    const KelException& CustomRef = *Custom;
    EXPECT_EQ(typeid(CustomRef), typeid(CustomFailure));
    EXPECT_EQ(Custom->Message, "custom: two");
    // Raised through the base, it is still caught as its own class.
    EXPECT_THROW(Custom->Raise(), CustomFailure);
}

TEST(CrashlibTypes, UnknownExceptionNamesTheThrownType)
{
    std::unique_ptr<KelException> E;
    try {
        throw std::out_of_range("x");
    } catch (...) {
        E = GetUnknownExceptionObject();
    }
    ASSERT_NE(E, nullptr);
    EXPECT_EQ(E->Message, std::string(UnknownExceptionText) + " Thrown type: std::out_of_range");

    try {
        throw 42;
    } catch (...) {
        E = GetUnknownExceptionObject();
    }
    EXPECT_EQ(E->Message, std::string(UnknownExceptionText) + " Thrown type: int");

    // Outside a handler, and for no type, only the fixed text remains.
    EXPECT_EQ(GetUnknownExceptionObject()->Message, UnknownExceptionText);
    EXPECT_EQ(GetUnknownExceptionObject(nullptr)->Message, UnknownExceptionText);
}
