// The glossary screen on the real controller and its store: adding (what is
// trimmed, the Return key, the empty state), editing (stored as typed, an
// unchanged save stamped again), the edit state of a row across reloads and
// a user switch, deleting, the keyboard and context-menu route to the row
// actions, and a write the store refuses while another connection holds it.
#include <QAbstractItemModelTester>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include "ViewFixture.h"
#include "store/RecordId.h"
#include "support/StoreLock.h"
#include "ui/GlossaryListModel.h"
#include "ui/GlossaryRowView.h"
#include "ui/GlossaryView.h"

using namespace sessiontest;

namespace {

const QDateTime kLongAgo = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);

GlossaryItem entry(const QString& content, const QString& userId, int minutesAfter)
{
    const QDateTime created = kLongAgo.addSecs(60 * minutesAfter);
    return {newRecordId(), userId, content, std::nullopt, created, created};
}

}  // namespace

class GlossaryViewTest : public ViewFixture
{
protected:
    // The screen on a store holding `entries`.
    void open(const QList<GlossaryItem>& entries = {})
    {
        prepareStore([&](DatabaseManager& db, RecordingFileManager&) {
            for (const GlossaryItem& item : entries)
                db.insertGlossaryItem(item);
        });
        buildReady();
        view = std::make_unique<GlossaryView>(*session);
        view->resize(420, 480);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        list = shown<QListView>(*view, "glossaryList");
        if (!list)
            list = view->findChild<QListView*>("glossaryList");
        ASSERT_NE(list, nullptr);
        tester = std::make_unique<QAbstractItemModelTester>(
            list->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    }

    QLineEdit* addField() const { return shown<QLineEdit>(*view, "glossaryAddField"); }
    QToolButton* addButton() const { return shown<QToolButton>(*view, "glossaryAddButton"); }

    // The stored terms of `userId` that are not deleted, oldest first.
    QStringList storedTerms(const QString& userId = "local") const
    {
        QStringList terms;
        for (const GlossaryItem& item : session->database().fetchAllGlossaryItems(userId, false))
            terms << item.content;
        return terms;
    }

    // The terms the list shows, in order; none while the empty state shows.
    QStringList shownTerms() const
    {
        if (!list->isVisibleTo(view.get()))
            return {};
        QStringList terms;
        for (int row = 0; row < list->model()->rowCount(); ++row)
            terms << list->model()->index(row, 0).data().toString();
        return terms;
    }

    int rowOf(const QString& content) const
    {
        for (int row = 0; row < list->model()->rowCount(); ++row) {
            if (list->model()->index(row, 0).data().toString() == content)
                return row;
        }
        ADD_FAILURE() << "no row shows " << content.toStdString();
        return -1;
    }

    enum class RowButton { edit, remove };
    void clickRow(const QString& content, RowButton button)
    {
        const QRect rect = list->visualRect(list->model()->index(rowOf(content), 0));
        const QRect target = button == RowButton::edit ? GlossaryRowView::editButtonRect(rect)
                                                       : GlossaryRowView::deleteButtonRect(rect);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, target.center());
    }

    // The edit field of the row showing `content` (in the model); null when
    // the row is not being edited.
    QLineEdit* editField(const QString& content) const
    {
        QWidget* editor = list->indexWidget(list->model()->index(rowOf(content), 0));
        return editor ? editor->findChild<QLineEdit*>("glossaryEditField") : nullptr;
    }

    // Replaces the text of an edit field as keystrokes would.
    static void retype(QLineEdit* field, const QString& text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }

    std::unique_ptr<GlossaryView> view;
    QListView* list = nullptr;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

// Only tabs and space separators are trimmed, at both ends; a term that is
// nothing else adds nothing and keeps its text; Return adds as the button does.
TEST_F(GlossaryViewTest, AddingTrimsHorizontalSpaceAtTheEndsOnly)
{
    struct Case
    {
        const char* name;
        QString typed;
        std::optional<QString> stored;
        bool byReturn;
    };
    const Case cases[] = {
        {"ordinary spaces", "  Kubernetes  ", "Kubernetes", false},
        {"ideographic spaces", u"\u3000東京\u3000"_qs, u"東京"_qs, true},
        {"no-break space and tab", u"\u00A0gRPC\t"_qs, "gRPC", false},
        {"spaces and tabs only", u" \t\u3000\u00A0 "_qs, std::nullopt, true},
        {"inner line break", "line\nbreak", "line\nbreak", false},
        {"line breaks at the ends", "\nedge\n", "\nedge\n", true},
        {"zero-width space", u"\u200Bzw\u200B"_qs, u"\u200Bzw\u200B"_qs, false},
    };
    open();
    QStringList expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        addField()->setText(c.typed);
        EXPECT_EQ(addButton()->isEnabled(), c.stored.has_value());
        if (c.byReturn)
            QTest::keyClick(addField(), Qt::Key_Return);
        else
            QTest::mouseClick(addButton(), Qt::LeftButton);
        if (c.stored)
            expected << *c.stored;
        EXPECT_EQ(storedTerms(), expected);
        EXPECT_EQ(shownTerms(), expected);
        EXPECT_EQ(addField()->text(), c.stored ? QString() : c.typed);
        EXPECT_FALSE(addButton()->isEnabled());
        addField()->clear();
    }
}

