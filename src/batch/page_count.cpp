// The splitter's count mode over the whole list, a few hundred sources per call.
#include "batch/page_count.h"

#include "convert/procs/conversion.h"
#include "convert/procs/run_folder.h"
#include "convert/run_report.h"
#include "fs/file.h"
#include "fs/main_procs.h"
#include "platform/error_trap.h"

#include <QProcess>

#include <fcntl.h>
#include <vector>

namespace Tovanel::Batch {

namespace {

// Well under the system's limit on a command line's length.
constexpr qsizetype kMaxArgumentBytes = 64 * 1024;
constexpr int kMaxSourcesPerCall = 500;

bool CountSome(const QString& tool, const QString& folder, const QStringList& sources, QList<PageCount>& counts,
               QString& why)
{
    QProcess splitter;
    splitter.setWorkingDirectory(folder);
    splitter.setProcessChannelMode(QProcess::SeparateChannels);
    splitter.setStandardInputFile(QProcess::nullDevice());
    splitter.setStandardErrorFile(QProcess::nullDevice());
    // QProcess hands arguments over as UTF-8: a name kept by bytes that are not goes as a descriptor
    // the splitter inherits, opened here by its bytes.
    QStringList args{QStringLiteral("--count")};
    std::vector<Fs::File> opened;
    for (const QString& source : sources) {
        const QByteArray bytes = Main::EncodeKeptBytes(source);
        if (bytes == source.toUtf8()) {
            args << source;
            continue;
        }
        opened.emplace_back(::open(bytes.constData(), O_RDONLY | O_NONBLOCK));
        args << (opened.back().valid() ? QStringLiteral("/dev/fd/%1").arg(opened.back().get()) : source);
    }
    splitter.start(tool, args);
    if (!splitter.waitForFinished(-1) || splitter.exitStatus() != QProcess::NormalExit) {
        why = QStringLiteral("the page splitter could not count pages (") + splitter.errorString() + QLatin1Char(')');
        return false;
    }
    const QList<QByteArray> lines = splitter.readAllStandardOutput().split('\n');
    // One line per source, and the empty text after the last line end.
    if (lines.size() != sources.size() + 1) {
        why = QStringLiteral("the page splitter gave no count for some files");
        return false;
    }
    for (qsizetype i = 0; i < sources.size(); ++i) {
        const QByteArray line = lines[i];
        const qsizetype tab = line.indexOf('\t');
        const QList<QByteArray> numbers = line.left(tab < 0 ? line.size() : tab).split(' ');
        PageCount count;
        count.pages = numbers.value(0).toInt();
        const int status = numbers.value(1).toInt();
        if (status != 0)
            count.reason = ReasonFor(ToolMessageOfStatus(status, tab < 0 ? QString() : QString::fromUtf8(line.mid(tab + 1))),
                                     QStringLiteral("page splitter"), folder);
        counts << count;
    }
    return true;
}

} // namespace

bool CountPages(const QStringList& sources, QList<PageCount>& counts, QString& why)
{
    counts.clear();
    Convert::RunFolder folder;
    folder.make();
    QString path, tool;
    try {
        path = folder.path();
        tool = Convert::TempPath(path, Convert::kSplitTool);
        Convert::DeployTool(Convert::ReadToolResource(102), tool);
    } catch (const Failure& failure) {
        why = QString::fromUtf8(failure.what());
        return false;
    }
    for (qsizetype first = 0; first < sources.size();) {
        QStringList some;
        qsizetype bytes = 0;
        for (; first < sources.size() && some.size() < kMaxSourcesPerCall && bytes < kMaxArgumentBytes; ++first) {
            some << sources[first];
            bytes += sources[first].size() + 1;
        }
        if (!CountSome(tool, path, some, counts, why))
            return false;
    }
    return true;
}

} // namespace Tovanel::Batch
