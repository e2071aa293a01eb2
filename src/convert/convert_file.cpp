// One file of the run: copy into the run's own folder, split into pages, one PNG per page, clean up.
#include "form1.h"

#include "addfolder.h"
#include "convert/procs/conversion.h"
#include "error_trap.h"
#include "main_procs.h"
#include "ui_form1.h"

#include <QFileInfo>

namespace Tovanel {

using namespace Convert;

void Form1::ConvertFile(ErrorTrap& trap, const QString& source)
{
    QString t0, copy, extension, splitter;
    bool ownCopy = false;
    trap.run(142, [&] { t0 = runFolder_.path(); });
    const QString marker = t0.isEmpty() ? QString() : t0 + QLatin1Char('/') + kMarker;
    trap.run(144, [&] { Main::WriteTextFile(QStringLiteral("Tovanel"), TempPath(t0, kMarker)); });

    // Pages left by an interrupted run must never be taken for this file's pages.
    QStringList stale;
    trap.run(146, [&] {
        ClearLeftovers(t0);
        stale = t0.isEmpty() ? QStringList() : AddFolder::GetFolderFiles(t0, kPagePattern);
    });
    for (const QString& name : stale)
        trap.run(150, [&] {
            if (!SameFile(TempPath(t0, name), source))
                Main::DeleteFileQuiet(TempPath(t0, name));
        });

    trap.run(156, [&] {
        copy = TempPath(t0, Main::GetFileNamePart(source));
        // A source already lying in the temporary folder is its own copy: never copied onto, never deleted.
        ownCopy = SameFile(source, copy);
        // Any other copy named like the page files would be taken for a page.
        if (!ownCopy)
            copy = TempPath(t0, CopyName(Main::GetFileNamePart(source)));
    });
    // The copy is a working file of this run only: no flush to disk for it.
    trap.run(158, [&] { if (!ownCopy) Main::CopyFileChecked(source, copy, false); });
    trap.run(160, [&] { extension = QStringLiteral("png"); });
    trap.run(162, [&] { splitter = TempPath(t0, kSplitTool); });

    // The base is the source's own name less its last extension; a name without one is taken whole.
    const QString baseName = Main::StripExtension(Main::GetFileNamePart(source));
    if (trap.test(164, [&] { return ui_->Option1->isChecked(); })) {
        trap.run(166, [&] {
            outputBase_ = Main::NormalizePath(ui_->Text1->text() + QLatin1Char('/') + baseName + QLatin1Char('.') + extension);
        });
    } else if (trap.test(168, [&] { return ui_->Option2->isChecked(); })) {
        trap.run(170, [&] {
            outputBase_ = Main::NormalizePath(Main::GetFolderPart(source) + QLatin1Char('/') + baseName + QLatin1Char('.')
                                              + extension);
        });
    }

    if (!outputBase_.isEmpty() && !outputFolders_.contains(Main::GetFolderPart(outputBase_)))
        outputFolders_ << Main::GetFolderPart(outputBase_);

    QString script;
    trap.run(172, [&] { script = ToolScript(SplitterCommand(splitter, copy), TempPath(t0, kMarker)); });
    // A script that could not be written is never started: what stands under its name is not ours.
    if (trap.run(176, [&] { Main::WriteTextFile(script, TempPath(t0, kSplitScript)); }))
        trap.run(178, [&] { RunToolScript(TempPath(t0, kSplitScript), t0); });
    trap.run(180, [&] { EndMarkerWait(marker); });

    QStringList pages;
    trap.run(184, [&] { pages = SortedPages(t0.isEmpty() ? QStringList() : AddFolder::GetFolderFiles(t0, kPagePattern)); });
    if (ownCopy)
        pages.removeAll(Main::GetFileNamePart(copy));
    int n = 1;
    for (const QString& name : pages) {
        if (name.startsWith(QLatin1Char('~')))                                           // 190
            continue;
        QString page;
        trap.run(192, [&] { Main::WriteTextFile(QStringLiteral("Tovanel"), TempPath(t0, kMarker)); });
        trap.run(194, [&] { page = TempPath(t0, name); });
        trap.run(196, [&] { script = ToolScript(ConverterCommand(TempPath(t0, kConvertTool), page), TempPath(t0, kMarker)); });
        if (trap.run(202, [&] { Main::WriteTextFile(script, TempPath(t0, kConvertScript)); }))
            trap.run(204, [&] { RunToolScript(TempPath(t0, kConvertScript), t0); });
        trap.run(206, [&] { EndMarkerWait(marker); });
        QString png;
        trap.run(210, [&] { png = TempPath(t0, BeforeFirstDot(name) + QStringLiteral(".png")); });
        if (trap.test(212, [&] { return Main::FileExistsByDate(png); })) {
            trap.run(214, [&] { MoveOutput(png, outputBase_ + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png")); });
            trap.run(216, [&] { Main::DeleteFileQuiet(png); });
            trap.run(218, [&] { ++n; });
        } else {
            // The page gave nothing: the converter's result for the whole copy stands in for it, found
            // under the name the converter really writes (the copy's last extension replaced).
            QString whole;
            trap.run(220, [&] { whole = TempPath(t0, Main::StripExtension(Main::GetFileNamePart(copy)) + QStringLiteral(".png")); });
            trap.run(224, [&] { Main::WriteTextFile(QStringLiteral("Tovanel"), TempPath(t0, kMarker)); });
            trap.run(226, [&] { script = ToolScript(ConverterCommand(TempPath(t0, kConvertTool), copy), TempPath(t0, kMarker)); });
            if (trap.run(232, [&] { Main::WriteTextFile(script, TempPath(t0, kConvertScript)); }))
                trap.run(234, [&] { RunToolScript(TempPath(t0, kConvertScript), t0); });
            trap.run(236, [&] { EndMarkerWait(marker); });
            if (trap.test(240, [&] { return Main::FileExistsByDate(whole); })) {
                trap.run(242, [&] { MoveOutput(whole, outputBase_ + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png")); });
                trap.run(244, [&] { Main::DeleteFileQuiet(whole); });
                trap.run(246, [&] { ++n; });
            }
        }
        trap.run(248, [&] { Main::DeleteFileQuiet(page); });
    }
    trap.run(252, [&] { if (!ownCopy) Main::DeleteFileQuiet(copy); });
}

} // namespace Tovanel
