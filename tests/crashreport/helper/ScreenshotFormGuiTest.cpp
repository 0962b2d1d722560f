// The screenshot form (offscreen, the shipped form with its handler): a click
// on the picture hands "screenShot.bmp" to the desktop's program for BMP
// pictures, here a fake editor made the default for image/bmp in a temporary
// XDG_DATA_HOME with xdg-mime; what it saves (Pillow writes the picture)
// becomes the exception's screenshot at the form's next event, an empty file
// leaves the old one, and the form's end removes the file and keeps the
// "attach" switch.
#include "crashreport/helper/kelExceptFormHandlers.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/kelExceptTemp.h"
#include "crashreport/kelNVLayout.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/AssistantTestSupport.h"

#include <QAbstractButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

class CrashreportScreenshotForm : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        InstallFormHandlers();
        ::chmod(Home.Path().c_str(), 0700);
        const std::string Data = Home.Path("data");
        std::filesystem::create_directories(Data + "/applications");
        std::filesystem::create_directories(Home.Path("dirs"));
        // The editor: Pillow paints a picture of the size and colour the
        // test asks for into the file (or empties it), then says it is done.
        TempFolder::Write(Editor(),
                          "#!/usr/bin/python3\n"
                          "import sys\n"
                          "from PIL import Image\n"
                          "job = open(sys.argv[0] + '.job').read().split()\n"
                          "if job[0] == 'empty':\n"
                          "    open(sys.argv[1], 'wb').close()\n"
                          "else:\n"
                          "    w, h, r, g, b = map(int, job)\n"
                          "    Image.new('RGB', (w, h), (r, g, b)).save(sys.argv[1], 'BMP')\n"
                          "open(sys.argv[0] + '.done', 'a').write(sys.argv[1] + '\\n')\n");
        ::chmod(Editor().c_str(), 0755);
        TempFolder::Write(Data + "/applications/tolvex-test-editor.desktop",
                          "[Desktop Entry]\nType=Application\nName=Test editor\nExec=" + Editor() +
                              " %f\nMimeType=image/bmp;\n");
        auto Set = [this](const char* Name, const std::string& Value) {
            Env.push_back(std::make_unique<TEnvVar>(Name, Value));
        };
        Set("XDG_DATA_HOME", Data);
        Set("XDG_CONFIG_HOME", Home.Path("config"));
        Set("XDG_DATA_DIRS", Home.Path("dirs"));
        Set("XDG_RUNTIME_DIR", Home.Path());
        Set("XDG_CURRENT_DESKTOP", "");
        // xdg-open asks the desktop's defaults only where there is a display;
        // the offscreen tests have none, and the editor needs none.
        if (std::getenv("DISPLAY") == nullptr)
            Set("DISPLAY", ":tolvex-test");
        RemoveExceptTempFolder(); // one of another runtime folder
        const auto R = RunCommand("xdg-mime default tolvex-test-editor.desktop image/bmp 2>&1");
        ASSERT_EQ(R.Status, 0) << R.Output;

        auto Picture = NewNVBitmap(60, 40);
        for (int I = 0; I < 60 * 40; ++I) { // blue, green, red
            Picture->Pixels()[4 * I] = 200;
            Picture->Pixels()[4 * I + 1] = 40;
            Picture->Pixels()[4 * I + 2] = 30;
        }
        Mirror = std::make_shared<TExceptMirror>(SettingsStream({}));
        Mirror->SetScreenShot(Picture, false);
        Mirror->SetAttachScreenShot(true, false);
    }
    void TearDown() override { RemoveExceptTempFolder(); }

    std::string Editor() const { return Home.Path("editor"); }
    void EditorJob(const std::string& Job) const
    {
        TempFolder::Write(Editor() + ".job", Job);
        std::filesystem::remove(Editor() + ".done");
    }
    // The editor has saved, and the opener that started it has ended and was
    // reaped (this process has no child left).
    bool EditorDone() const
    {
        const std::string Children = "/proc/self/task/" + std::to_string(::getpid()) + "/children";
        return QTest::qWaitFor(
            [&] {
                return std::filesystem::exists(Editor() + ".done") &&
                       TempFolder::Read(Children).empty();
            },
            10000);
    }

    // Where the picture stands: 12 below the label, at 21, inside its
    // frame of 8 (4 a side).
    static QPoint PictureAt(QDialog& D)
    {
        QWidget* Label = ItemWidget(D, "ScrShotLabel");
        return QPoint(21 + 4, Label->y() + Label->height() + 12 + 4);
    }
    static TNVColor PictureColour(QDialog& D)
    {
        const QPoint P = PictureAt(D) + QPoint(5, 5);
        return static_cast<TNVColor>(D.grab().toImage().pixel(P) & 0xFFFFFF);
    }

    TempFolder Home;
    std::vector<std::unique_ptr<TEnvVar>> Env;
    std::shared_ptr<TExceptMirror> Mirror;
};

TEST_F(CrashreportScreenshotForm, EditedPictureBecomesTheScreenshot)
{
    auto A = NewAssistant("Screenshot", {ShippedForm("ScrShotForm")}, Mirror);
    INVForm& Form = *A->Form(0);
    const std::string File = ExceptTempFolder() + "/screenShot.bmp";
    TDialogSteps Steps({[&](QDialog& D) {
        INVImage* Image = Form.FindImage("ScrShotImg");
        EXPECT_EQ(Image->Bitmap(), Mirror->ScreenShot());
        EXPECT_TRUE(ItemWidget<QAbstractButton>(D, "AttachCheck")->isChecked());
        EXPECT_EQ(PictureColour(D), 0x1E28C8u);
        SaveScreenshot(D, "CrashreportScreenshotForm");

        // The editor saves a red picture of another size.
        EditorJob("50 20 220 30 40");
        QTest::mouseClick(&D, Qt::LeftButton, {}, PictureAt(D) + QPoint(10, 10));
        ASSERT_TRUE(EditorDone());
        EXPECT_TRUE(std::filesystem::exists(File));
        // The next event of the form takes it: here a click on the switch.
        Click(D, "AttachCheck");
        ASSERT_NE(Mirror->ScreenShot(), nullptr);
        EXPECT_EQ(Mirror->ScreenShot()->GetWidth(), 50);
        EXPECT_EQ(Mirror->ScreenShot()->GetHeight(), 20);
        EXPECT_TRUE(Mirror->ScreenShotChanged());
        EXPECT_EQ(Image->Bitmap(), Mirror->ScreenShot());
        EXPECT_EQ(PictureColour(D), 0xDC1E28u);
        SaveScreenshot(D, "CrashreportScreenshotForm-Edited");

        // An editor that leaves an empty file changes nothing.
        const auto Before = Mirror->ScreenShot();
        EditorJob("empty");
        QTest::mouseClick(&D, Qt::LeftButton, {}, PictureAt(D) + QPoint(12, 8));
        ASSERT_TRUE(EditorDone());
        QTest::qWait(700); // the form's timer looks at the file meanwhile
        EXPECT_EQ(Mirror->ScreenShot(), Before);
        EXPECT_EQ(Image->Bitmap(), Before);
        Click(D, "ContinueBtn");
    }});
    EXPECT_EQ(A->ShowModal(nullptr), nmrNext);
    // The file goes with the form; the switch the user turned off stays off.
    EXPECT_FALSE(std::filesystem::exists(File));
    EXPECT_FALSE(Mirror->AttachScreenShot());
    EXPECT_TRUE(Mirror->AttachScreenShotChanged());
}

} // namespace
