// The recordings history on the real controller: what each row offers by its
// painted buttons, its context menu and the keyboard; the dictation under way
// kept out of deletion; retries that run, are refused, and end after the
// screen; clear all against the store; the loads and the scroll position.
#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QFile>
#include <QHelpEvent>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolTip>
#include <cmath>
#include <limits>

#include "ViewFixture.h"
#include "store/RecordId.h"
#include "ui/PlainLabel.h"
#include "ui/PlainText.h"
#include "ui/RecordingListView.h"
#include "ui/RecordingRowView.h"
#include "ui/Style.h"

using namespace sessiontest;
using namespace std::chrono_literals;
using Action = RecordingListModel::Action;

namespace {

// How a stored slice is left.
struct StoredSlice
{
    SliceStatus status = SliceStatus::completed;
    bool withFile = true;
};

// A recording as a test stores it.
struct Stored
{
    RecordingStatus status = RecordingStatus::completed;
    std::optional<QString> deviceId;   // the controller's when not given
    std::optional<QString> rawText = QString("raw words");
    std::optional<QString> cleanedText = QString("Cleaned words.");
    std::optional<QString> error;
    QList<StoredSlice> slices = {StoredSlice{}};
    std::optional<double> duration = 12.5;
    QString userId = "local";
};

// What a row shows, painted and in its menu.
struct Offered
{
    bool retry = false;
    bool note = false;
    bool regenerate = false;
    bool copy = false;

