// The error report box's text and the trap's resumption rules.
#include "platform/error_trap.h"
#include "fake_dialogs.h"

#include <gtest/gtest.h>

using namespace Tovanel;

namespace {
const QString Location = QStringLiteral("in Brisquet2021/08/31.Form1.Form_Load ");
const QString Support = QStringLiteral("Please email screenshot of this message to ") + QLatin1String(SupportAddress);
}

TEST(ErrorReport, MessageHasDescriptionLocationLineAndSupportSentenceInOrder)
{
    struct Row { QString description; int statement; QString expected; };
    const Row rows[] = {
        {QStringLiteral("Permission denied"), 138,
         QStringLiteral("Permission denied\r\nin Brisquet2021/08/31.Form1.Form_Load at line 138\r\r") + Support},
        {QStringLiteral("x"), 100, QStringLiteral("x\r\nin Brisquet2021/08/31.Form1.Form_Load at line 100\r\r") + Support},
        {QString(), 333, QStringLiteral("\r\nin Brisquet2021/08/31.Form1.Form_Load at line 333\r\r") + Support},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ErrorReportText(Location, row.description, row.statement), row.expected) << row.statement;
}

TEST(ErrorReport, BoxIsTitledApplicationErrorWithWarningIconAndOkOnly)
{
    FakeDialogs dialogs;
    ShowErrorReport(dialogs, Location, QStringLiteral("Disk full"), 144);
    ASSERT_EQ(dialogs.shown.size(), 1);
    EXPECT_EQ(dialogs.shown[0].title, QStringLiteral("Application Error"));
    EXPECT_EQ(dialogs.shown[0].icon, Icon::Warning);
    EXPECT_EQ(dialogs.shown[0].buttons, Buttons::Ok);
    EXPECT_TRUE(dialogs.shown[0].text.startsWith(QStringLiteral("Disk full\r\nin Brisquet")));
}

TEST(ErrorTrap, EachFailingStatementIsReportedWithItsOwnNumberAndTheHandlerGoesOn)
{
    FakeDialogs dialogs;
    ErrorTrap trap(dialogs, FormLocation("PushButton7_Click"));
    QStringList ran;
    trap.run(100, [&] { ran << "100"; });
    trap.run(102, [&] { throw Failure(QStringLiteral("File not found")); });
    trap.run(104, [&] { ran << "104"; });
    trap.run(106, [&] { throw std::runtime_error("Overflow"); });
    trap.run(108, [&] { ran << "108"; });
    EXPECT_EQ(ran, QStringList({"100", "104", "108"}));
    const auto reports = dialogs.errorReports();
    ASSERT_EQ(reports.size(), 2);
    EXPECT_TRUE(reports[0].text.contains(QStringLiteral("File not found\r\nin Brisquet2021/08/31.Form1.PushButton7_Click at line 102")));
    EXPECT_TRUE(reports[1].text.contains(QStringLiteral("Overflow\r\nin Brisquet2021/08/31.Form1.PushButton7_Click at line 106")));
    EXPECT_EQ(trap.failures(), 2);
}

TEST(ErrorTrap, FailingTestEntersTheFirstBranchButAFailingLeaveTestGoesOn)
{
    struct Row { const char* name; bool fails; bool value; bool expectTest; bool expectLeave; };
    const Row rows[] = {
        {"true test", false, true, true, true},
        {"false test", false, false, false, false},
        {"failing test", true, false, true, false},
    };
    for (const Row& row : rows) {
        FakeDialogs dialogs;
        ErrorTrap trap(dialogs, FormLocation("Form_Load"));
        auto condition = [&] {
            if (row.fails)
                throw Failure(QStringLiteral("Type mismatch"));
            return row.value;
        };
        EXPECT_EQ(trap.test(142, condition), row.expectTest) << row.name;
        EXPECT_EQ(trap.leaveIf(102, condition), row.expectLeave) << row.name;
        EXPECT_EQ(dialogs.errorReports().size(), row.fails ? 2 : 0) << row.name;
        if (row.fails) {
            EXPECT_TRUE(dialogs.errorReports()[0].text.contains(QStringLiteral("at line 142"))) << row.name;
        }
    }
}

TEST(ErrorTrap, LocationTextOfFormHandlersEndsInOneBlank)
{
    EXPECT_EQ(FormLocation("PushButton4_Click"), QStringLiteral("in Brisquet2021/08/31.Form1.PushButton4_Click "));
}
