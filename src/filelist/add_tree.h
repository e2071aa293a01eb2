// What the folder add, folder drops and the batch command share: the files of a scanned folder tree.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace Tovanel {

class Dialogs;
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

// An extension answer without its leading dot (".tif" reads naturally too).
QString WithoutLeadingDot(QString extension);

// A folder tree as the scan gives it: start (ending in "/") followed by every subfolder to any depth,
// breadth-first, each ending in "/". The scan's own reports go through dialogs. Subfolders whose names
// are not text are passed over; undecodable (when given) gets their paths' bytes.
QStringList ScanFolderTree(Dialogs& dialogs, ErrorTrap& trap, const QString& start,
                           QList<QByteArray>* undecodable = nullptr);

// Hands add, folder by folder in list order, every file whose extension matches one of extensions
// (AddFolder::ListByExtension) that the intake takes, each path normalised. Statement numbers 120 to 136
// of the trap. Files whose names are not text are passed over; undecodable (when given) gets their
// paths' bytes. otherExtension (when given) grows by the files that no extension took.
void AddFolderListFiles(ErrorTrap& trap, const QStringList& folders, const QStringList& extensions,
                        const std::function<void(const QString&)>& add, QList<QByteArray>* undecodable = nullptr,
                        qsizetype* otherExtension = nullptr);

// Whether a file found in a folder is taken: its name doesn't begin with "~", it still is a file, and it
// isn't an ordinary hidden file (attributes exactly hidden + archive). A file that vanished is not taken.
bool TakesFoundFile(const QString& name, const QString& path);

} // namespace Intake
} // namespace Tovanel
