// Output names from a template: parsing, and the key of a source that OutputName completes per page.
#include "convert/name_template.h"

#include "fs/main_procs.h"

namespace Tovanel {

namespace {

bool IsNumber(int field, int page, int pages)
{
    return field == page || field == pages;
}

} // namespace

std::optional<NameTemplate> NameTemplate::Parse(const QString& text, QString* why)
{
    NameTemplate t;
    const auto refuse = [&](const QString& reason) {
        *why = reason;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), i);
        const qsizetype close = text.indexOf(QLatin1Char('}'), i);
        if (close >= 0 && (open < 0 || close < open))
            return refuse(QStringLiteral("a \"}\" with no \"{\" before it"));
        if (open != i) {
            const QString literal = text.mid(i, open < 0 ? -1 : open - i);
            t.parts_ << Part{Field::Text, literal};
            i += literal.size();
            continue;
        }
        if (close < 0)
            return refuse(QStringLiteral("a \"{\" with no \"}\" after it"));
        const QString name = text.mid(open + 1, close - open - 1);
        Part part{Field::Text, QString()};
        if (name == QLatin1String("name"))
            part.field = Field::Name;
        else if (name == QLatin1String("ext"))
            part.field = Field::Ext;
        else if (name == QLatin1String("dir"))
            part.field = Field::Dir;
        else if (name == QLatin1String("pages"))
            part.field = Field::Pages;
        else if (name == QLatin1String("page"))
            part.field = Field::Page;
        else if (name.size() == 7 && name.startsWith(QLatin1String("page:0")) && name[6] >= QLatin1Char('1')
                 && name[6] <= QLatin1Char('9'))
            part = Part{Field::Page, QString(), name[6].digitValue()};
        else
            return refuse(QStringLiteral("unknown field {%1} (the fields are {name}, {ext}, {dir}, {page}, "
                                         "{page:0N} and {pages})").arg(name));
        t.hasName_ = t.hasName_ || part.field == Field::Name;
        t.hasDir_ = t.hasDir_ || part.field == Field::Dir;
        t.parts_ << part;
        i = close + 1;
    }

    int page = -1, pages = -1;
    for (int k = 0; k < t.parts_.size(); ++k) {
        const Field f = t.parts_[k].field;
        if (f == Field::Page && page >= 0)
            return refuse(QStringLiteral("more than one page field"));
        if (f == Field::Page)
            page = k;
        if (f == Field::Pages)
            pages = k;
        if (page >= 0 && k > page && f != Field::Text && f != Field::Pages)
            return refuse(QStringLiteral("only text and {pages} may follow the page number"));
        if (page >= 0 && k > page && f == Field::Text && t.parts_[k].text.contains(QLatin1Char('/')))
            return refuse(QStringLiteral("no folder may follow the page number"));
    }
    if (page < 0)
        return refuse(QStringLiteral("no page field: {page} or {page:0N} gives each page a name of its own"));
    // A number field beside another field or a digit could run into it ("{name}{page}": a1 page 1 and
    // a page 11); a letter or sign between them keeps every name apart.
    for (int k = 0; k < t.parts_.size(); ++k) {
        if (!IsNumber(k, page, pages))
            continue;
        for (const int side : {k - 1, k + 1}) {
            if (side < 0 || side >= t.parts_.size())
                continue;
            const Part& next = t.parts_[side];
            const QChar touching = next.field != Field::Text ? QChar(u'0')
                                   : side < k ? next.text.back() : next.text.front();
            if (touching.isDigit())
                return refuse(QStringLiteral("a page field needs a letter or sign between it and a number or "
                                             "another field"));
        }
    }
    if (!text.endsWith(QLatin1String(".png"), Qt::CaseInsensitive))
        return refuse(QStringLiteral("the names must end in .png"));
    if (text.startsWith(QLatin1Char('/')) || (QLatin1Char('/') + text + QLatin1Char('/')).contains(QLatin1String("/../")))
        return refuse(QStringLiteral("the names must stay inside the destination (no leading \"/\", no \"..\")"));
    for (const QChar c : text)
        if (c.unicode() < 32 || c.unicode() == 127)
            return refuse(QStringLiteral("a control character"));
    why->clear();
    return t;
}

QString NameTemplate::Key(const QString& folder, const QString& source, const QString& dir) const
{
    const QString file = Main::GetFileNamePart(source);
    const QString name = Main::StripExtension(file);
    const QString ext = name.size() < file.size() ? file.mid(name.size() + 1) : QString();
    QString key = folder + QLatin1Char('/');
    for (const Part& part : parts_) {
        switch (part.field) {
        case Field::Text: key += part.text; break;
        case Field::Name: key += name + kCopyMark; break;
        case Field::Ext: key += ext; break;
        case Field::Dir: key += dir; break;
        case Field::Page: key += QString(kPageMark) + QChar(u'0' + part.width); break;
        case Field::Pages: key += kPagesMark; break;
        }
    }
    return Main::NormalizePath(key);
}

} // namespace Tovanel