// The first term turns the empty state into a list; deleting the last one
// asks nothing, keeps it in the store as deleted and shows the empty state.
TEST_F(GlossaryViewTest, TheEmptyStateComesAndGoesWithTheTerms)
{
    open();
    EXPECT_TRUE(shown(*view, "glossaryEmpty"));
    EXPECT_EQ(shown(*view, "glossaryList"), nullptr);

    addField()->setText("Talvex");
    QTest::keyClick(addField(), Qt::Key_Return);
    EXPECT_EQ(shown(*view, "glossaryEmpty"), nullptr);
    EXPECT_EQ(shownTerms(), QStringList{"Talvex"});
    const QString id = list->model()->index(0, 0).data(GlossaryListModel::idRole).toString();
    EXPECT_EQ(id, session->database().fetchAllGlossaryItems("local", false).value(0).id);

    clickRow("Talvex", RowButton::remove);
    EXPECT_TRUE(shown(*view, "glossaryEmpty"));
    EXPECT_TRUE(storedTerms().isEmpty());
    const std::optional<GlossaryItem> deleted = session->database().fetchGlossaryItem(id);
    ASSERT_TRUE(deleted);
    EXPECT_TRUE(deleted->deletedAt);
    EXPECT_EQ(deleted->updatedAt, *deleted->deletedAt);
    EXPECT_TRUE(alerts.shown.isEmpty());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// An edited text is stored exactly as typed, empty and untrimmed included,
// and an unchanged one is stamped again; Save and Return both end editing.
TEST_F(GlossaryViewTest, AnEditIsStoredAsTyped)
{
    struct Case
    {
        const char* name;
        GlossaryItem original;
        QString typed;
        bool byReturn;
    };
    const Case cases[] = {
        {"changed", entry("Kubernetes", "local", 0), "Kubernetes v2", false},
        {"empty", entry("gRPC", "local", 1), "", true},
        {"untrimmed", entry("Qt", "local", 2), "  spaced  ", false},
        {"unchanged", entry("Talvex", "local", 3), "Talvex", true},
    };
    QList<GlossaryItem> entries;
    for (const Case& c : cases)
        entries << c.original;
    open(entries);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clickRow(c.original.content, RowButton::edit);
        QLineEdit* field = editField(c.original.content);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->text(), c.original.content);
        EXPECT_TRUE(field->hasFocus());
        retype(field, c.typed);
        if (c.byReturn) {
            QTest::keyClick(field, Qt::Key_Return);
        } else {
            auto* save = field->parentWidget()->findChild<QPushButton*>("glossarySaveButton");
            ASSERT_NE(save, nullptr);
            EXPECT_EQ(save->text(), "Save");
            QTest::mouseClick(save, Qt::LeftButton);
        }
        const std::optional<GlossaryItem> stored = session->database().fetchGlossaryItem(c.original.id);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->content, c.typed);
        EXPECT_GT(stored->updatedAt, c.original.updatedAt);
        EXPECT_EQ(stored->createdAt, c.original.createdAt);
        const int row = rowOf(c.typed);
        EXPECT_EQ(list->model()->index(row, 0).data(GlossaryListModel::idRole).toString(), c.original.id);
        EXPECT_EQ(list->indexWidget(list->model()->index(row, 0)), nullptr) << "still editing";
    }
    EXPECT_EQ(shownTerms(), storedTerms());
}