    bool operator==(const Offered&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Offered& o)
{
    return out << "{retry " << o.retry << ", note " << o.note << ", regenerate " << o.regenerate << ", copy "
               << o.copy << "}";
}

}  // namespace

class RecordingListViewTest : public ViewFixture
{
protected:
    RecordingListView& buildView()
    {
        if (!session)
            buildReady();
        view = std::make_unique<RecordingListView>(*session);
        view->resize(560, 600);
        view->show();
        tester = std::make_unique<QAbstractItemModelTester>(
            list()->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        return *view;
    }

    QListView* list() const { return view->findChild<QListView*>("recordingList"); }
    RecordingListModel* model() const { return qobject_cast<RecordingListModel*>(list()->model()); }
    RecordingRowView* rows() const { return qobject_cast<RecordingRowView*>(list()->itemDelegate()); }

    QString store(const Stored& s, int minutesAgo = 0)
    {
        DatabaseManager& db = session->database();
        Recording r;
        r.id = newRecordId();
        r.userId = s.userId;
        r.createdAt = r.updatedAt = QDateTime::currentDateTimeUtc().addSecs(-60 * minutesAgo);
        r.duration = s.duration;
        r.status = s.status;
        r.sliceCount = int(s.slices.size());
        r.rawText = s.rawText;
        r.cleanedText = s.cleanedText;
        r.deviceId = s.deviceId ? s.deviceId : session->deviceId();
        if (r.deviceId->isEmpty())
            r.deviceId = std::nullopt;
        r.error = s.error;
        EXPECT_TRUE(db.insertRecording(r));
        int index = 0;
        for (const StoredSlice& shape : s.slices) {
            Slice slice;
            slice.id = newRecordId();
            slice.userId = s.userId;
            slice.recordingId = r.id;
            slice.sliceIndex = ++index;
            slice.filename = RecordingFileManager::generateSliceFilename(r.id, index, r.createdAt);
            slice.status = shape.status;
            if (shape.status == SliceStatus::completed)
                slice.rawText = "words";
            slice.updatedAt = r.updatedAt;
            EXPECT_TRUE(db.insertSlice(slice));
            if (shape.withFile)
                writeSliceFile(slice.filename);
        }
        return r.id;
    }

    // A slice file; the transcription fake answers whatever it holds.
    void writeSliceFile(const QString& filename)
    {
        QFile file(session->fileManager().recordingsDirectory() + "/" + filename);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("audio");
    }

    int row(const QString& id) const { return model()->rowOf(id); }
    QRect rowRect(const QString& id) const { return list()->visualRect(model()->index(row(id))); }
    QRect actionRect(const QString& id, Action action) const
    {
        return rows()->actionRect(rowRect(id), row(id), action);
    }

    void clickAction(const QString& id, Action action)
    {
        const QRect rect = actionRect(id, action);
        ASSERT_FALSE(rect.isEmpty()) << "no such button";
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    // The painted buttons of the row; every row paints its delete button.
    Offered painted(const QString& id) const
    {
        EXPECT_FALSE(actionRect(id, Action::remove).isEmpty());
        return {!actionRect(id, Action::retry).isEmpty(), !rows()->noteRect(rowRect(id), row(id)).isEmpty(),
                !actionRect(id, Action::regenerate).isEmpty(), !actionRect(id, Action::copy).isEmpty()};
    }

    // The row's context menu, opened by the menu key on it: its entries by
    // name, each enabled or not. The menu is closed again.
    QMap<QString, bool> menu(const QString& id)
    {
        list()->setFocus();
        list()->setCurrentIndex(model()->index(row(id)));
        QTest::keyClick(list(), Qt::Key_Menu);
        QMenu* shown = nullptr;
        EXPECT_TRUE(waitUntil([&] {
            shown = view->findChild<QMenu*>("rowMenu");
            return shown && shown->isVisible();
        }));
        QMap<QString, bool> entries;
        if (!shown)
            return entries;
        for (QAction* action : shown->actions())
            entries[action->objectName()] = action->isEnabled();
        shown->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return entries;
    }

    // Runs an entry of the row's context menu.
    void chooseFromMenu(const QString& id, const QString& entry)
    {
        list()->setFocus();
        list()->setCurrentIndex(model()->index(row(id)));
        QTest::keyClick(list(), Qt::Key_F10, Qt::ShiftModifier);
        auto* shown = view->findChild<QMenu*>("rowMenu");
        ASSERT_NE(shown, nullptr);
        auto* action = shown->findChild<QAction*>(entry);
        ASSERT_NE(action, nullptr) << entry.toStdString();
        action->trigger();
        shown->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QStringList listedIds() const
    {
        QStringList ids;
        for (const Recording& r : model()->recordings())
            ids << r.id;
        return ids;
    }

    // Whether the row's status icon is painted in `colour`.
    bool iconPaintedIn(const QString& id, const QColor& colour) const
    {
        const QImage image = list()->viewport()->grab().toImage();
        const QRect rect = rowRect(id);
        const QRect icon(rect.left() + RecordingRowView::kInset, rect.top() + RecordingRowView::kPadding,
                         RecordingRowView::kIconBox, RecordingRowView::kIconSize);
        const qreal ratio = image.devicePixelRatio();
        for (int y = icon.top(); y <= icon.bottom(); ++y) {
            for (int x = icon.left(); x <= icon.right(); ++x) {
                const QColor pixel = image.pixelColor(int(x * ratio), int(y * ratio));
                if (std::abs(pixel.red() - colour.red()) < 8 && std::abs(pixel.green() - colour.green()) < 8
                    && std::abs(pixel.blue() - colour.blue()) < 8)
                    return true;
            }
        }
        return false;
    }

    QMessageBox* confirmation() const { return view->findChild<QMessageBox*>("clearAllConfirm"); }

    std::unique_ptr<RecordingListView> view;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

// Each row offers what its recording allows: retry where it stopped short of
// its text and has a slice here, a note instead for another machine's,
// regenerate only with every slice's audio, copy where there is a text.
// The painted buttons, the context menu and the accessible text agree.
TEST_F(RecordingListViewTest, EachRowOffersWhatItsRecordingAllows)
{
    struct Case
    {
        const char* name;
        Stored stored;
        Offered offered;
        QColor icon;
        QString accessibleTail;   // after "<status>, <time>"
        QString copied;
    };
    const StoredSlice failedSlice{SliceStatus::failed};
    const Case cases[] = {
        {"completed", {}, {.regenerate = true, .copy = true}, Style::green, "Completed|Cleaned words.",
         "Cleaned words."},
        {"completed, a lost slice", {.slices = {StoredSlice{}, {SliceStatus::lost, false}}}, {.copy = true},
         Style::green, "Completed|Cleaned words.", "Cleaned words."},
        {"completed, a file missing", {.slices = {StoredSlice{}, {SliceStatus::completed, false}}}, {.copy = true},
         Style::green, "Completed|Cleaned words.", "Cleaned words."},
        {"completed without a slice", {.slices = {}}, {.copy = true}, Style::green, "Completed|Cleaned words.",
         "Cleaned words."},
        {"completed, raw text only", {.cleanedText = std::nullopt}, {.regenerate = true, .copy = true},
         Style::green, "Completed|raw words", "raw words"},
        {"completed, an empty polished text", {.cleanedText = QString()}, {.regenerate = true, .copy = true},
         Style::green, "Completed|raw words", "raw words"},
        {"failed here", {.status = RecordingStatus::failed, .cleanedText = std::nullopt,
                         .error = QString("1 slice(s) failed"), .slices = {StoredSlice{}, failedSlice}},
         {.retry = true, .copy = true}, Style::red, "Failed|raw words|1 slice(s) failed", "raw words"},
        {"failed on another machine",
         {.status = RecordingStatus::failed, .deviceId = QString("other-device"), .rawText = std::nullopt,
          .cleanedText = std::nullopt, .error = QString("1 slice(s) failed"), .slices = {failedSlice}},
         {.note = true}, Style::red, "Failed|1 slice(s) failed", ""},
        {"failed without a device id",
         {.status = RecordingStatus::failed, .deviceId = QString(), .rawText = std::nullopt,
          .cleanedText = std::nullopt, .slices = {failedSlice}},
         {.retry = true}, Style::red, "Failed", ""},
        {"failed without a slice",
         {.status = RecordingStatus::failed, .rawText = std::nullopt, .cleanedText = std::nullopt,
          .error = QString("Cancelled by user"), .slices = {}},
         {}, Style::red, "Failed|Cancelled by user", ""},
        {"recorded, left pending", {.status = RecordingStatus::recorded, .rawText = std::nullopt,
                                    .cleanedText = std::nullopt, .slices = {{SliceStatus::pending}}},
         {.retry = true}, Style::orange, "Recorded", ""},
        {"transcribed", {.status = RecordingStatus::transcribed, .cleanedText = std::nullopt},
         {.retry = true, .copy = true}, Style::orange, "Transcribed|raw words", "raw words"},
        {"left recording by a failed start", {.status = RecordingStatus::recording, .rawText = std::nullopt,
                                              .cleanedText = std::nullopt, .slices = {}},
         {}, Style::red, "Recording", ""},
    };
    buildReady();
    QStringList ids;
    for (int i = 0; i < int(std::size(cases)); ++i)
        ids << store(cases[i].stored, i);
    buildView();
    ASSERT_EQ(listedIds(), ids) << "newest first";

    for (int i = 0; i < int(std::size(cases)); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        const QString& id = ids[i];
        list()->scrollTo(model()->index(row(id)));
        EXPECT_EQ(painted(id), c.offered);
        EXPECT_TRUE(iconPaintedIn(id, c.icon));

        QMap<QString, bool> expectedMenu{{"rowMenuDelete", true}};
        if (c.offered.retry)
            expectedMenu["rowMenuRetry"] = true;
        if (c.offered.regenerate)
            expectedMenu["rowMenuRegenerate"] = true;
        if (c.offered.copy)
            expectedMenu["rowMenuCopy"] = true;
        EXPECT_EQ(menu(id), expectedMenu);

        QStringList tail = c.accessibleTail.split('|');
        tail.insert(1, RecordingListModel::timeText(model()->recording(row(id)).createdAt));
        QAccessibleInterface* item = QAccessible::queryAccessibleInterface(list())->child(row(id));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text(QAccessible::Name), tail.join(", "));

        QGuiApplication::clipboard()->setText("before");
        list()->setCurrentIndex(model()->index(row(id)));
        QTest::keyClick(list(), Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(clipboardText(), c.copied.isEmpty() ? "before" : c.copied) << "Ctrl+C";
        if (c.offered.copy) {
            QGuiApplication::clipboard()->setText("before");
            clickAction(id, Action::copy);
            EXPECT_EQ(clipboardText(), c.copied) << "the copy button";
        }
    }
    // The painted buttons are no widgets: only the header's take focus.
    QStringList buttons;
    for (auto* button : view->findChildren<QAbstractButton*>())
        buttons << button->objectName();
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{"clearAllButton", "openFolderButton"}));
}

// A length is whole minutes and seconds, cut toward zero and never wrapped
// into hours; a length that is no finite number of seconds in the integer
// range shows nothing, and its row is still listed.
TEST_F(RecordingListViewTest, LengthsAreCutToWholeSecondsOrLeftOut)
{
    struct Case
    {
        double seconds;
        std::optional<QString> shown;
    };
    const Case cases[] = {
        {59.9, "0:59"},
        {60, "1:00"},
        {3725, "62:05"},
        {0, "0:00"},
        {std::nan(""), std::nullopt},
        {std::numeric_limits<double>::infinity(), std::nullopt},
        {-std::numeric_limits<double>::infinity(), std::nullopt},
        {1e300, std::nullopt},
        {-1, std::nullopt},
    };
    buildReady();
    for (const Case& c : cases) {
        EXPECT_EQ(RecordingListModel::lengthText(c.seconds), c.shown) << c.seconds;
        store({.duration = c.seconds});
    }
    EXPECT_EQ(RecordingListModel::lengthText(std::nullopt), std::nullopt);
    buildView();
    EXPECT_EQ(model()->rowCount(), int(std::size(cases)));
}

// A failed row shows at most three lines of its error; the whole error, as
// plain text, is its tooltip.
TEST_F(RecordingListViewTest, TheErrorShowsThreeLinesAndWholeInItsTooltip)
{
    buildReady();
    const QString longError = "<b>x</b> " + QString("The service said no. ").repeated(60);
    const QString shortId = store({.status = RecordingStatus::failed, .error = QString("Short."),
                                   .slices = {{SliceStatus::failed}}});
    const QString longId = store({.status = RecordingStatus::failed, .error = longError,
                                  .slices = {{SliceStatus::failed}}}, 1);
    buildView();
    const int captionLine = QFontMetrics(Style::font(Style::TextSize::caption)).height();
    EXPECT_EQ(rowRect(longId).height() - rowRect(shortId).height(), 2 * captionLine) << "two more lines, no more";

    const QRect rect = rowRect(longId);
    // The error's lines lie under the time and text lines, in the text column.
    const QPoint onError(rect.left() + 60, rect.bottom() - RecordingRowView::kPadding - captionLine);
    QHelpEvent help(QEvent::ToolTip, onError, list()->viewport()->mapToGlobal(onError));
    QCoreApplication::sendEvent(list()->viewport(), &help);
    EXPECT_EQ(QToolTip::text(), PlainText::toolTip(longError));
    QToolTip::hideText();
}

// The dictation under way is not deleted, by any way, and nothing is cleared
// while one is: it would go on into a deleted row. A clear-all alert left open
// while a dictation starts deletes nothing when confirmed.
TEST_F(RecordingListViewTest, TheDictationUnderWayIsNeitherDeletedNorCleared)
{
    const SessionState states[] = {SessionState::recording, SessionState::paused, SessionState::processing,
                                   SessionState::confirming};
    buildReady();
    const QString older = store({}, 5);
    buildView();
    const auto answers = transcribe;
    for (const SessionState state : states) {
        SCOPED_TRACE(toText(state).toStdString());
        transcribe = answers;
        reach(state);
        const QString current = session->currentRecording()->id;
        ASSERT_EQ(listedIds().first(), current);
        EXPECT_FALSE(shown<QAbstractButton>(*view, "clearAllButton")->isEnabled());
        EXPECT_EQ(menu(current).value("rowMenuDelete", true), false);

        clickAction(current, Action::remove);
        list()->setCurrentIndex(model()->index(row(current)));
        QTest::keyClick(list(), Qt::Key_Delete);
        view->run(current, Action::remove);
        EXPECT_GE(row(current), 0) << "still listed";
        EXPECT_TRUE(session->database().fetchRecording(current).has_value()) << "still stored";

        EXPECT_EQ(menu(older).value("rowMenuDelete"), true) << "other rows may go";

        if (state == SessionState::processing)
            session->cancelProcessing();
        else if (state == SessionState::confirming)
            session->cancelInjection();
        else
            session->cancelRecording();
        ASSERT_EQ(session->state(), SessionState::idle);
    }

    // Alert opened while idle, confirmed once a dictation runs.
    click(*view, "clearAllButton");
    ASSERT_NE(confirmation(), nullptr);
    EXPECT_EQ(confirmation()->parent(), view.get());
    start();
    freshLines();
    QTest::mouseClick(confirmation()->findChild<QAbstractButton*>("clearAllConfirmButton"), Qt::LeftButton);
    EXPECT_EQ(session->database().fetchAllRecordings("local", false).size(), int(std::size(states)) + 2);
    const QStringList lines = freshLines();
    EXPECT_TRUE(lines.contains("WARN Recordings: not cleared, a dictation is under way")) << lines.join("\n").toStdString();
    session->cancelRecording();
}

// Clear all asks first, in an alert of the screen's own; confirmed, every
// recording and slice of the current user gets a deletion time and the list
// turns empty; cancelled, nothing changes. The screen's end closes it.
TEST_F(RecordingListViewTest, ClearAllAsksAndDeletesOnlyTheCurrentUsersRecordings)
{
    buildReady();
    const QString mine = store({.slices = {StoredSlice{}, StoredSlice{}}});
    const QString theirs = store({.userId = "ACCOUNT-1"});
    buildView();
    ASSERT_TRUE(shown(*view, "clearAllButton"));

    click(*view, "clearAllButton");
    ASSERT_NE(confirmation(), nullptr);
    EXPECT_EQ(confirmation()->text(), "Clear All");
    EXPECT_EQ(confirmation()->informativeText(), locale.text("recordings.clearConfirm"));
    QTest::mouseClick(confirmation()->findChild<QAbstractButton*>("clearAllCancelButton"), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(confirmation(), nullptr);
    EXPECT_EQ(listedIds(), QStringList{mine});
    EXPECT_EQ(session->database().fetchSlices(mine, false).size(), 2);

    click(*view, "clearAllButton");
    QTest::mouseClick(confirmation()->findChild<QAbstractButton*>("clearAllConfirmButton"), Qt::LeftButton);
    EXPECT_FALSE(session->database().fetchRecording(mine));
    EXPECT_TRUE(session->database().fetchRecordingIncludingDeleted(mine)->deletedAt);
    EXPECT_TRUE(session->database().fetchSlices(mine, false).isEmpty());
    EXPECT_EQ(session->database().fetchSlices(mine, true).size(), 2);
    EXPECT_TRUE(session->database().fetchRecording(theirs)) << "another user's stays";
    EXPECT_TRUE(shown(*view, "emptyState"));
    EXPECT_FALSE(shown(*view, "recordingList"));
    EXPECT_FALSE(shown(*view, "clearAllButton"));
    EXPECT_TRUE(shown(*view, "openFolderButton"));

    // An alert open when the screen goes goes with it.
    store({});
    buildView();
    click(*view, "clearAllButton");
    QPointer<QMessageBox> open = confirmation();
    ASSERT_TRUE(open);
    view.reset();
    EXPECT_FALSE(open);
}

// With nothing stored: the empty state names the shortcut; deleting the last
// row brings it back. The folder opens through the desktop.
TEST_F(RecordingListViewTest, TheEmptyStateNamesTheShortcutAndTheFolderOpens)
{
    buildReady();
    buildView();
    EXPECT_EQ(shownNames(*view), (QStringList{"emptyHint", "emptyState", "emptySymbol", "emptyTitle",
                                              "openFolderButton", "recordingsDivider"}));
    EXPECT_EQ(shown<PlainLabel>(*view, "emptyHint")->fullText(), "Press ⌘ ⇧ E to start dictating");

    click(*view, "openFolderButton");
    EXPECT_EQ(windows.openedFolders, QStringList{session->fileManager().recordingsDirectory()});

    const QString id = store({});
    buildView();
    EXPECT_TRUE(shown(*view, "recordingList"));
    clickAction(id, Action::remove);
    EXPECT_FALSE(session->database().fetchRecording(id));
    EXPECT_TRUE(shown(*view, "emptyState"));
    EXPECT_FALSE(shown(*view, "clearAllButton"));
}

// Retry and regenerate run in the orchestrator; while one runs both of the
// row's buttons are disabled and a second click sends nothing; its end
// reloads the list. A retry that ends after the screen is gone still ends.
TEST_F(RecordingListViewTest, ARetryDisablesItsRowUntilItEndsAlsoAfterTheScreen)
{
    transcribe = [](int request) {
        HttpFake::Answer held = HttpFake::Answer::text(200, "again " + QByteArray::number(request));
        held.heldAs = "answer";
        return held;
    };
    buildReady();
    const QString failed = store({.status = RecordingStatus::failed, .rawText = std::nullopt,
                                  .cleanedText = std::nullopt, .error = QString("1 slice(s) failed"),
                                  .slices = {{SliceStatus::failed}}});
    const QString completed = store({}, 1);
    buildView();

    clickAction(failed, Action::retry);
    EXPECT_TRUE(session->orchestrator().isRetrying(failed));
    EXPECT_EQ(menu(failed), (QMap<QString, bool>{{"rowMenuRetry", false}, {"rowMenuDelete", true}}));
    clickAction(failed, Action::retry);
    chooseFromMenu(completed, "rowMenuRegenerate");
    EXPECT_EQ(menu(completed),
              (QMap<QString, bool>{{"rowMenuRegenerate", false}, {"rowMenuCopy", true}, {"rowMenuDelete", true}}));
    ASSERT_TRUE(waitUntil([&] { return requestsTo(kTranscriptions).size() == 2; }));
    spinFor(50);
    EXPECT_EQ(requestsTo(kTranscriptions).size(), 2) << "one per recording";

    ASSERT_TRUE(waitUntil([&] { return services.openAI.release("answer"); }));
    ASSERT_TRUE(waitUntil([&] { return !session->orchestrator().isRetrying(failed)
                                       && !session->orchestrator().isRetrying(completed); }));
    EXPECT_EQ(model()->recording(row(failed)).status, RecordingStatus::completed) << "reloaded at the end";
    EXPECT_EQ(model()->recording(row(failed)).cleanedText, "Polished text.");
    EXPECT_EQ(painted(failed), (Offered{.regenerate = true, .copy = true}));

    // Regenerated from a screen that is gone by its end.
    clickAction(failed, Action::regenerate);
    view.reset();
    ASSERT_TRUE(waitUntil([&] { return services.openAI.release("answer"); }));
    ASSERT_TRUE(waitUntil([&] { return !session->orchestrator().isRetrying(failed); }));
    EXPECT_EQ(session->database().fetchRecording(failed)->rawText, "again 3");
}

// The list loads again at every change of the dictation state and of the
// current user, and keeps the row at the top of the view where it was.
TEST_F(RecordingListViewTest, TheListFollowsTheDictationAndUserAndKeepsItsPlace)
{
    buildReady();
    QStringList ids;
    for (int i = 0; i < 300; ++i)
        ids << store({.status = i % 3 ? RecordingStatus::completed : RecordingStatus::failed,
                      .error = QString("1 slice(s) failed")}, 300 - i);
    std::reverse(ids.begin(), ids.end());
    buildView();
    ASSERT_EQ(listedIds(), ids);

    // At the top, a new dictation shows at the top.
    const QString dictation = start();
    EXPECT_EQ(listedIds().first(), dictation);
    EXPECT_EQ(model()->recording(0).status, RecordingStatus::recording);
    EXPECT_EQ(list()->verticalScrollBar()->value(), 0);
    session->stopRecording();
    ASSERT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(model()->recording(row(dictation)).status, RecordingStatus::completed);

    // Scrolled down to row 200, a state change keeps that row where it was.
    // The rows beyond the first batch are laid out pass by pass.
    ASSERT_TRUE(waitUntil([&] { return list()->visualRect(model()->index(300)).isValid(); }));
    list()->scrollTo(model()->index(200), QAbstractItemView::PositionAtTop);
    list()->verticalScrollBar()->setValue(list()->verticalScrollBar()->value() + 7);
    const QModelIndex top = list()->indexAt(QPoint(10, 0));
    const QString topId = model()->recording(top.row()).id;
    const int offset = list()->visualRect(top).top();
    ASSERT_LT(offset, 0);
    start();
    EXPECT_EQ(model()->recording(list()->indexAt(QPoint(10, 0)).row()).id, topId);
    EXPECT_EQ(list()->visualRect(model()->index(row(topId))).top(), offset);
    // Also once the layout passes queued by the load have run.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    spinFor(100);
    EXPECT_EQ(model()->recording(list()->indexAt(QPoint(10, 0)).row()).id, topId);
    EXPECT_EQ(list()->visualRect(model()->index(row(topId))).top(), offset);
    session->cancelRecording();

    // Another user's list; the same user written again loads nothing.
    const QString theirs = store({.userId = "ACCOUNT-1"});
    prefs.setValue(PrefKey::currentUserId, "ACCOUNT-1");
    EXPECT_EQ(listedIds(), QStringList{theirs});
    const RecordingListModel* before = model();
    QSignalSpy resets(model(), &QAbstractItemModel::modelReset);
    prefs.setValue(PrefKey::currentUserId, "ACCOUNT-1");
    EXPECT_EQ(resets.size(), 0);
    EXPECT_EQ(model(), before);
}
