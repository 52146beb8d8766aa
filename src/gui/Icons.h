#pragma once
// The program's own pictures, drawn in code: the button icons (each with its own disabled
// image), the tray and window icon.

#include <QIcon>

namespace kova::gui {

enum class TIconKind { Add, Use, Edit, Update, Save, Load, Start, Stop, App };

QIcon MakeIcon(TIconKind kind);

}  // namespace kova::gui
