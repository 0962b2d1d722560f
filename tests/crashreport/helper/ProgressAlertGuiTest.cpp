// The progress alert's window (offscreen): the bar and the status line as the
// areas move, the size kept for texts still to come, the picture column and
// its blend beside Pillow's, a picture of the wrong size, calls from another
// thread, the close it refuses, and where it stands on the screen.
#include "crashreport/helper/kelNVPrgrAlert.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/HelperTestApp.h"
#include "tests/support/TempFolder.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

namespace {

using namespace std::chrono_literals;

class CrashreportProgressAlert : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ::setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
        ::chmod(Runtime.Path().c_str(), 0700);
    }
    static QLabel* Line(const TIProgressAlert& A)
    {
        return A.Window() ? A.Window()->findChild<QLabel*>("StatusLine") : nullptr;
    }
    static QProgressBar* Bar(const TIProgressAlert& A)
    {
        return A.Window() ? A.Window()->findChild<QProgressBar*>("ProgressBar") : nullptr;
    }
    TempFolder Runtime;
};

TEST_F(CrashreportProgressAlert, WithoutAreasItSaysPleaseWait)
{
    auto A = NewProgressAlert("Information", "");
    ASSERT_TRUE(A->Show(false));
    EXPECT_FALSE(A->Show(true)); // already shown: nothing changes
    ASSERT_TRUE(Line(*A) && Bar(*A));
    EXPECT_EQ(Line(*A)->text(), "Please wait...");
    EXPECT_EQ(A->Window()->windowTitle(), "Information");
    EXPECT_EQ(Bar(*A)->minimum(), 0);
    EXPECT_EQ(Bar(*A)->maximum(), 1000);
    for (int P : {0, 250, 1000}) {
        A->SetPosition(P);
        EXPECT_EQ(Bar(*A)->value(), P);
    }
    SaveScreenshot(*A->Window(), "CrashreportProgressAlert-PleaseWait");
}

TEST_F(CrashreportProgressAlert, WeightedAreasMoveTheBar)
{
    auto A = NewProgressAlert("Sending bug report...", "");
    A->AddArea("Connecting to server...", 1);
    A->AddArea("Sending mail...", 3);
    ASSERT_TRUE(A->Show(true));
    EXPECT_EQ(Line(*A)->text(), "Connecting to server...");
    A->SetArea(1);
    A->SetPosition(500);
    EXPECT_EQ(Bar(*A)->value(), 500); // (1 + 3 * 500 / 1000) * 1000 / 4
    EXPECT_EQ(Line(*A)->text(), "Sending mail...");
    // "All done": a full bar, the last text kept.
    A->SetArea(2);
    EXPECT_EQ(Bar(*A)->value(), 1000);
    EXPECT_EQ(A->GetArea(), 1);
    EXPECT_EQ(Line(*A)->text(), "Sending mail...");
    // Out of range: nothing changes.
    A->SetArea(5);
    A->SetArea(-1);
    EXPECT_EQ(Bar(*A)->value(), 1000);
    SaveScreenshot(*A->Window(), "CrashreportProgressAlert-AllDone");
}

TEST_F(CrashreportProgressAlert, SizedForEveryTextStillToCome)
{
    const std::string Long = "Sorry, sending the bug report didn't work. The mail server did not "
                             "answer within the time allowed; the report was saved instead.";
    auto A = NewProgressAlert("Sending bug report...", "");
    A->AddArea("Prepare attachments...", 1);
    A->AddArea(Long, 1);
    ASSERT_TRUE(A->Show(false));
    const QSize Before = A->Window()->size();
    const QFontMetrics M(Line(*A)->font());
    const QRect Needed =
        M.boundingRect(QRect(0, 0, 420, 0), Qt::TextWordWrap, QString::fromStdString(Long));
    EXPECT_EQ(Before.width(), std::max(Needed.width(), 220) + 22);
    A->NextArea();
    EXPECT_EQ(A->Window()->size(), Before);
    EXPECT_GE(Line(*A)->height(), Needed.height());
    EXPECT_LE(Line(*A)->width(), 420 + 1);
    SaveScreenshot(*A->Window(), "CrashreportProgressAlert-LongText");
    // Without areas still to come the text is one line: the least width.
    auto Short = NewProgressAlert("", "");
    Short->AddArea("ok", 1);
    ASSERT_TRUE(Short->Show(false));
    EXPECT_EQ(Short->Window()->width(), 220 + 22);
}

