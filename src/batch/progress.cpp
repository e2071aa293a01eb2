// The progress line and the per-file log lines.
#include "batch/progress.h"

#include "batch/console_dialogs.h"
#include "convert/run_report.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace Tovanel::Batch {

void Progress::begin(int files, qint64 pages)
{
    files_ = files;
    pages_ = pages;
    clock_.start();
    draw();
}

void Progress::finished(const FileOutcome& outcome)
{
    ++filesDone_;
    pagesDone_ += outcome.pages;
    if (mode_ == Log) {
        QStringList lines = outcome.lines();
        const int asked = outcome.pages - static_cast<int>(outcome.notAsked.size());
        if (outcome.complete())
            lines.prepend(outcome.source + QStringLiteral(": ") + QString::number(asked)
                          + (asked == 1 ? QStringLiteral(" page written") : QStringLiteral(" pages written")));
        const QString counter = QStringLiteral("[%1/%2] ").arg(filesDone_).arg(files_);
        for (const QString& line : lines)
            std::fputs((counter + (escapes_ ? escapes_->apply(line) : line) + QLatin1Char('\n')).toLocal8Bit().constData(),
                       err_);
        std::fflush(err_);
    }
    draw();
}

void Progress::clear()
{
    if (mode_ != Terminal || !drawn_)
        return;
    std::fputs("\r\033[K", err_);
    std::fflush(err_);
    drawn_ = false;
}

void Progress::refresh() { draw(); }

void Progress::draw()
{
    if (mode_ != Terminal || !clock_.isValid())
        return;
    QString line = Line(filesDone_, files_, pagesDone_, pages_, clock_.elapsed());
    winsize size{};
    const int width = ::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    // One character short of the width, so the cursor never wraps to a new line.
    if (line.size() >= width)
        line = line.left(width - 1);
    std::fputs(("\r\033[K" + line).toLocal8Bit().constData(), err_);
    std::fflush(err_);
    drawn_ = true;
}

QString Progress::Duration(qint64 ms)
{
    const qint64 s = (ms + 999) / 1000;
    const QString minutesSeconds = QStringLiteral("%1:%2").arg(s / 60 % 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    if (s < 3600)
        return minutesSeconds;
    return QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString Progress::Line(int filesDone, int files, qint64 pagesDone, qint64 pages, qint64 elapsedMs)
{
    QString line = QStringLiteral("%1/%2 files, ").arg(filesDone).arg(files);
    line += pages >= 0 ? QStringLiteral("%1/%2 pages").arg(pagesDone).arg(pages) : QStringLiteral("%1 pages").arg(pagesDone);
    if (pagesDone > 0 && elapsedMs > 0) {
        const double rate = pagesDone * 1000.0 / elapsedMs;
        line += QStringLiteral(", %1 pages/s").arg(rate, 0, 'f', rate < 10 ? 1 : 0);
        if (pages >= 0)
            line += QStringLiteral(", %1 left").arg(Duration(qMax<qint64>(0, pages - pagesDone) * elapsedMs / pagesDone));
    }
    return line;
}

} // namespace Tovanel::Batch
