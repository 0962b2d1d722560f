// The program's icon, drawn rather than loaded, so that every window and the
// about box have it without image files or plug-ins.
#pragma once

#include <QIcon>
#include <QPixmap>

// The icon at Size × Size pixels.
QPixmap ProgramIconPixmap(int Size);
// The icon at the sizes the desktop asks for.
QIcon ProgramIcon();
