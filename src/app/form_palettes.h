// The desktop palettes the window is shown and checked under: the style's own light one and two dark ones.
#pragma once

#include <QPalette>
#include <QString>

namespace Tovanel {

// "light": the style's standard palette; "dark": a dark desktop theme's colours (light text on dark
// surfaces); "darker": a darker scheme whose button face and window differ little. Anything else gives
// the light one.
QPalette DesktopPalette(const QString& name);

} // namespace Tovanel
