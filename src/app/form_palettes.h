// The desktop palettes the window is shown and checked under: the style's own light one and a dark one.
#pragma once

#include <QPalette>
#include <QString>

namespace Tovanel {

// "light": the style's standard palette; "dark": a dark desktop theme's colours (light text on dark
// surfaces). Anything else gives the light one.
QPalette DesktopPalette(const QString& name);

} // namespace Tovanel
