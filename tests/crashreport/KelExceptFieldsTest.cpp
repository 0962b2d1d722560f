// The report's field and attachment lists: their edge cases, the lock order
// with an owning report, and the texts they keep in their settings.
#include "crashreport/kelExceptFields.h"
#include "crashreport/kelExceptSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::shared_ptr<TIKESettings> Settings(const std::string& Fields, const std::string& Attachs)
{
    return NewSettingsFromStream(WriteSettingsStream(
        {{"AddFields", skText, false, 0, Fields}, {"AddAttachs", skText, false, 0, Attachs}}));
}

std::string Names(IKEFields& F)
{
    std::string S;
    for (int I = 0; I < F.ItemCount(); ++I)
        S += (I ? "," : "") + F.GetName(I) + "=" + F.GetValue(F.GetName(I));
    return S;
}

// Records the calls of a report that owns a fields list.
class TRecordingReport : public IKEFieldsOwnerReport {
public:
    void LockReport() override { Calls += "L"; }
    void UnlockReport() override { Calls += "U"; }
    void FieldsChanged() override { Calls += "C"; }
    std::string Calls;
};

TEST(CrashreportFields, SettingByName)
{
    const auto F = NewFields({}, {}, "Product=Tolvex|Version=1.0|Empty=|NoValue");
    EXPECT_EQ(Names(*F), "Product=Tolvex,Version=1.0");
    const struct {
        const char* Name;
        const char* Value;
        const char* After;
    } Steps[] = {
        {"version", "1.0", "Product=Tolvex,version=1.0"},
        {"VERSION", "  ", "Product=Tolvex"},
        {"Contact", "a@b", "Product=Tolvex,Contact=a@b"},
        {"Missing", "", "Product=Tolvex,Contact=a@b"},
        {"product", "Other", "product=Other,Contact=a@b"},
    };
    for (const auto& S : Steps) {
        F->SetValue(S.Name, S.Value);
        EXPECT_EQ(Names(*F), S.After) << S.Name;
    }
    F->AllowSettingByName(false);
    F->SetValue("Blocked", "x");
    F->SetValue("Contact", "");
    EXPECT_EQ(F->IndexOf("blocked"), -1);
    EXPECT_EQ(F->IndexOf("CONTACT"), 1);
}

TEST(CrashreportFields, InsertionPositionMovesBackWithADeleteBeforeIt)
{
    const auto F = NewFields({}, {}, "A=1|B=2|C=3|D=4");
    F->SetInsertPos(2);
    F->SetValue("X", "x");
    EXPECT_EQ(Names(*F), "A=1,B=2,X=x,C=3,D=4");
    F->Delete(0); // before the position: it moves back to 1
    F->SetValue("Y", "y");
    EXPECT_EQ(Names(*F), "B=2,Y=y,X=x,C=3,D=4");
    F->Delete(3); // after it: it stays
    F->SetValue("Z", "z");
    EXPECT_EQ(Names(*F), "B=2,Z=z,Y=y,X=x,D=4");
    F->SetInsertPos(0);
    F->SetValue("End", "e");
    EXPECT_EQ(F->GetName(F->ItemCount() - 1), "End");
    F->Insert(99, "Last", "l");
    F->Insert(-5, "First", "f");
    EXPECT_EQ(F->GetName(0), "First");
    EXPECT_EQ(F->GetName(F->ItemCount() - 1), "Last");
    EXPECT_TRUE(F->DeleteByName("first"));
    EXPECT_FALSE(F->DeleteByName("first"));
    EXPECT_EQ(F->GetName(99), "");
}

TEST(CrashreportFields, ChangesAreWrittenBackAndReported)
{
    const auto S = Settings("Product=Tolvex", "");
    const auto F = S->AddFields();
    EXPECT_EQ(F, S->AddFields());
    F->SetValue("User", "jo");
    F->SetName(0, "Program");
    EXPECT_EQ(S->GetRawTextSetting("AddFields"), "Program=Tolvex|User=jo");
    const auto Copy = F->Clone();
    Copy->SetValue("Clone", "only");
    EXPECT_EQ(S->GetRawTextSetting("AddFields"), "Program=Tolvex|User=jo");
    EXPECT_EQ(Copy->ItemCount(), 3);

    const auto Report = std::make_shared<TRecordingReport>();
    const auto Owned = NewFields(Report, {}, "A=1");
    EXPECT_EQ(Report->Calls, "");
    Owned->SetValue("B", "2");
    EXPECT_EQ(Report->Calls, "LCU");
    Report->Calls.clear();
    Owned->Lock();
    Owned->Delete(0);
    Owned->Unlock();
    EXPECT_EQ(Report->Calls, "LLCUU");
    Owned->ClearOwnerReport();
    Owned->SetValue("C", "3");
    EXPECT_EQ(Report->Calls, "LLCUU");
}

TEST(CrashreportAttachments, DefaultNamesAndWriteBack)
{
    const auto S = Settings("", "/var/log/app.log|/tmp/core>core.bin>cores>upload|");
    const auto A = S->AddAttachs();
    ASSERT_EQ(A->ItemCount(), 2);
    const struct {
        const char* File;
        const char* SendAs;
        const char* Zip;
        const char* Field;
    } Expected[] = {
        {"/var/log/app.log", "app.log", "app", ""},
        {"/tmp/core", "core.bin", "cores", "upload"},
        {"archive.tar.gz", "archive.tar.gz", "archive.tar", ""},
        {"/srv/README", "README", "README", ""},
    };
    A->Add("archive.tar.gz");
    A->Add("/srv/README");
    A->Add("");
    ASSERT_EQ(A->ItemCount(), 4);
    for (int I = 0; I < 4; ++I) {
        const TAttachment T = A->GetItem(I);
        EXPECT_EQ(T.File, Expected[I].File);
        EXPECT_EQ(T.SendAs, Expected[I].SendAs);
        EXPECT_EQ(T.ZipName, Expected[I].Zip);
        EXPECT_EQ(T.Field, Expected[I].Field);
    }
    const std::string Text = S->GetRawTextSetting("AddAttachs");
    EXPECT_EQ(Text, "/var/log/app.log>app.log>app>|/tmp/core>core.bin>cores>upload|"
                    "archive.tar.gz>archive.tar.gz>archive.tar>|/srv/README>README>README>");
    // The text reads back to the same list.
    const auto Again = NewAttachments({}, Text);
    ASSERT_EQ(Again->ItemCount(), 4);
    EXPECT_EQ(Again->GetItem(1).Field, "upload");

    EXPECT_FALSE(A->DeleteByFile("/TMP/CORE"));
    EXPECT_TRUE(A->DeleteByFile("/tmp/core"));
    const auto Copy = A->Clone();
    A->Clear();
    EXPECT_EQ(S->GetRawTextSetting("AddAttachs"), "");
    EXPECT_EQ(Copy->ItemCount(), 3);
    A->ClearOwnerSettings();
    A->Add("/after/detach");
    EXPECT_EQ(S->GetRawTextSetting("AddAttachs"), "");
    EXPECT_EQ(A->GetItem(5).File, "");
}

} // namespace
