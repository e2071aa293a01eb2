// The batch command's options, read from its arguments and from the job runner's environment.
#pragma once

#include "convert/name_template.h"
#include "convert/page_selection.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

namespace Tovanel::Batch {

// The index-th (1-based) of count parts of the list.
struct Shard {
    int index = 1;
    int count = 1;
    bool operator==(const Shard&) const = default;
};

struct Options {
    QStringList paths;              // as given; "-" reads more paths from standard input
    bool nulSeparated = false;      // standard input's paths end in NUL rather than a line end
    // The extensions a folder's files must have, as given (each --ext a comma list); "*" takes every file.
    QStringList extensions{QStringLiteral("tif"), QStringLiteral("tiff")};
    QString out;                    // --out DIR, absolute; empty with --beside
    bool beside = false;
    bool keepTree = false;
    QString report;                 // --report FILE, absolute; empty for none
    bool quiet = false;
    int jobs = 0;                   // 0: the cores the process may use
    Shard shard;
    QString shardFrom;              // where the shard came from, for the first line of the run
    QStringList resume;             // reports of earlier runs, absolute
    bool dryRun = false;
    std::optional<NameTemplate> names;   // --name; none for the window's names
    std::optional<PageSelection> pages;  // --pages; none for every page
    bool georeference = true;            // false with --no-georef
    bool strip = false;             // PNGs with pixels, ICC profile and resolution only
    bool keepMtime = false;         // each PNG gets its source's modification time
    QString manifest;               // --manifest FILE, absolute; empty for none
    QString plan;                   // --plan FILE, absolute: write the list's plan there, convert nothing
    QString from;                   // --from FILE, absolute: the list, destination and names from a plan
};

struct Parsed {
    enum Action { Run, Answer, Refuse };
    Action action = Run;
    QString text;    // Answer: for standard output; Refuse: the usage error for standard error
    Options options;
};

// Reads the arguments (the program's name first). Without --shard, a Slurm array task takes its part
// from SLURM_ARRAY_TASK_ID, SLURM_ARRAY_TASK_MIN, SLURM_ARRAY_TASK_COUNT (and SLURM_ARRAY_TASK_STEP).
Parsed ParseArguments(const QStringList& arguments, const QProcessEnvironment& environment);

// "I/N" with 1 <= I <= N; false for anything else.
bool ParseShard(const QString& text, Shard& shard);

// A path as given, made absolute against the current folder: a relative one cleaned as the window's
// command line cleans it ("./", "../"), an absolute one with doubled "/" collapsed.
QString AbsolutePath(const QString& path);

} // namespace Tovanel::Batch
