// What the conversion run needs from whoever starts it: the list, the destination, progress, pointer, dialogs.
#pragma once

#include <QString>
#include <QtGlobal>

class QObject;

namespace Tovanel {

class Dialogs;
struct FileOutcome;
class NameTemplate;
class PageSelection;

// Mouse pointer values of the window and of the list.
enum Pointer : int { PointerDefault = 0, PointerArrow = 1, PointerHourglass = 11, PointerCustom = 99 };

// Where the outputs go: the chosen folder, beside each source, or neither option selected (the run
// then keeps the output base of the file before).
enum class Destination { Folder, BesideSource, None };

// The run reads and shows everything through this, so it can run without a window.
class RunHost {
public:
    virtual ~RunHost() = default;

    // The file list, addressed by 1-based position.
    virtual int listCount() const = 0;
    virtual QString listText(int position) const = 0;
    virtual Destination destination() const = 0;
    // The destination folder as typed (read whatever the destination choice).
    virtual QString destinationFolder() const = 0;

    virtual void setProgressValue(double value) = 0;
    virtual void setProgressText(const QString& text) = 0;
    virtual void setMousePointer(int value) = 0;

    // Message boxes and the error trap's reports go through these dialogs, owned by dialogOwner().
    virtual Dialogs& dialogs() = 0;
    virtual QObject* dialogOwner() = 0;
    // Lets the user interface catch up between files.
    virtual void processEvents() = 0;

    // Whether the entry at position is converted by this run. Every entry is named all the same, so
    // outputs keep the names a run over the whole list gives them (a shard of a list, a resumed run).
    virtual bool convertsEntry(int position) const
    {
        Q_UNUSED(position);
        return true;
    }
    // With the folder destination, the folder under destinationFolder() (relative, "/" between its
    // parts) that the entry's outputs go into; the run makes it when the entry's first output comes.
    // Empty for the destination folder itself.
    virtual QString outputSubfolder(int position) const
    {
        Q_UNUSED(position);
        return QString();
    }
    // True when " (k)" names are decided from the list alone, never from the files already in the
    // destination: every shard of a list and every resumed run must then name each page alike,
    // whatever the others have written meanwhile.
    virtual bool namesFromListOnly() const { return false; }
    // The output base decided for the entry at position before the run (a plan made over a whole list),
    // which its outputs take as it is; empty to decide it here. plannedOwnBase: the entry's own base,
    // when an earlier source of the list had it.
    virtual QString plannedBase(int position) const
    {
        Q_UNUSED(position);
        return QString();
    }
    virtual QString plannedOwnBase(int position) const
    {
        Q_UNUSED(position);
        return QString();
    }
    // The template the outputs are named by; none for the window's names.
    virtual const NameTemplate* nameTemplate() const { return nullptr; }
    // The pages of each file to convert; none for every page.
    virtual const PageSelection* pageSelection() const { return nullptr; }
    // False when the PNGs hold pixels, ICC profile and resolution only, not the pages' metadata.
    virtual bool keepsMetadata() const { return true; }
    // Tool calls at once; 0 for the cores this process may use.
    virtual int jobs() const { return 0; }
    // Told of each converted entry as it ends, in list order.
    virtual void fileFinished(int position, const FileOutcome& outcome)
    {
        Q_UNUSED(position);
        Q_UNUSED(outcome);
    }
};

} // namespace Tovanel
