// What the folder add and folder drops share: the files of a scanned folder tree appended to the list.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

namespace Tovanel {

class Form1;
class ErrorTrap;

namespace Intake {

// Keeps the window answering during long intake work: pending events run every few milliseconds, less
// often as handling them grows dearer.
class EventPacer {
public:
    EventPacer();
    void tick();
private:
    QElapsedTimer sinceLast_;
    qint64 interval_ = 10;
};

// A folder tree as the scan gives it: start (ending in "/") followed by every subfolder to any depth,
// breadth-first, each ending in "/". Subfolders whose names are not text are passed over; undecodable
// (when given) gets their paths' bytes.
QStringList ScanFolderTree(Form1& form, ErrorTrap& trap, const QString& start,
                           QList<QByteArray>* undecodable = nullptr);

// Appends, folder by folder in list order, every file matching pattern that the intake takes, each
// path normalised. Statement numbers 120 to 136 of the trap. Files whose names are not text are
// passed over; undecodable (when given) gets their paths' bytes.
void AddFolderListFiles(Form1& form, ErrorTrap& trap, const QStringList& folders, const QString& pattern,
                        QList<QByteArray>* undecodable = nullptr);

// Whether a file found in a folder is taken: its name doesn't begin with "~", it still is a file, and it
// isn't an ordinary hidden file (attributes exactly hidden + archive). A file that vanished is not taken.
bool TakesFoundFile(const QString& name, const QString& path);

} // namespace Intake
} // namespace Tovanel
