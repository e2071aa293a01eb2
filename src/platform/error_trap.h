// The error trap of the working handlers and the error report box it shows.
#pragma once

#include <QString>
#include <stdexcept>
#include <utility>

namespace Tovanel {

class Dialogs;

// A failure of a statement: carries the platform's or runtime's wording for the error.
class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& description, int number = 0)
        : std::runtime_error(description.toStdString()), number_(number) {}
    int number() const { return number_; }
private:
    int number_;
};

// Builds the report text: description, CR LF, location, "at line " n, CR CR, support sentence.
QString ErrorReportText(const QString& location, const QString& description, int statement);
// Shows the report: title "Application Error", warning icon, one OK button.
void ShowErrorReport(Dialogs& dialogs, const QString& location, const QString& description, int statement);

extern const char* const SupportAddress;

// One per handler run. Each numbered statement runs through it; a failure is reported with the
// statement's number and the handler goes on with its next statement.
class ErrorTrap {
public:
    ErrorTrap(Dialogs& dialogs, QString location) : dialogs_(dialogs), location_(std::move(location)) {}

    const QString& location() const { return location_; }
    int lastStatement() const { return statement_; }
    int failures() const { return failures_; }

    // Runs one statement. Returns true when it completed, false when it failed (and was reported).
    template <class F>
    bool run(int statement, F&& body) {
        statement_ = statement;
        try {
            std::forward<F>(body)();
            return true;
        } catch (const std::exception& e) {
            report(QString::fromUtf8(e.what()));
        } catch (...) {
            report(QStringLiteral("Unknown error"));
        }
        return false;
    }

    // The test of an if-statement with a branch of its own: a failing test enters the first branch.
    template <class F>
    bool test(int statement, F&& condition) { return evaluate(statement, std::forward<F>(condition), true); }

    // The test of an if-statement that only leaves the handler: a failing test goes on after it.
    template <class F>
    bool leaveIf(int statement, F&& condition) { return evaluate(statement, std::forward<F>(condition), false); }

private:
    template <class F>
    bool evaluate(int statement, F&& condition, bool onFailure) {
        bool result = onFailure;
        run(statement, [&] { result = static_cast<bool>(condition()); });
        return result;
    }
    void report(const QString& description);

    Dialogs& dialogs_;
    QString location_;
    int statement_ = 0;
    int failures_ = 0;
};

// The location text of a trapped handler: "in Brisquet2021/08/31.Form1.<handler> ".
QString FormLocation(const char* handler);

} // namespace Tovanel
