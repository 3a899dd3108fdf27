// The glossary list's model under Qt's model checker: each new list keeps
// the edit state of the entries still in it, rows that stay are not reset
// (their editors stay open), and another user's list starts with none.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "support/QStringPrinter.h"
#include "ui/GlossaryListModel.h"

namespace {

GlossaryItem item(const QString& id, const QString& content)
{
    const QDateTime time = QDateTime::currentDateTimeUtc();
    return {id, "local", content, std::nullopt, time, time};
}

// Entries named by their ids; an id's content is the id unless given.
QList<GlossaryItem> items(const QStringList& ids, const QString& changedContentOfB = {})
{
    QList<GlossaryItem> list;
    for (const QString& id : ids)
        list << item(id, id == "b" && !changedContentOfB.isEmpty() ? changedContentOfB : id);
    return list;
}

QStringList shown(const GlossaryListModel& model, int role = Qt::DisplayRole)
{
    QStringList values;
    for (int row = 0; row < model.rowCount(); ++row)
        values << model.index(row).data(role).toString();
    return values;
}

}  // namespace

TEST(GlossaryListModelTest, EachNewListKeepsTheEditsOfTheEntriesStillInIt)
{
    struct Case
    {
        const char* name;
        QList<GlossaryItem> next;
        QStringList shownAfter;
        bool stillEditing;   // "b" with its draft
        bool reset;
    };
    const Case cases[] = {
        {"a row added before", items({"x", "a", "b", "c"}), {"x", "a", "b", "c"}, true, false},
        {"a row added after", items({"a", "b", "c", "y"}), {"a", "b", "c", "y"}, true, false},
        {"another row removed", items({"b", "c"}), {"b", "c"}, true, false},
        {"its text changed elsewhere", items({"a", "b", "c"}, "b2"), {"a", "b2", "c"}, true, false},
        {"rows reordered", items({"c", "b", "a"}), {"c", "b", "a"}, true, true},
        {"its row removed", items({"a", "c"}), {"a", "c"}, false, false},
        {"the same list", items({"a", "b", "c"}), {"a", "b", "c"}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GlossaryListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        model.setItems(items({"a", "b", "c"}));
        model.startEditing(1);
        model.setEditContent(1, "b draft");
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);

        model.setItems(c.next);
        EXPECT_EQ(shown(model), c.shownAfter);
        EXPECT_EQ(resets.size(), c.reset ? 1 : 0);
        const auto row = model.rowOf("b");
        EXPECT_EQ(row && model.isEditing(*row), c.stillEditing);
        if (c.stillEditing) {
            EXPECT_EQ(model.editContent(*row), "b draft");
        }

        // An entry that comes back starts without the edit it lost.
        model.setItems(items({"a", "b", "c"}));
        EXPECT_EQ(model.isEditing(*model.rowOf("b")), c.stillEditing);
    }
}

TEST(GlossaryListModelTest, AnotherUsersListStartsWithoutEdits)
{
    GlossaryListModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setItems(items({"a", "b"}));
    model.startEditing(0);
    EXPECT_EQ(model.editContent(0), "a");
    model.replaceItems(items({"a", "z"}));
    EXPECT_EQ(shown(model), (QStringList{"a", "z"}));
    EXPECT_FALSE(model.isEditing(0));
    EXPECT_EQ(shown(model, GlossaryListModel::editingRole), (QStringList{"false", "false"}));
}
