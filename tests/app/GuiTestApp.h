// The one QApplication of a gui test program, made on first use.
#pragma once

#include <QApplication>

inline QApplication& App()
{
    static int Argc = 1;
    static char Name[] = "app_gui_tests";
    static char* Argv[] = {Name, nullptr};
    static QApplication A(Argc, Argv);
    return A;
}
