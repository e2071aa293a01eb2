// The batch command's list: files as named, folders as "Add All TIFF File(s) In Folder" takes them.
#pragma once

#include "batch/batch_options.h"

#include <QList>
#include <QString>
#include <QStringList>

class QIODevice;

namespace Tovanel {
class Dialogs;
}

namespace Tovanel::Batch {

struct Entry {
    QString path;
    QString subfolder;   // for --keep-tree: its folder relative to the folder argument it was found in
};

// The paths of standard input, one per line (or each ending in NUL); empty ones are passed over. Each
// keeps its bytes (Main::DecodeKeepingBytes), whatever they are.
QStringList ReadPathList(QIODevice& in, bool nulSeparated);

struct Gathered {
    QList<Entry> list;
    qsizetype otherExtension = 0;   // files found in the folders that no extension took
    qsizetype repeated = 0;         // paths listed again after their first place, left out
};

// The list, in the order of the paths: a folder gives every file of its tree whose extension is one of
// the options' extensions, by the folder add's rules and code (letter case ignored, any depth, link
// loops ended, "~" and hidden files left out); any other path is listed as it is, as a drop takes a
// file, so one that names nothing is reported by the run as not converted. "-" stands for the paths of
// standard input, read once. A path comes into the list once, at its first place.
Gathered GatherList(const Options& options, QIODevice& in, Dialogs& dialogs);

} // namespace Tovanel::Batch
