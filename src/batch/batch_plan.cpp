// The plan as JSON Lines: a first line for the run, then one line per source, in list order.
#include "batch/batch_plan.h"

#include "batch/batch_host.h"
#include "common/file.h"
#include "fs/main_procs.h"

#include <QFile>
#include <QHash>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Tovanel::Batch {

namespace {

constexpr qsizetype kMaxLineBytes = qsizetype{1} << 20;   // as a report's: a longer line is damage
constexpr qsizetype kChunk = qsizetype{1} << 20;

QString Why(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

// The lines of a file, read a chunk at a time: memory stays at two chunks however long the file.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), buffer_(kMaxLineBytes + kChunk + 1, Qt::Uninitialized) {}

    // The next line, without its line end; false at the end of the file or with err set (EFBIG for a
    // line longer than kMaxLineBytes).
    bool next(QByteArrayView& line, int& err)
    {
        for (;;) {
            const char* data = buffer_.constData();
            if (const void* end = std::memchr(data + start_, '\n', static_cast<size_t>(end_ - start_))) {
                const qsizetype at = static_cast<const char*>(end) - data;
                line = QByteArrayView(data + start_, at - start_);
                start_ = at + 1;
                return true;
            }
            if (end_ - start_ > kMaxLineBytes) {
                err = EFBIG;
                return false;
            }
            if (atEnd_) {
                line = QByteArrayView(data + start_, end_ - start_);
                const bool rest = end_ > start_;
                start_ = end_;
                return rest;
            }
            std::memmove(buffer_.data(), data + start_, static_cast<size_t>(end_ - start_));
            end_ -= start_;
            start_ = 0;
            const ssize_t got = ::read(fd_, buffer_.data() + end_, static_cast<size_t>(kChunk));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                err = errno;
                return false;
            }
            atEnd_ = got == 0;
            end_ += got;
        }
    }

private:
    int fd_;
    QByteArray buffer_;
    qsizetype start_ = 0, end_ = 0;
    bool atEnd_ = false;
};

void SkipSpace(QByteArrayView text, qsizetype& i)
{
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
        ++i;
}

// A JSON string at text[i] (its opening quote), i then past its closing quote. Raw text is taken by
// its bytes (Main::DecodeKeepingBytes); a \u escape gives that UTF-16 unit as it is.
bool ReadString(QByteArrayView text, qsizetype& i, QString& value)
{
    value.clear();
    qsizetype run = ++i;
    const auto flush = [&] { value += Main::DecodeKeepingBytes(text.sliced(run, i - run).toByteArray()); };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            flush();
            ++i;
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            ++i;
            continue;
        }
        flush();
        if (++i >= text.size())
            return false;
        static const QHash<char, QChar> simple{{'"', u'"'},  {'\\', u'\\'}, {'/', u'/'},  {'b', u'\b'},
                                               {'f', u'\f'}, {'n', u'\n'},  {'r', u'\r'}, {'t', u'\t'}};
        if (const auto found = simple.constFind(text[i]); found != simple.constEnd()) {
            value += *found;
            ++i;
        } else if (text[i] == 'u' && i + 4 < text.size()) {
            bool ok = false;
            const ushort unit = text.sliced(i + 1, 4).toByteArray().toUShort(&ok, 16);
            if (!ok)
                return false;
            value += QChar(unit);
            i += 5;
        } else {
            return false;
        }
        run = i;
    }
    return false;
}

// One line of a plan: a flat JSON object of strings, whole numbers, true, false and null, as field ->
// value (a number or true or false as its text, null as a null string). False when it is no such object.
bool ReadObject(QByteArrayView text, QHash<QString, QString>& fields)
{
    fields.clear();
    qsizetype i = 0;
    SkipSpace(text, i);
    if (i >= text.size() || text[i++] != '{')
        return false;
    SkipSpace(text, i);
    if (i < text.size() && text[i] == '}')
        ++i;
    else
        for (;;) {
            QString key, value;
            if (i >= text.size() || text[i] != '"' || !ReadString(text, i, key))
                return false;
            SkipSpace(text, i);
            if (i >= text.size() || text[i++] != ':')
                return false;
            SkipSpace(text, i);
            if (i < text.size() && text[i] == '"') {
                if (!ReadString(text, i, value))
                    return false;
            } else {
                const qsizetype from = i;
                while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != ' ')
                    ++i;
                const QByteArray token = text.sliced(from, i - from).toByteArray();
                bool number = false;
                token.toLongLong(&number);
                if (token != "null" && token != "true" && token != "false" && !number)
                    return false;
                if (token != "null")
                    value = QString::fromLatin1(token);
            }
            fields.insert(key, value);
            SkipSpace(text, i);
            if (i >= text.size())
                return false;
            const char after = text[i++];
            if (after == '}')
                break;
            if (after != ',')
                return false;
            SkipSpace(text, i);
        }
    SkipSpace(text, i);
    return i == text.size();
}

// Why a source's line cannot be taken: an output base outside the destination (or, beside the
// sources, outside the source's folder), one that steps up a folder, or one that names no PNG file.
QString BaseProblem(const PlanPart& part, const QString& source, const QString& base)
{
    if (source.isEmpty() || base.isEmpty())
        return QStringLiteral("no source or no output name");
    if (source.contains(QChar(0)) || base.contains(QChar(0)))
        return QStringLiteral("a name holds NUL");
    const QString folder = part.beside ? Main::GetFolderPart(source)
                           : part.out.endsWith(QLatin1Char('/')) ? part.out
                                                                 : part.out + QLatin1Char('/');
    if (folder.isEmpty() || !base.startsWith(folder))
        return QStringLiteral("the output name lies outside the destination");
    for (const QString& step : base.mid(folder.size()).split(QLatin1Char('/')))
        if (step.isEmpty() || step == QLatin1String(".") || step == QLatin1String(".."))
            return QStringLiteral("the output name steps out of its folder");
    if (!OutputName(base, 1, 1).endsWith(QLatin1String(".png")))
        return QStringLiteral("the output name is no PNG file");
    return QString();
}

} // namespace

