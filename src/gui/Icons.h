#pragma once
// The program's own pictures: the button icons, drawn in code (each with its own disabled
// image), and the program icon of the window, the tray and the message boxes, read from the
// PNGs that are also installed into the icon theme.

#include <QIcon>

namespace kova::gui {

enum class TIconKind { Add, Use, Edit, Update, Save, Load, Start, Stop, App };

QIcon MakeIcon(TIconKind kind);

}  // namespace kova::gui
