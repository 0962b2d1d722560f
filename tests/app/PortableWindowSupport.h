// The main window in a portable program folder of the test's own: its
// settings (options, tools, presets, languages) are files the test writes
// and reads back; message boxes are recorded; the window can be closed and
// opened again as a restart of the program would.
#pragma once

#include "app/uTolvex.h"
#include "app/uTolvexFiles.h"
#include "engine/uComputerList.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QMenu>

#include "tests/app/MainWindowRows.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class PortableWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
        AppDir = Dir.Path("app");
        guitest::MakePortableProgram(AppDir, true);
        for (const char* File : {"options.xml", "tools.xml", "presets.xml"})
            std::filesystem::copy_file(std::string(std::getenv("TOLVEX_SOURCE_DIR")) +
                                           "/resources/Default/" + File,
                                       AppDir + "/Default/" + File);
    }
    void TearDown() override
    {
        if (OpenedAFile)
            SetFileDialog(std::move(OldDialog));
        Form.reset();
        guitest::ForgetPortableProgram();
        // The option globals outlive the window: the next test starts from
        // the defaults, not from what this one chose.
        ResetProgramOptions();
        SetMessageSink(std::move(OldSink));
    }

    void OpenWindow()
    {
        Form = std::make_unique<TfrmTolvex>();
        Form->resize(1000, 600);
        Form->show();
        QApplication::processEvents();
        Tree = guitest::Child<TVirtualStringTree>(*Form, "vstMacList");
    }
    // Closing the window stores the options as the end of the program does.
    void CloseWindow()
    {
        Form.reset();
        Tree = nullptr;
    }

    // The computer list file opened through File > Open.
    void OpenComputerList(const std::string& FileName)
    {
        TFileDialogFn Old =
            SetFileDialog([FileName](const TFileDialogOptions&, std::string& Name, int& Index) {
                Name = FileName;
                Index = 1;
                return true;
            });
        if (!OpenedAFile)
            OldDialog = std::move(Old);
        OpenedAFile = true;
        ASSERT_TRUE(Form->actOpenFile->Execute());
        QApplication::processEvents();
    }

    // A computer the pool hands over, in one row of its own.
    void Found(const std::string& IP, const std::string& Mac)
    {
        auto C = MakeComputer("PC", IP, true);
        C->AdapterList.push_back(MakeAdapter("", Mac, "Acme"));
        guitest::HandOver(*Form, std::move(C));
    }
    void FocusRow(TVirtualNode* Node) { guitest::SelectOnly(*Tree, Node); }
    static bool Enabled(QAction* A)
    {
        if (auto* T = qobject_cast<TAction*>(A))
            T->Update();
        return A->isEnabled();
    }
    static std::vector<std::string> Captions(const QMenu* Menu)
    {
        std::vector<std::string> List;
        for (QAction* A : Menu->actions())
            List.push_back(A->isSeparator() ? "-" : FromQ(A->text()));
        return List;
    }
    // Shows Menu where a person would open it and saves what it shows.
    void Screenshot(QMenu* Menu, const char* Name)
    {
        Menu->popup(Form->mapToGlobal(QPoint(40, 40)));
        QApplication::processEvents();
        EXPECT_TRUE(guitest::SaveScreenshot(*Menu, Name));
        Menu->hide();
    }

    TempFolder Dir;
    std::string AppDir;
    std::unique_ptr<TfrmTolvex> Form;
    TVirtualStringTree* Tree = nullptr;
    std::vector<std::string> Messages;
    TMessageSink OldSink;
    TFileDialogFn OldDialog;
    bool OpenedAFile = false;
};
