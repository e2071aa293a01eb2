// Progress on standard error: one line that updates on a terminal, a line per file elsewhere (a log).
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace Tovanel {
struct FileOutcome;
}

namespace Tovanel::Batch {

class NameEscapes;

class Progress {
public:
    enum Mode { Silent, Terminal, Log };
    Progress(std::FILE* err, Mode mode) : err_(err), mode_(mode) {}

    // The files this run converts, and their pages when known (-1 when not).
    void begin(int files, qint64 pages);
    // The names the log lines show escaped (see ShownName).
    void setEscapes(const NameEscapes* escapes) { escapes_ = escapes; }
    void finished(const FileOutcome& outcome);
    // Takes the terminal line away, so other text starts on a clean line; the next update draws it again.
    void clear();
    // Redraws the terminal line (the time left moves on between files too).
    void refresh();

    // "1:02:03", "2:03": how long, to the second.
    static QString Duration(qint64 ms);
    // The terminal line: "3/10 files, 12/40 pages, 5.2 pages/s, 0:07 left"; without a page total the
    // pages done alone, and no time left until a page is done.
    static QString Line(int filesDone, int files, qint64 pagesDone, qint64 pages, qint64 elapsedMs);

private:
    void draw();

    std::FILE* err_;
    Mode mode_;
    QElapsedTimer clock_;
    int files_ = 0;
    qint64 pages_ = -1;
    int filesDone_ = 0;
    qint64 pagesDone_ = 0;
    bool drawn_ = false;
    const NameEscapes* escapes_ = nullptr;
};

} // namespace Tovanel::Batch
