// One file of the run as its own step: copy into the run folder, split into pages, one PNG per page.
#pragma once

#include <QString>
#include <QStringList>

namespace Tovanel {

class ConversionRun;
class ErrorTrap;

// The name of output n (1-based) of a file whose output base is base.
QString OutputName(const QString& base, int n);

class FileConversion {
public:
    FileConversion(ConversionRun& run, ErrorTrap& trap, QString source);
    // Statements 142 to 252; failures are reported through the trap and the file goes on.
    void Run();

private:
    void Prepare();
    void ClearStalePages();
    void ChooseOutputBase();
    void Split();
    QStringList Pages();
    void ConvertPage(const QString& name);
    // The PNG at png, when there is one, becomes the next numbered output (statements at to at + 6).
    bool TakeOutput(const QString& png, int at);

    ConversionRun& run_;
    ErrorTrap& trap_;
    const QString source_;
    QString folder_;   // the run folder
    QString copy_;     // the source's copy in it
    bool ownCopy_ = false;
    QString splitter_;
    int next_ = 1;     // number of the next output
};

} // namespace Tovanel
