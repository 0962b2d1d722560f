// The contact form (offscreen, the shipped form with its handler): the mail
// address rule on the cases it was made for and on common real addresses; what
// "MemCheck" remembers and forgets, read back by Python's configparser; the
// exception's "MailFrom" with and without a name; an address being typed
// holding back "Next >".
#include "crashreport/helper/kelExceptFormHandlers.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/AssistantTestSupport.h"

#include <QAbstractButton>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace {

TEST(CrashreportContactForm, MailAddressRule)
{
    const struct {
        const char* Address;
        bool Valid;
    } Cases[] = {
        // The rule's own cases.
        {"a@b.c", true},
        {"@b.c", false},
        {"a@.c", false},
        {"a@b.", false},
        {".a@b.c", false},
        {"a b@c.d", false},
        {"a@b@c.d", false},
        {"", false},
        {" a@b.c", false},
        {"a@b.c ", false},
        {"a@bc", false},
        // Addresses people have.
        {"first.last@example.org", true},
        {"user+tag@example.co.uk", true},
        {"o'brien@example.ie", true},
        {"under_score@mail-server.example.net", true},
        {"x@123.45.67.89", true},
        {"info@xn--mller-kva.example", true},
        {"j\xc3\xbcrgen@m\xc3\xbcller.de", true},
        {"tolvex-bugs@sub.domain.example.com", true},
        // Not addresses.
        {"a@b.c>", false},
        {"name <a@b.c>", false},
        {"a,b@c.d", false},
        {"a@b..c", true}, // two dots pass the rule as written
        {"a@b.c;", false},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(IsValidEmailAddress(C.Address), C.Valid) << C.Address;
}

class CrashreportContactFormFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        InstallFormHandlers();
        Mirror = std::make_shared<TExceptMirror>(SettingsStream({}));
    }

    std::uint8_t Run(TDialogSteps::TStep Step)
    {
        auto A = NewAssistant("Contact", {ShippedForm("ContactForm")}, Mirror);
        TDialogSteps Steps({std::move(Step)});
        return A->ShowModal(nullptr);
    }

    // [ContactForm] as Python's configparser reads the file, as JSON.
    std::string Remembered() const
    {
        const auto R = RunCommand(
            "/usr/bin/python3 -c 'import configparser, json, sys\n"
            "c = configparser.ConfigParser(interpolation=None)\n"
            "c.optionxform = str\n"
            "c.read(sys.argv[1], encoding=\"utf-8\")\n"
            "print(json.dumps(dict(c[\"ContactForm\"]) if c.has_section(\"ContactForm\") else None,"
            " sort_keys=True, ensure_ascii=False))' " +
            Quote(Config.Path("tolvex/crashreport.ini")));
        EXPECT_EQ(R.Status, 0) << R.Output;
        return R.Output;
    }

    TempFolder Config;
    TEnvVar ConfigHome{"XDG_CONFIG_HOME", Config.Path()};
    std::shared_ptr<TExceptMirror> Mirror;
};

TEST_F(CrashreportContactFormFlow, RememberForgetAndMailFrom)
{
    EXPECT_EQ(ContactFormSettingsFile(), Config.Path("tolvex/crashreport.ini"));
    // First time: nothing remembered; the user fills in and asks to remember.
    EXPECT_EQ(Run([](QDialog& D) {
                  EXPECT_EQ(ItemWidget<QLineEdit>(D, "NameEdit")->text(), "");
                  EXPECT_FALSE(ItemWidget<QAbstractButton>(D, "MemCheck")->isChecked());
                  Type(ItemWidget(D, "NameEdit"), "J\xc3\xbcrgen M\xc3\xbcller");
                  QTest::keyClicks(ItemWidget(D, "EmailEdit"), "jm@example.de");
                  Click(D, "MemCheck");
                  Click(D, "ContinueBtn");
              }),
              nmrNext);
    EXPECT_EQ(Remembered(), "{\"RememberEmail\": \"jm@example.de\", \"RememberName\": "
                            "\"J\xc3\xbcrgen M\xc3\xbcller\"}\n");
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"),
              "J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>");
    EXPECT_EQ(Mirror->ChangedSettings(), std::vector<std::string>{"MailFrom"});

    // Next time both come back; the user clears the name and forgets them.
    EXPECT_EQ(Run([](QDialog& D) {
                  EXPECT_EQ(ItemWidget<QLineEdit>(D, "NameEdit")->text(),
                            "J\xc3\xbcrgen M\xc3\xbcller");
                  EXPECT_EQ(ItemWidget<QLineEdit>(D, "EmailEdit")->text(), "jm@example.de");
                  EXPECT_TRUE(ItemWidget<QAbstractButton>(D, "MemCheck")->isChecked());
                  ItemWidget<QLineEdit>(D, "NameEdit")->clear();
                  Click(D, "MemCheck");
                  Click(D, "ContinueBtn");
              }),
              nmrNext);
    EXPECT_EQ(Remembered(), "null\n");
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"), "jm@example.de");

    // Cancelled: nothing is written, "MailFrom" stays.
    EXPECT_EQ(Run([](QDialog& D) {
                  QTest::keyClicks(ItemWidget(D, "EmailEdit"), "other@example.org");
                  Click(D, "MemCheck");
                  Click(D, "CancelBtn");
              }),
              nmrCancel);
    EXPECT_EQ(Remembered(), "null\n");
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"), "jm@example.de");
}

TEST_F(CrashreportContactFormFlow, AnAddressBeingTypedHoldsBackNext)
{
    EXPECT_EQ(Run([](QDialog& D) {
                  QWidget* Next = ItemWidget(D, "ContinueBtn");
                  auto* Email = ItemWidget<QLineEdit>(D, "EmailEdit");
                  EXPECT_TRUE(Next->isEnabled()); // both may stay empty
                  QTest::keyClicks(Email, "ada@example");
                  EXPECT_FALSE(Next->isEnabled());
                  EXPECT_EQ(Email->palette().color(QPalette::Text), QColor(128, 0, 0));
                  QTest::keyClicks(Email, ".org");
                  EXPECT_TRUE(Next->isEnabled());
                  EXPECT_EQ(Email->palette().color(QPalette::Text), QColor(0, 128, 0));
                  Email->clear();
                  EXPECT_TRUE(Next->isEnabled());
                  QTest::keyClicks(ItemWidget(D, "NameEdit"), "Ada");
                  SaveScreenshot(D, "CrashreportContactForm");
                  Click(D, "ContinueBtn");
              }),
              nmrNext);
    // No address: "MailFrom" is not touched, and nothing was remembered.
    EXPECT_TRUE(Mirror->ChangedSettings().empty());
    EXPECT_EQ(Mirror->Settings().GetTextSetting("MailFrom"), "");
    EXPECT_EQ(Remembered(), "null\n");
}

} // namespace
