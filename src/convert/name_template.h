// Output names from a template of fields, for the batch command's --name: {name} (the source's name
// less its extension), {ext}, {dir} (its folder under the folder argument it was found in), {page},
// {page:0N} (zero-padded to N digits) and {pages} (the page count). "{name}.png_{page}.png" gives the
// window's names.
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace Tovanel {

class NameTemplate {
public:
    // The template, or none with why it cannot name every page apart: exactly one page field; only
    // text and {pages} after it, and no folder; no digit or other field right beside a number field;
    // it ends in ".png"; it stays inside the destination (no leading "/", no "..").
    static std::optional<NameTemplate> Parse(const QString& text, QString* why);

    // The names of a source's outputs before their page is known: folder, then the rendering of {name},
    // {ext} and {dir}, with marks where the page fields and " (k)" go. OutputName fills the page fields
    // in; the naming owners put " (k)" at its mark, or take it away.
    QString Key(const QString& folder, const QString& source, const QString& dir) const;
    // Whether sources of one name can be told apart by " (k)".
    bool hasName() const { return hasName_; }
    // Whether the names place the source's folder themselves (else a mirrored tree's folder holds them).
    bool hasDir() const { return hasDir_; }

private:
    enum class Field { Text, Name, Ext, Dir, Page, Pages };
    struct Part {
        Field field;
        QString text;   // the text of a Text part
        int width = 0;  // {page:0N}: N
    };
    QList<Part> parts_;
    bool hasName_ = false;
    bool hasDir_ = false;
};

// The marks in a key: a page number (followed by its width, as the character '0' + width), the page
// count, and the place of " (k)".
inline constexpr QChar kPageMark{0x01};
inline constexpr QChar kPagesMark{0x02};
inline constexpr QChar kCopyMark{0x03};

} // namespace Tovanel
