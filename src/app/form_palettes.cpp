// The desktop palettes the window is shown and checked under (screenshots, readability tests).
#include "app/form_palettes.h"

#include <QApplication>
#include <QStyle>

namespace Tovanel {

QPalette DesktopPalette(const QString& name)
{
    QPalette palette = QApplication::style()->standardPalette();
    if (name != QLatin1String("dark"))
        return palette;
    // The colours of a common dark desktop theme.
    const QColor text(0xfc, 0xfc, 0xfc), dimmed(0xa1, 0xa9, 0xb1);
    struct Role { QPalette::ColorRole role; QColor colour; };
    const Role roles[] = {
        {QPalette::Window, QColor(0x2a, 0x2e, 0x32)},   {QPalette::WindowText, text},
        {QPalette::Base, QColor(0x1b, 0x1e, 0x20)},     {QPalette::AlternateBase, QColor(0x23, 0x26, 0x29)},
        {QPalette::Text, text},                         {QPalette::Button, QColor(0x31, 0x36, 0x3b)},
        {QPalette::ButtonText, text},                   {QPalette::Highlight, QColor(0x3d, 0xae, 0xe9)},
        {QPalette::HighlightedText, text},              {QPalette::ToolTipBase, QColor(0x31, 0x36, 0x3b)},
        {QPalette::ToolTipText, text},                  {QPalette::Link, QColor(0x1d, 0x99, 0xf3)},
        {QPalette::Light, QColor(0x40, 0x46, 0x4c)},    {QPalette::Midlight, QColor(0x36, 0x3b, 0x40)},
        {QPalette::Mid, QColor(0x24, 0x28, 0x2b)},      {QPalette::Dark, QColor(0x1a, 0x1d, 0x1f)},
        {QPalette::Shadow, QColor(0x10, 0x12, 0x13)},   {QPalette::PlaceholderText, dimmed},
    };
    for (const Role& r : roles)
        palette.setColor(r.role, r.colour);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, dimmed);
    return palette;
}

} // namespace Tovanel
