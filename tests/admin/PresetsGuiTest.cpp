#include "admin/uDlgPresetEdit.h"
#include "admin/uDlgPresetsManage.h"
#include "admin/uPresets.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/Language.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using guitest::Child;
using guitest::ModalDriver;

namespace {

struct EnglishTexts {
    EnglishTexts() { LangChanger = std::make_unique<TLangChanger>(); }
    ~EnglishTexts() { LangChanger.reset(); }
};

std::vector<std::string> Names(const TPresets& P)
{
    std::vector<std::string> R;
    for (int I = 0; I < P.Count(); ++I)
        R.push_back(P.Items(I)->Name);
    return R;
}

TEST(PresetEditGui, CaptionOkRuleAndValuesCopiedBack)
{
    App();
    EnglishTexts English;
    int Shown = 0;
    ModalDriver Driver([&](QDialog& D) {
        ++Shown;
        auto& Dlg = dynamic_cast<TDlgPresetEdit&>(D);
        auto* Name = Child<QLineEdit>(Dlg, "edName");
        auto* Memo = Child<QPlainTextEdit>(Dlg, "mMessage");
        if (Shown == 1) {
            EXPECT_EQ(Dlg.windowTitle(), "Create preset");
            EXPECT_EQ(Child<QComboBox>(Dlg, "cmbMessageType")->count(), 4);
            Dlg.actOK()->Update();
            EXPECT_FALSE(Child<QPushButton>(Dlg, "btnOK")->isEnabled());
            Name->setText("Tom & Jerry");
            Dlg.actOK()->Update();
            EXPECT_FALSE(Dlg.actOK()->isEnabled()); // no message yet
            Memo->setPlainText("first\nsecond %user_name%");
            Child<QLineEdit>(Dlg, "edTitle")->setText("Admin");
            Child<QComboBox>(Dlg, "cmbMessageType")->setCurrentIndex(MessageTypeWarning);
            EXPECT_TRUE(Dlg.actOK()->Execute());
            guitest::SaveScreenshot(Dlg, "preset-editor");
            return Dlg.result();
        }
        EXPECT_EQ(Dlg.windowTitle(), "Edit preset");
        EXPECT_EQ(Memo->toPlainText(), "first\nsecond %user_name%");
        Name->setText("changed");
        return int(mrCancel);
    });
    std::string Name, Title, Text;
    std::int32_t Type = 0;
    ASSERT_TRUE(EditPreset(Name, Title, Text, Type));
    EXPECT_EQ(Name, "Tom & Jerry");
    EXPECT_EQ(Title, "Admin");
    EXPECT_EQ(Text, "first\r\nsecond %user_name%"); // the file's line breaks
    EXPECT_EQ(Type, MessageTypeWarning);
    // Cancel leaves the values alone.
    EXPECT_FALSE(EditPreset(Name, Title, Text, Type));
    EXPECT_EQ(Name, "Tom & Jerry");
}

TEST(PresetsManageGui, MoveRemoveAddEditAndOkOrCancel)
{
    App();
    EnglishTexts English;
    TPresets Presets;
    Presets.AddPreset("one", "T1", 1, "a");
    Presets.AddPreset("two", "T2", 2, "b");
    Presets.AddPreset("three", "T3", 3, "c");
    Presets.Modified = false;

    std::vector<TMessageBoxCall> Asked;
    TMessageSink OldSink = SetMessageSink([&](const TMessageBoxCall& C) {
        Asked.push_back(C);
        return mrYes;
    });
    bool ScreenshotTaken = false;
    ModalDriver Driver([&](QDialog& D) -> int {
        if (auto* Edit = dynamic_cast<TDlgPresetEdit*>(&D)) {
            // Add: empty fields; Edit: the preset's own.
            if (Edit->Name().empty()) {
                Child<QLineEdit>(*Edit, "edName")->setText("four");
                Child<QPlainTextEdit>(*Edit, "mMessage")->setPlainText("d");
            } else {
                EXPECT_EQ(Edit->Name(), "three");
                EXPECT_EQ(Edit->MessageType(), 3);
                Child<QLineEdit>(*Edit, "edTitle")->setText("new title");
            }
            return int(mrOk);
        }
        auto& Dlg = dynamic_cast<TDlgPresetsManage&>(D);
        auto* Tree = Child<TVirtualStringTree>(Dlg, "vstPresets");
        Dlg.show();
        const auto Row = [&] { return Tree->IndexOf(Tree->FocusedNode()).row(); };
        EXPECT_EQ(Row(), 0);
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "one");
        Dlg.actMoveUP()->Update();
        Dlg.actMoveDown()->Update();
        EXPECT_FALSE(Dlg.actMoveUP()->isEnabled());
        EXPECT_TRUE(Dlg.actMoveDown()->isEnabled());
        if (!ScreenshotTaken)
            ScreenshotTaken = guitest::SaveScreenshot(Dlg, "presets-manager");

        EXPECT_TRUE(Dlg.actMoveDown()->Execute()); // two one three
        EXPECT_EQ(Row(), 1);
        EXPECT_TRUE(Dlg.actMoveDown()->Execute()); // two three one
        Dlg.actMoveDown()->Update();
        EXPECT_FALSE(Dlg.actMoveDown()->isEnabled());
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "one");

        EXPECT_TRUE(Dlg.actRemove()->Execute()); // two three; "three" focused
        EXPECT_EQ(Tree->RootNodeCount(), 2);
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "three");
        EXPECT_TRUE(Dlg.actEdit()->Execute());
        EXPECT_TRUE(Dlg.actAdd()->Execute()); // two three four
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "four");
        EXPECT_EQ(Row(), 2);
        return Asked.size() == 1 ? int(mrCancel) : int(mrOk);
    });

    // Cancelled: nothing changes.
    ManagePresets(Presets);
    EXPECT_EQ(Names(Presets), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_FALSE(Presets.Modified);
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_EQ(Asked[0].Text, "Do you really want to remove preset \"one\"?");
    EXPECT_EQ(Asked[0].Caption, "Remove preset");
    EXPECT_EQ(Asked[0].Icon, TMsgIcon::Warning);
    EXPECT_EQ(Asked[0].Buttons, TMsgButtons::YesNo);

    ManagePresets(Presets);
    EXPECT_EQ(Names(Presets), (std::vector<std::string>{"two", "three", "four"}));
    EXPECT_EQ(Presets.Items(1)->Title, "new title");
    EXPECT_EQ(Presets.Items(2)->Text, "d");
    EXPECT_TRUE(Presets.Modified);
    EXPECT_TRUE(ScreenshotTaken);
    SetMessageSink(OldSink);
}

TEST(PresetsManageGui, EmptyListOnlyAdds)
{
    App();
    TPresets Presets;
    TDlgPresetsManage Dlg(Presets, nullptr);
    for (TAction* A : {Dlg.actMoveUP(), Dlg.actMoveDown(), Dlg.actEdit(), Dlg.actRemove()}) {
        A->Update();
        EXPECT_FALSE(A->isEnabled()) << A->objectName().toStdString();
    }
    Dlg.actAdd()->Update();
    EXPECT_TRUE(Dlg.actAdd()->isEnabled());
    // An editor closed with an empty message adds nothing.
    ModalDriver Driver([](QDialog& D) {
        Child<QLineEdit>(D, "edName")->setText("x");
        return int(mrOk);
    });
    Dlg.actAdd()->Execute();
    EXPECT_EQ(Presets.Count(), 0);
}

} // namespace
