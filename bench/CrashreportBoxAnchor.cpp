// The anchor of the box benchmark: a bare Qt program that shows a message box
// as it starts.
#include <QApplication>
#include <QMessageBox>

int main(int argc, char** argv)
{
    QApplication App(argc, argv);
    return QMessageBox::critical(nullptr, "anchor", "A message box as the program starts.");
}
