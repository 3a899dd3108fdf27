// History screen benchmark, offscreen: the recordings tab opening to its
// first paint, and the list loading again after a change of the dictation
// state up to the paint that shows it, over a real store of many recordings
// with about 900 characters of text each; beside them the store's read alone
// and SQLite's own time for stepping the same rows, measured in the same run.
// The screen runs on the real controller, its desktop and microphone faked.
// Usage: history_view_bench [recordings] [runs]
#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "HistoryStore.h"
#include "Median.h"
#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/RecordingFileManager.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAlertPresenter.h"
#include "support/FakeDesktopWindows.h"
#include "support/FakeHotkeyBackend.h"
#include "support/FakeKeySynthesizer.h"
#include "support/FakePermissionProvider.h"
#include "support/TempHome.h"
#include "support/ToneCapture.h"
#include "ui/RecordingListView.h"

using namespace historybench;
using namespace std::chrono_literals;

namespace {

// Notes each paint of the widget it watches.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Runs the event loop until `watch` has seen a paint more than `before`; the
// paint is done when this returns.
void waitForPaint(const PaintWatch& watch, int before)
{
    while (watch.paints == before)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs the event loop until the list has laid out every row.
void waitForLayout(const QListView& list)
{
    const QModelIndex last = list.model()->index(list.model()->rowCount() - 1, 0);
    while (!list.visualRect(last).isValid())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

SessionPlatform fakePlatform(FakePermissionProvider*& permissions)
{
    SessionPlatform platform;
    platform.audioCapture = [] { return std::make_unique<ToneCapture>(); };
    platform.audioFileWriter = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
    platform.hotkeys = std::make_unique<FakeHotkeyBackend>();
    platform.windows = std::make_unique<FakeDesktopWindows>();
    platform.accessibility = std::make_unique<FakeAccessibility>();
    platform.keys = std::make_unique<FakeKeySynthesizer>();
    auto fake = std::make_unique<FakePermissionProvider>();
    fake->authorization = MicrophoneAuthorization::authorized;
    fake->trusted = true;
    permissions = fake.get();
    platform.permissions = std::move(fake);
    platform.alerts = std::make_unique<FakeAlertPresenter>();
    platform.permissionTiming = {.pollInterval = 100ms};
    platform.startupTiming.panelStep = 10ms;
    platform.startupTiming.permissionStep = 10ms;
    return platform;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TempHome home;
    QApplication app(argc, argv);
    const int recordings = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 9;

    Preferences prefs(home.configHome() + "/Talvex/Talvex.conf");
    LocaleManager locale(prefs, QStringLiteral("en"));
    HttpClient http;
    {
        RecordingFileManager files;
        DatabaseManager db(files.baseDirectory());
        populate(db, recordings);
    }
    FakePermissionProvider* permissions = nullptr;
    SessionManager session(prefs, locale, http, fakePlatform(permissions));
    while (permissions->trustChecks().isEmpty())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    sqlite3* raw = openReadOnly(session.fileManager().baseDirectory());
    if (!raw)
        return 1;

    std::vector<double> sqlite, store, opening, reloading;
    int stepped = 0;
    // Alternated, so that every figure sees the same cache and machine load.
    for (int run = 0; run < runs; ++run) {
        sqlite.push_back(sqliteOwnTime(raw, stepped));
        QElapsedTimer timer;
        timer.start();
        const QList<Recording> read = session.database().fetchAllRecordings(kUser, false);
        store.push_back(timer.nsecsElapsed() / 1e6);

        timer.restart();
        auto view = std::make_unique<RecordingListView>(session);
        auto* list = view->findChild<QListView*>(QStringLiteral("recordingList"));
        const PaintWatch watch(list->viewport());
        view->resize(520, 600);
        view->show();
        waitForPaint(watch, 0);
        opening.push_back(timer.nsecsElapsed() / 1e6);
        waitForLayout(*list);
        view.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // One screen shown, and dictations started and cancelled under it: each
    // state change loads the list; timed from the announcement (connected
    // before the screen's, so it comes first) to the paint.
    QElapsedTimer timer;
    QObject::connect(&session, &SessionManager::stateChanged, [&] { timer.restart(); });
    RecordingListView view(session);
    auto* list = view.findChild<QListView*>(QStringLiteral("recordingList"));
    const PaintWatch watch(list->viewport());
    view.resize(520, 600);
    view.show();
    waitForPaint(watch, 0);
    // At the top, then scrolled half-way down, where the load lays every
    // row out to find the row shown at the top again.
    std::vector<double> scrolledReloading;
    for (std::vector<double>* figures : {&reloading, &scrolledReloading}) {
        for (int run = 0; run < runs; ++run) {
            for (const bool starting : {true, false}) {
                waitForLayout(*list);
                if (figures == &scrolledReloading)
                    list->scrollTo(list->model()->index(recordings / 2, 0), QAbstractItemView::PositionAtTop);
                const int before = watch.paints;
                if (starting)
                    session.toggleRecording();
                else
                    session.cancelRecording();
                waitForPaint(watch, before);
                figures->push_back(timer.nsecsElapsed() / 1e6);
            }
        }
    }
    sqlite3_close(raw);

    const double sqliteMs = median(sqlite);
    std::printf("History screen over %d recordings (~900 characters of text each), offscreen, median of %d runs:\n",
                recordings, runs);
    std::printf("  SQLite stepping the list's statement (%d rows):  %8.1f ms\n", stepped, sqliteMs);
    std::printf("  store fetchAllRecordings:                       %8.1f ms  (%.2f x SQLite)\n", median(store),
                median(store) / sqliteMs);
    std::printf("  opening to the first paint:                     %8.1f ms  (%.2f x SQLite)\n", median(opening),
                median(opening) / sqliteMs);
    std::printf("  reload after a state change, to its paint:      %8.1f ms  (%.2f x SQLite, %zu changes)\n",
                median(reloading), median(reloading) / sqliteMs, reloading.size());
    std::printf("  the same, scrolled to row %d:                 %8.1f ms  (%.2f x SQLite, %zu changes)\n",
                recordings / 2, median(scrolledReloading), median(scrolledReloading) / sqliteMs,
                scrolledReloading.size());
    return stepped == recordings ? 0 : 1;
}
