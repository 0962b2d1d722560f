// Text from an opened file reaches the user as text: a computer list whose
// MAC is markup naming a named pipe as an image, and a link. F2's prompt
// and the cell's tool tip show it as it stands and never open the pipe (it
// would block the program for good).
#include "tests/app/PortableWindowSupport.h"
#include "tests/support/FifoTrap.h"

#include <QDialog>
#include <QHelpEvent>
#include <QInputDialog>
#include <QTest>
#include <QToolTip>

namespace {

using namespace guitest;

class UntrustedText : public PortableWindow {};

// Text as the computer list holds it (XML).
std::string XmlText(const std::string& Text)
{
    std::string Out;
    for (const char C : Text)
        Out += C == '&'   ? std::string("&amp;")
               : C == '<' ? std::string("&lt;")
               : C == '>' ? std::string("&gt;")
                          : std::string(1, C);
    return Out;
}

TEST_F(UntrustedText, AMarkedUpMacFromAnOpenedListIsShownAsTextByF2AndItsHint)
{
    TFifoTrap Fifo(Dir.Path("fifo"));
    ASSERT_TRUE(Fifo.Ready());
    const std::string Mac =
        "<img src=\"" + Fifo.Path + "\"><a href=\"file:///etc/passwd\">02-00-00-00-00-09</a>";
    TempFolder::Write(Dir.Path("list.xml"),
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComputerList>\n"
                      "<Computer><Name>PC1</Name><IP>10.0.0.9</IP><Single>True</Single>"
                      "<AdapterList><Adapter><Name/><Number>" +
                          XmlText(Mac) +
                          "</Number><Vendor/></Adapter></AdapterList></Computer>\n"
                          "</ComputerList>\n");
    OpenWindow();
    OpenComputerList(Dir.Path("list.xml"));
    ASSERT_EQ(Tree->RootNodeCount(), 1) << "the file was not read";
    TVirtualNode* Row = Tree->Child(nullptr, 0);
    ASSERT_EQ(Tree->Text(Row, 2), Mac);
    FocusRow(Row);

    // F2 on the row: the prompt is shown, laid out and painted.
    std::string Prompt;
    int Prompts = 0;
    ModalDriver D([&](QDialog& Dlg) {
        ++Prompts;
        Dlg.show();
        QApplication::processEvents();
        EXPECT_TRUE(SaveScreenshot(Dlg, "EditCommentOfAMarkedUpMac"));
        Prompt = FromQ(static_cast<QInputDialog&>(Dlg).labelText());
        return mrCancel;
    });
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get(), 5000));
    Tree->setFocus();
    Form->actEditComment->Update(); // as the idle loop would
    QTest::keyClick(Tree, Qt::Key_F2);
    ASSERT_EQ(Prompts, 1) << "F2 opened no prompt";
    EXPECT_EQ(Prompt, "Comment for " + Mac + ":");

    // The hint of the MAC cell, where the pointer rests on it.
    const QRect Cell = Tree->visualRect(Tree->IndexOf(Row, 2));
    ASSERT_TRUE(Cell.isValid());
    QHelpEvent Hover(QEvent::ToolTip, Cell.center(), Tree->viewport()->mapToGlobal(Cell.center()));
    QApplication::sendEvent(Tree->viewport(), &Hover);
    QApplication::processEvents();
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_NE(QToolTip::text().indexOf("&lt;img"), -1) << FromQ(QToolTip::text());
    QToolTip::hideText();

    EXPECT_FALSE(Fifo.Opened()) << "the markup's image was loaded";
    EXPECT_TRUE(Messages.empty());
}

} // namespace