TEST_F(CrashreportProgressAlert, PictureTakesItsColumn)
{
    auto With = NewProgressAlert("Information", "KEIPLWAIT");
    auto Wrong = NewProgressAlert("Information", "KEIWRONGSIZE");
    auto Missing = NewProgressAlert("Information", "KEINOSUCHPICTURE");
    for (auto* A : {With.get(), Wrong.get(), Missing.get()}) {
        A->AddArea("Please wait a moment...", 1);
        ASSERT_TRUE(A->Show(false));
    }
    const QRect Text = Line(*With)->geometry();
    EXPECT_EQ(Text.x(), 51);
    ASSERT_NE(With->Window()->findChild<QWidget*>("Picture"), nullptr);
    EXPECT_EQ(With->Window()->findChild<QWidget*>("Picture")->geometry(), QRect(9, 9, 32, 32));
    // Only a 32 x 32 picture gets the column.
    for (auto* A : {Wrong.get(), Missing.get()}) {
        EXPECT_EQ(A->Window()->findChild<QWidget*>("Picture"), nullptr);
        EXPECT_EQ(Line(*A)->x(), 11);
    }
    const int TextWidth =
        Line(*Wrong)
            ->fontMetrics()
            .boundingRect(QRect(0, 0, 420, 0), Qt::TextWordWrap, "Please wait a moment...")
            .width();
    EXPECT_EQ(Wrong->Window()->width(), std::max(TextWidth, 220) + 22);
    EXPECT_EQ(With->Window()->width(), std::max(TextWidth + 40, 220) + 22);
    SaveScreenshot(*With->Window(), "CrashreportProgressAlert-Picture");
}

TEST_F(CrashreportProgressAlert, PictureBlendsLikePillow)
{
    // Pillow lays the picture over the button colour by alpha / 255; the
    // alert by (alpha + 1) / 256: at most a level or two apart.
    TempFolder Temp;
    const QColor Face(212, 208, 200);
    const std::string Resource = LoadBitmapRes("KEIPLWAIT");
    ASSERT_EQ(Resource.size(), 40u + 32 * 32 * 4);
    QImage Mine(32, 32, QImage::Format_RGB32);
    Mine.fill(Qt::black);
    {
        QPainter P(&Mine);
        ASSERT_TRUE(DrawAlphaBitmapRes(Resource, P, 32, Face));
        QPainter Q(&Mine);
        EXPECT_FALSE(DrawAlphaBitmapRes(Resource, Q, 16, Face)); // the wrong size
        EXPECT_FALSE(DrawAlphaBitmapRes(Resource.substr(0, 100), Q, 32, Face));
    }
    const TCommandResult R = RunCommand(
        "/usr/bin/python3 -c \"from PIL import Image; import sys; "
        "p = Image.open(sys.argv[1]).convert('RGBA'); "
        "bg = Image.new('RGBA', p.size, (212, 208, 200, 255)); "
        "sys.stdout.write(Image.alpha_composite(bg, p).convert('RGB').tobytes().hex())\" " +
        Quote(std::string(TOLVEX_SOURCE_DIR) + "/resources/crashreport/KEIPLWAIT.png"));
    ASSERT_EQ(R.Status, 0) << R.Output;
    ASSERT_EQ(R.Output.size(), 32u * 32 * 3 * 2);
    int Worst = 0;
    for (int Y = 0; Y < 32; ++Y)
        for (int X = 0; X < 32; ++X) {
            const QRgb Px = Mine.pixel(X, Y);
            const std::size_t I = (static_cast<std::size_t>(Y) * 32 + X) * 6;
            const int Want[3] = {std::stoi(R.Output.substr(I, 2), nullptr, 16),
                                 std::stoi(R.Output.substr(I + 2, 2), nullptr, 16),
                                 std::stoi(R.Output.substr(I + 4, 2), nullptr, 16)};
            Worst = std::max({Worst, std::abs(qRed(Px) - Want[0]), std::abs(qGreen(Px) - Want[1]),
                              std::abs(qBlue(Px) - Want[2])});
        }
    EXPECT_LE(Worst, 2);
}