void AppendPlanString(QByteArray& out, const QString& text)
{
    out += '"';
    qsizetype run = 0;
    const auto flush = [&](qsizetype to) { out += QStringView(text).sliced(run, to - run).toUtf8(); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
            ++i;
            continue;
        }
        if (c >= 0x20 && c != u'"' && c != u'\\' && c != 0x7f && !QChar::isSurrogate(c))
            continue;
        flush(i);
        run = i + 1;
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == u'\n') {
            out += "\\n";
        } else if (c == u'\t') {
            out += "\\t";
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        }
    }
    flush(text.size());
    out += '"';
}

bool WritePlan(const QString& path, const Options& options, const BatchHost& host, const QList<PlannedBase>& bases,
               QString& why)
{
    const auto fill = [&](int fd) {
        QByteArray text = "{\"plan\":\"tovanel-batch\",\"version\":1,\"sources\":" + QByteArray::number(host.listCount())
                          + ",\"out\":";
        if (options.beside)
            text += "null";
        else
            AppendPlanString(text, options.out);
        text += QByteArray(",\"beside\":") + (options.beside ? "true" : "false") + ",\"keep_tree\":"
                + (options.keepTree ? "true" : "false") + "}\n";
        for (int position = 1; position <= host.listCount(); ++position) {
            const PlannedBase& planned = bases[position - 1];
            text += "{\"position\":" + QByteArray::number(position) + ",\"source\":";
            AppendPlanString(text, host.listText(position));
            text += ",\"outputs\":";
            AppendPlanString(text, OutputPattern(planned.base));
            text += ",\"base\":";
            AppendPlanString(text, planned.base);
            if (planned.own != planned.base) {
                text += ",\"own\":";
                AppendPlanString(text, planned.own);
            }
            if (const QString sub = host.outputSubfolder(position); !sub.isEmpty()) {
                text += ",\"subfolder\":";
                AppendPlanString(text, sub);
            }
            text += "}\n";
            if (text.size() >= kChunk || position == host.listCount()) {
                if (!Fs::WriteAll(fd, text.constData(), static_cast<size_t>(text.size())))
                    return false;
                text.clear();
            }
        }
        return text.isEmpty() || Fs::WriteAll(fd, text.constData(), static_cast<size_t>(text.size()));
    };
    int err = 0;
    Fs::File placed = Fs::PlaceOwnFile(QFile::encodeName(path).toStdString(), 0666, fill, err);
    if (placed.valid())
        return true;
    why = err == EPERM ? QStringLiteral("another user's file or link is there") : Why(err != 0 ? err : EIO);
    return false;
}

bool ReadPlan(const QString& path, const Shard& shard, PlanPart& part, QString& why)
{
    Fs::File file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        why = Why(errno);
        return false;
    }
    LineReader reader(file.get());
    QByteArrayView line;
    int err = 0;
    QHash<QString, QString> fields;
    qint64 number = 1;
    const auto damaged = [&](const QString& what) {
        why = QStringLiteral("line %1: ").arg(number) + what;
        return false;
    };
    if (!reader.next(line, err))
        return damaged(err == EFBIG ? QStringLiteral("longer than 1 MiB") : err ? Why(err) : QStringLiteral("empty file"));
    bool counted = false;
    if (!ReadObject(line, fields) || fields.value(QStringLiteral("plan")) != QLatin1String("tovanel-batch")
        || fields.value(QStringLiteral("version")) != QLatin1String("1"))
        return damaged(QStringLiteral("not a plan written by tovanel-batch --plan"));
    part.sources = fields.value(QStringLiteral("sources")).toLongLong(&counted);
    part.out = fields.value(QStringLiteral("out"));
    part.beside = fields.value(QStringLiteral("beside")) == QLatin1String("true");
    part.keepTree = fields.value(QStringLiteral("keep_tree")) == QLatin1String("true");
    if (!counted || part.sources < 0 || part.sources > std::numeric_limits<int>::max()
        || part.beside == !part.out.isNull() || (!part.beside && !part.out.startsWith(QLatin1Char('/'))))
        return damaged(QStringLiteral("the plan's first line says no list or no destination"));
    // Lines before the shard's own are only counted; the first after them ends the reading.
    for (int position = 1; position <= part.sources; ++position) {
        number = position + 1;
        const bool mine = InShard(position, static_cast<int>(part.sources), shard);
        if (!mine && !part.entries.isEmpty())
            break;
        if (!reader.next(line, err))
            return damaged(err == EFBIG ? QStringLiteral("longer than 1 MiB")
                           : err        ? Why(err)
                                        : QStringLiteral("the plan ends before its %1 sources").arg(part.sources));
        if (!mine)
            continue;
        if (!ReadObject(line, fields))
            return damaged(QStringLiteral("not a whole JSON object"));
        if (fields.value(QStringLiteral("position")) != QString::number(position))
            return damaged(QStringLiteral("the source of position %1 is not there").arg(position));
        const QString source = fields.value(QStringLiteral("source"));
        const QString base = fields.value(QStringLiteral("base"));
        if (const QString problem = BaseProblem(part, source, base); !problem.isEmpty())
            return damaged(problem);
        part.entries << Entry{source, fields.value(QStringLiteral("subfolder"))};
        part.bases << PlannedBase{fields.value(QStringLiteral("own"), base), base};
    }
    return true;
}

} // namespace Tovanel::Batch
