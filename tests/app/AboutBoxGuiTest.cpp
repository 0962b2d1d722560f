// The about box of the test program, which carries the version record the
// build writes into every Tolvex program file.
#include "app/uDlgAbout.h"
#include "app/uWebSite.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace guitest;

struct Shown {
    std::string Caption, Name, Version, Home;
    bool HasIcon = false;
};

Shown ShowAndRead()
{
    Shown S;
    ModalDriver D([&S](QDialog& Dlg) {
        Dlg.show();
        S.Caption = FromQ(Dlg.windowTitle());
        S.Name = FromQ(Child<QLabel>(Dlg, "lblName")->text());
        S.Version = FromQ(Child<QLabel>(Dlg, "lblVersion")->text());
        S.Home = FromQ(Child<QLabel>(Dlg, "lHome")->text());
        const QPixmap Icon = Child<QLabel>(Dlg, "imgIcon")->pixmap();
        S.HasIcon = !Icon.isNull() && Icon.size() == QSize(48, 48);
        SaveScreenshot(Dlg, "AboutBox");
        return mrOk;
    });
    ShowAboutBox();
    return S;
}

class AboutBoxGui : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    void TearDown() override { LangChanger.reset(); }
    TempFolder Dir;
};

TEST_F(AboutBoxGui, ShowsNameVersionBuildDateAndIcon)
{
    const Shown S = ShowAndRead();
    ASSERT_FALSE(GetProductName().empty());
    EXPECT_EQ(S.Caption, "About " + GetProductName());
    EXPECT_EQ(S.Name, GetProductName());
    // The project's version 0.1.0 shows as "00.01".
    EXPECT_EQ(S.Version.rfind("Version 00.01", 0), 0u) << S.Version;
    const std::string Built = GetBuildDate();
    if (!Built.empty()) {
        const QDate Date = QDate::fromString(ToQ(Built), Qt::ISODate);
        EXPECT_NE(
            S.Version.find("Built on: " + FromQ(QLocale().toString(Date, QLocale::ShortFormat))),
            std::string::npos)
            << S.Version;
    }
    EXPECT_EQ(S.Home, "Visit " + GetFileCompanyName("") + " for updates");
    EXPECT_TRUE(S.HasIcon);
}

TEST_F(AboutBoxGui, ALanguageFileEntryChangesTheCaption)
{
    TempFolder::Write(Dir.Path("test.lng"),
                      "[Translations]\r\nAbout %s=Info %s\r\nVersion %s=Fassung %s\r\n");
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(Dir.Path("test.lng"));
    const Shown S = ShowAndRead();
    EXPECT_EQ(S.Caption, "Info " + GetProductName());
    EXPECT_EQ(S.Version.rfind("Fassung 00.01", 0), 0u) << S.Version;
    // A translation that does not fit its arguments falls back to the built-in one.
    TempFolder::Write(Dir.Path("bad.lng"), "[Translations]\r\nAbout %s=About %d %d\r\n");
    LangChanger->SetLangFile(Dir.Path("bad.lng"));
    EXPECT_EQ(ShowAndRead().Caption, "About " + GetProductName());
}

TEST_F(AboutBoxGui, WithoutAWebSiteTheLinkSaysSoAndOpensNothing)
{
    ASSERT_EQ(MakerWebSite(), "") << "this build names a web site";
    std::vector<std::string> Messages;
    TMessageSink Old = SetMessageSink([&](const TMessageBoxCall& Call) {
        Messages.push_back(Call.Text);
        return mrOk;
    });
    TAboutBox Box(nullptr);
    Box.show();
    QTest::mouseClick(Child<QLabel>(Box, "lHome"), Qt::LeftButton);
    QTest::mouseClick(Child<QLabel>(Box, "imgIcon"), Qt::LeftButton);
    SetMessageSink(std::move(Old));
    EXPECT_EQ(Messages,
              (std::vector<std::string>(2, "This build of the program has no web site.")));
    EXPECT_EQ(TAboutBox::HomePath(),
              "/action/home/?product=" + GetInternalNameLower() + "&version=00.01");
}

} // namespace
