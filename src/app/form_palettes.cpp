// The desktop palettes the window is shown and checked under (screenshots, readability tests).
#include "app/form_palettes.h"

#include <QApplication>
#include <QStyle>

#include <iterator>

namespace Tovanel {

namespace {
// A dark scheme that users pick in the Qt colour settings tool (its "darker" scheme), in the order of
// QPalette::ColorRole: its button face is barely lighter than its window, and its highlight a dark
// blue, so anything drawn in a faint highlight vanishes on the face.
QPalette DarkerPalette()
{
    const QRgb active[] = {0xffffff, 0x424245, 0x979797, 0x5e5c5b, 0x302f2e, 0x4a4947, 0xffffff,
                           0xffffff, 0xffffff, 0x3d3d3d, 0x222020, 0xe7e4e0, 0x12608a, 0xf9f9f9,
                           0x0986d3, 0xa70b06, 0x5c5b5a, 0xffffff, 0x3f3f36, 0xffffff};
    QPalette palette;
    for (int role = 0; role < int(std::size(active)); ++role)
        palette.setColor(QPalette::ColorRole(role), QColor(active[role]));
    palette.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 0x80));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::HighlightedText})
        palette.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    return palette;
}
} // namespace

QPalette DesktopPalette(const QString& name)
{
    QPalette palette = QApplication::style()->standardPalette();
    if (name == QLatin1String("darker"))
        return DarkerPalette();
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