// A row's edit state belongs to its entry: other rows added and deleted
// leave the draft as typed; another user's list drops it, and coming back
// shows the entry as stored.
TEST_F(GlossaryViewTest, AnEditSurvivesReloadsButNotAUserSwitch)
{
    open({entry("alpha", "local", 0), entry("beta", "local", 1), entry("other", "user-2", 0)});
    clickRow("alpha", RowButton::edit);
    retype(editField("alpha"), "alpha draft");

    addField()->setText("gamma");
    QTest::mouseClick(addButton(), Qt::LeftButton);
    ASSERT_EQ(shownTerms(), (QStringList{"alpha", "beta", "gamma"}));
    ASSERT_NE(editField("alpha"), nullptr);
    EXPECT_EQ(editField("alpha")->text(), "alpha draft");

    clickRow("beta", RowButton::remove);
    ASSERT_EQ(shownTerms(), (QStringList{"alpha", "gamma"}));
    ASSERT_NE(editField("alpha"), nullptr);
    EXPECT_EQ(editField("alpha")->text(), "alpha draft");

    prefs.setValue(PrefKey::currentUserId, "user-2");
    EXPECT_EQ(shownTerms(), QStringList{"other"});
    addField()->setText("theirs");
    QTest::keyClick(addField(), Qt::Key_Return);
    EXPECT_EQ(storedTerms("user-2"), (QStringList{"other", "theirs"}));

    prefs.setValue(PrefKey::currentUserId, "local");
    EXPECT_EQ(shownTerms(), (QStringList{"alpha", "gamma"}));
    EXPECT_EQ(editField("alpha"), nullptr);
    EXPECT_EQ(storedTerms(), (QStringList{"alpha", "gamma"}));
}

// The drawn buttons are the mouse's: the current row is edited with F2 and
// deleted with Delete, and its context menu holds the same two actions.
TEST_F(GlossaryViewTest, RowActionsAreReachableByKeyAndContextMenu)
{
    open({entry("alpha", "local", 0), entry("beta", "local", 1), entry("gamma", "local", 2)});
    list->setFocus();
    list->setCurrentIndex(list->model()->index(rowOf("beta"), 0));
    QTest::keyClick(list, Qt::Key_F2);
    ASSERT_NE(editField("beta"), nullptr);
    EXPECT_TRUE(editField("beta")->hasFocus());
    QTest::keyClick(editField("beta"), Qt::Key_Delete);   // a key of the field, not the row's
    EXPECT_EQ(storedTerms(), (QStringList{"alpha", "beta", "gamma"}));

    list->setFocus();
    list->setCurrentIndex(list->model()->index(rowOf("gamma"), 0));
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(storedTerms(), (QStringList{"alpha", "beta"}));

    const QPoint onAlpha = list->visualRect(list->model()->index(rowOf("alpha"), 0)).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, onAlpha, list->viewport()->mapToGlobal(onAlpha));
    QCoreApplication::sendEvent(list->viewport(), &event);
    auto* menu = view->findChild<QMenu*>("glossaryRowMenu");
    ASSERT_NE(menu, nullptr);
    QStringList titles;
    for (QAction* action : menu->actions())
        titles << action->text();
    EXPECT_EQ(titles, (QStringList{"Edit", "Delete"}));
    menu->actions().at(1)->trigger();
    menu->close();
    EXPECT_EQ(storedTerms(), QStringList{"beta"});
}

// While another connection holds the store's write lock, an added term and
// an edited text stay in their fields for another try; once it is free, the
// same press stores them and clears the field or ends the edit.
TEST_F(GlossaryViewTest, ATermTheStoreRefusesStaysTyped)
{
    open({entry("alpha", "local", 0)});
    clickRow("alpha", RowButton::edit);
    retype(editField("alpha"), "alpha v2");
    addField()->setText("  beta ");

    StoreLock lock(home.talvexDataDir() + "/talvex.db");
    ASSERT_TRUE(lock.held());
    QTest::keyClick(addField(), Qt::Key_Return);
    QTest::keyClick(editField("alpha"), Qt::Key_Return);
    EXPECT_EQ(addField()->text(), "  beta ");
    EXPECT_TRUE(addButton()->isEnabled());
    ASSERT_NE(editField("alpha"), nullptr) << "the edit ended without being stored";
    EXPECT_EQ(editField("alpha")->text(), "alpha v2");
    EXPECT_EQ(shownTerms(), QStringList{"alpha"});

    lock.release();
    QTest::keyClick(addField(), Qt::Key_Return);
    QTest::keyClick(editField("alpha"), Qt::Key_Return);
    EXPECT_EQ(addField()->text(), QString());
    EXPECT_EQ(storedTerms(), (QStringList{"alpha v2", "beta"}));
    EXPECT_EQ(shownTerms(), (QStringList{"alpha v2", "beta"}));
    EXPECT_EQ(editField("alpha v2"), nullptr);
}
