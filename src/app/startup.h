// Start-up procedures of module Main that need no window.
#pragma once

#include <QString>

namespace Tovanel::Main {
// The application title: the product name without its last word, shortened further while longer
// than 40 characters; a one-word name stays whole.
QString MakeAppTitle(const QString& productName);
// The file-system path of a special folder (0: the desktop), or the empty text when it can't be had.
QString GetSpecialFolderPath(int folderId);
// The desktop folder followed by "/". Throws Tovanel::Failure when the desktop can't be had.
QString GetDesktopFolder();
// The destination offered at a first start: the desktop folder when it exists, else the home folder,
// followed by "/". A desktop named but never made would fail the first run with "Folder does not exist".
QString GetDefaultOutputFolder();
// The maker's web site, opened now and then at start-up.
extern const char* const WebSiteAddress;
// The draw of the occasional visit: n = floor(r * 100) + 1 for 0 <= r < 1; the site opens when n is 7.
int WebSiteDraw(double r);
}
