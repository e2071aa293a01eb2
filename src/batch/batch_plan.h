// A plan: the list of a run with each source's output base as one run over the whole list decides it,
// made once (--plan) and read by every shard of the run (--from), which then reads, lists and looks at
// nothing but its own sources.
#pragma once

#include "batch/batch_inputs.h"
#include "batch/batch_options.h"
#include "convert/output_names.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Tovanel::Batch {

class BatchHost;

// A string as the plan writes it: a JSON string whose raw text is UTF-8; quotes, backslashes, control
// characters and the bytes a name holds that are not UTF-8 (a lone surrogate, Main::DecodeKeepingBytes)
// as \u escapes, so that any name but one holding NUL comes back byte for byte.
void AppendPlanString(QByteArray& out, const QString& text);

// Writes the plan of host's list (bases: PlanOutputBases) to path: a new file of the user's, whole or
// not at all, never through a link or into another user's file. False with why.
bool WritePlan(const QString& path, const Options& options, const BatchHost& host, const QList<PlannedBase>& bases,
               QString& why);

// What one shard takes from a plan.
struct PlanPart {
    qsizetype sources = 0;   // in the whole list
    QString out;             // the destination folder; empty beside the sources
    bool beside = false;
    bool keepTree = false;
    QList<Entry> entries;    // the shard's sources, in list order
    QList<PlannedBase> bases;
};

// Reads the plan at path for shard: its first line (the run), then the lines of shard's sources, each
// parsed and checked in full (its place, an output base inside the destination that names PNG files);
// the lines before them are only counted, and none after them is read. False with why.
bool ReadPlan(const QString& path, const Shard& shard, PlanPart& part, QString& why);

} // namespace Tovanel::Batch