TEST_F(CrashreportProgressAlert, OtherThreadsReachTheWindow)
{
    auto A = NewProgressAlert("Information", "");
    A->AddArea("first", 100);
    A->AddArea("second", 100);
    ASSERT_TRUE(A->Show(false));
    std::atomic<bool> Done = false;
    std::thread Worker([&] {
        A->SetPosition(600); // queued
        A->SetArea(1);       // carried out on the window's thread
        A->SetPosition(400);
        A->SetTitle("Sending...");
        Done = true;
    });
    const auto End = std::chrono::steady_clock::now() + 10s;
    while (!Done && std::chrono::steady_clock::now() < End)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    Worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(Bar(*A)->value(), 700); // (100 + 100 * 400 / 1000) * 1000 / 200
    EXPECT_EQ(Line(*A)->text(), "second");
    EXPECT_EQ(A->Window()->windowTitle(), "Sending...");
    std::thread Closer([&] { A->Close(); });
    while (A->Window() != nullptr && std::chrono::steady_clock::now() < End)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    Closer.join();
    EXPECT_EQ(A->Window(), nullptr);
}

TEST_F(CrashreportProgressAlert, UserCannotCloseIt)
{
    auto A = NewProgressAlert("Information", "");
    ASSERT_TRUE(A->Show(true));
    QWidget* W = A->Window();
    EXPECT_FALSE(W->close());
    QCoreApplication::processEvents();
    EXPECT_TRUE(W->isVisible());
    EXPECT_EQ(A->Window(), W);
    // It has a caption but no button to close it with.
    EXPECT_FALSE(W->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(W->windowFlags() & Qt::WindowStaysOnTopHint);
    A->Close();
    EXPECT_EQ(A->Window(), nullptr);
    // Shown again after closing: a new window.
    EXPECT_TRUE(A->Show(true));
}

TEST_F(CrashreportProgressAlert, OwnerIsDisabledWhileShown)
{
    QWidget Owner;
    Owner.show();
    auto A = NewProgressAlert("Information", "");
    ASSERT_TRUE(A->Show(&Owner, true));
    EXPECT_FALSE(Owner.isEnabled());
    A->Close();
    EXPECT_TRUE(Owner.isEnabled());
}

TEST_F(CrashreportProgressAlert, StandsCentredOrStackedBottomRight)
{
    QScreen* Screen = QGuiApplication::primaryScreen();
    auto Centred = NewProgressAlert("Information", "");
    ASSERT_TRUE(Centred->Show(true));
    const QRect C = Centred->Window()->frameGeometry();
    EXPECT_NEAR(C.center().x(), Screen->geometry().center().x(), 1);
    EXPECT_NEAR(C.center().y(), Screen->geometry().center().y(), 1);
    EXPECT_EQ(Centred->Slot(), -1);

    std::vector<std::shared_ptr<TIProgressAlert>> Stack;
    for (int I = 0; I < 3; ++I) {
        Stack.push_back(NewProgressAlert("Information", ""));
        ASSERT_TRUE(Stack.back()->Show(false));
        EXPECT_EQ(Stack.back()->Slot(), I);
    }
    const QRect Work = Screen->availableGeometry();
    for (int I = 0; I < 3; ++I) {
        const QRect F = Stack[static_cast<std::size_t>(I)]->Window()->frameGeometry();
        EXPECT_EQ(F.right(), Work.right() - 2) << I;
        EXPECT_EQ(F.bottom(), Work.bottom() - 2 - I * F.height()) << I;
    }
    // A closed alert gives its place to the next.
    Stack[1]->Close();
    auto Next = NewProgressAlert("Information", "");
    ASSERT_TRUE(Next->Show(false));
    EXPECT_EQ(Next->Slot(), 1);
}

} // namespace
