// The one QApplication of a gui test program, made on first use.
#pragma once

#include <QApplication>

inline QApplication& App()
{
    static int Argc = 1;
    static char Name[] = "app_gui_tests";
    static char* Argv[] = {Name, nullptr};
    // Never destroyed: at exit Qt's own globals (the input devices that a
    // shown window's enter event registers) may be gone before a static
    // application, and its destruction would crash the finished program.
    static QApplication* A = new QApplication(Argc, Argv);
    return *A;
}
