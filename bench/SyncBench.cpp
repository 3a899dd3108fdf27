// Sync benchmark: an account holding 10,000 rows on the loopback fake backend
// (2,000 glossary entries, 3,000 recordings, 5,000 slices). Each run measures,
// on a fresh backend and device:
//   1. a full pull into an empty store,
//   2. the same full pull again (every row already stored, nothing written),
//   3. a push of 1,000 changed rows (200 entries, 300 recordings, 500 slices),
// each split into its phases: the engine's own log lines time its steps, and
// the table requests are timed alone (the raw request, and the decoding of
// its answer) on the same backend right before the pull.
// Usage: sync_bench [runs]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "Median.h"
#include "platform/HttpClient.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "store/TimeText.h"
#include "support/FakeBackend.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/SyncDevice.h"
#include "support/TempHome.h"
#include "support/TestClock.h"

namespace {

constexpr int kGlossary = 2'000;
constexpr int kRecordings = 3'000;
constexpr int kSlices = 5'000;
constexpr int kPushedGlossary = 200;
constexpr int kPushedRecordings = 300;
constexpr int kPushedSlices = 500;
const char* const kTables[] = {"glossary", "recordings", "slices"};

double msSince(const QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e6; }

// Runs the event loop until `task` has ended, as the app's loop does: the
// tests' waitUntil() sleeps a millisecond between turns, which would add
// that to every step of every request.
template <typename T>
T runLoop(QCoro::Task<T> task)
{
    QEventLoop loop;
    std::optional<T> result;
    auto finishing = [&]() -> QCoro::Task<void> {
        result.emplace(co_await std::move(task));
        loop.quit();
    }();
    if (!result)
        loop.exec();
    return std::move(*result);
}

void runLoop(QCoro::Task<void> task)
{
    auto ended = [](QCoro::Task<void> inner) -> QCoro::Task<bool> {
        co_await std::move(inner);
        co_return true;
    };
    runLoop(ended(std::move(task)));
}

QString prose(int length, int seed)
{
    static const QString words = QStringLiteral(
        "the quick brown fox jumps over the lazy dog while the meeting notes keep growing and "
        "every sentence of the dictation lands where the cursor was when the key went down ");
    QString text;
    for (int i = seed % 7; text.size() < length; ++i)
        text += words.mid((i * 13) % (words.size() - 20), 20);
    return text.left(length);
}

// Rows as another device of the account pushed them, over the last 30 days.
void fillBackend(FakeBackend& fake, const QString& userId, const QDateTime& now)
{
    auto stamp = [&](int i) { return TimeText::format(now.addSecs(-30 * 86'400 + i * 200)); };
    for (int i = 0; i < kGlossary; ++i) {
        fake.writeRow("glossary", userId,
                      {{"id", newRecordId()}, {"content", QStringLiteral("term %1").arg(i)},
                       {"created_at", stamp(i)}, {"updated_at", stamp(i)}, {"deleted_at", QJsonValue::Null}});
    }
    QStringList recordingIds;
    for (int i = 0; i < kRecordings; ++i) {
        recordingIds << newRecordId();
        fake.writeRow("recordings", userId,
                      {{"id", recordingIds.last()}, {"status", "completed"}, {"duration", 30.5 + i % 60},
                       {"slice_count", 2}, {"raw_text", prose(600, i)}, {"cleaned_text", prose(550, i + 1)},
                       {"provider", "openai"}, {"device_id", "bench-device"}, {"error", QJsonValue::Null},
                       {"created_at", stamp(i)}, {"updated_at", stamp(i)}, {"deleted_at", QJsonValue::Null}});
    }
    for (int i = 0; i < kSlices; ++i) {
        const QString recordingId = recordingIds[i % kRecordings];
        const int index = i / kRecordings;
        fake.writeRow("slices", userId,
                      {{"id", newRecordId()}, {"recording_id", recordingId}, {"slice_index", index},
                       {"filename", RecordingFileManager::generateSliceFilename(recordingId, index, now)},
                       {"status", "completed"}, {"raw_text", prose(300, i)}, {"duration", 30.0},
                       {"provider", "openai"}, {"error", QJsonValue::Null}, {"updated_at", stamp(i)},
                       {"deleted_at", QJsonValue::Null}});
    }
}

// The times of the engine's log lines, by the start of their text.
class LogTimes
{
public:
    explicit LogTimes(const Logger& logger) : m_logger(logger), m_from(int(logger.entries().size())) {}

    std::optional<QDateTime> of(const QString& start) const
    {
        const auto& entries = m_logger.entries();
        for (int i = m_from; i < entries.size(); ++i) {
            if (entries[i].message.startsWith(start))
                return entries[i].timestamp;
        }
        return std::nullopt;
    }
    // Milliseconds from the line starting `from` to the one starting `to`.
    double between(const QString& from, const QString& to) const
    {
        const auto a = of(from), b = of(to);
        return a && b ? double(a->msecsTo(*b)) : -1;
    }

private:
    const Logger& m_logger;
    int m_from;
};

struct TableTimes
{
    double request = 0;    // the GET alone, to the last byte
    double decoding = 0;   // its answer to a list of objects
    double select = 0;     // the client's select: request and decoding
};

// One table's GET, timed alone and then through the client.
TableTimes timeTable(SyncDevice& device, HttpClient& http, const QString& table)
{
    TableTimes times;
    const BackendSession session = *device.client().storedSession();
    HttpRequest request;
    request.method = "GET";
    QUrl url = device.client().config().tableUrl(table);
    url.setQuery(QStringLiteral("select=*"));
    request.url = url;
    request.headers = {{"Apikey", device.client().config().publishableKey().toUtf8()},
                       {"Authorization", "Bearer " + session.accessToken.toUtf8()}};
    request.timeout = std::chrono::minutes(5);
    QElapsedTimer timer;
    timer.start();
    const auto answer = runLoop(http.send(request));
    times.request = msSince(timer);
    if (!answer.ok()) {
        std::fprintf(stderr, "the GET of %s failed\n", qPrintable(table));
        std::exit(1);
    }
    timer.restart();
    const QJsonArray rows = QJsonDocument::fromJson(answer.value().body).array();
    qsizetype objects = 0;
    for (const QJsonValue& row : rows)
        objects += row.toObject().size();
    times.decoding = msSince(timer);

    timer.restart();
    const auto selected = runLoop(device.client().select(table, std::nullopt, device.userId(),
                                                       std::chrono::minutes(5)));
    times.select = msSince(timer);
    if (!selected.ok() || selected.value().size() != rows.size() || objects == 0) {
        std::fprintf(stderr, "the select of %s failed\n", qPrintable(table));
        std::exit(1);
    }
    return times;
}

struct PullTimes
{
    double total = 0;
    // From the log: the request and decoding of a table, then its applying
    // together with the next table's request and decoding.
    double glossaryFetch = 0, glossaryApplyRecordingsFetch = 0, recordingsApplySlicesFetch = 0, slicesApply = 0;
};

PullTimes timeFullPull(SyncDevice& device)
{
    const LogTimes log(device.log.logger);
    QElapsedTimer timer;
    timer.start();
    runLoop(device.engine.forceFullSync(device.userId()));
    QCoreApplication::processEvents();   // the logger appends its list later
    if (device.engine.lastError()) {
        std::fprintf(stderr, "the full sync failed: %s\n", qPrintable(*device.engine.lastError()));
        std::exit(1);
    }
    PullTimes times;
    times.total = msSince(timer);
    times.glossaryFetch = log.between("SyncManager: pulling (full)", "SyncManager: pulled");
    times.glossaryApplyRecordingsFetch = log.between("SyncManager: pulled " + QString::number(kGlossary),
                                          "SyncManager: pulled " + QString::number(kRecordings));
    times.recordingsApplySlicesFetch = log.between("SyncManager: pulled " + QString::number(kRecordings),
                                      "SyncManager: pulled " + QString::number(kSlices));
    times.slicesApply = log.between("SyncManager: pulled " + QString::number(kSlices),
                                      "SyncManager: pull completed");
    return times;
}

// Changes `count` rows of each table as the user would, stamped now.
void changeRows(SyncDevice& device)
{
    const QString user = device.userId();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    device.db.writeInTransaction([&] {
        const auto items = device.db.fetchAllGlossaryItems(user, false);
        for (int i = 0; i < kPushedGlossary; ++i) {
            GlossaryItem item = items[i];
            item.content += " (edited)";
            item.updatedAt = now;
            device.db.updateGlossaryItem(item);
        }
        const auto recordings = device.db.fetchAllRecordings(user, false);
        for (int i = 0; i < kPushedRecordings; ++i) {
            Recording recording = recordings[i];
            recording.cleanedText = recording.cleanedText.value_or(QString()) + " (edited)";
            recording.updatedAt = now;
            device.db.updateRecording(recording);
        }
        int changed = 0;
        for (const Recording& recording : recordings) {
            for (Slice slice : device.db.fetchSlices(recording.id, false)) {
                if (changed == kPushedSlices)
                    return;
                slice.rawText = slice.rawText.value_or(QString()) + " (edited)";
                slice.updatedAt = now;
                device.db.updateSlice(slice);
                ++changed;
            }
        }
    });
}

struct PushTimes
{
    double total = 0;
    double readingDirty = 0;   // the three dirty queries, timed alone
    double glossary = 0, recordings = 0, slices = 0;   // from the log: read, send, mark
    int requests = 0;
};

PushTimes timePush(SyncDevice& device, const FakeBackend& fake)
{
    const QString user = device.userId();
    PushTimes times;
    QElapsedTimer timer;
    timer.start();
    const qsizetype dirty = device.db.fetchDirtyGlossaryItems(user).size()
                            + device.db.fetchDirtyRecordings(user).size() + device.db.fetchDirtySlices(user).size();
    times.readingDirty = msSince(timer);
    if (dirty != kPushedGlossary + kPushedRecordings + kPushedSlices) {
        std::fprintf(stderr, "%lld dirty rows in place of %d\n", static_cast<long long>(dirty),
                     kPushedGlossary + kPushedRecordings + kPushedSlices);
        std::exit(1);
    }

    const LogTimes log(device.log.logger);
    const qsizetype requestsBefore = fake.requests().size();
    timer.restart();
    // The push ends with one of these lines.
    auto ended = [&] {
        return log.of("SyncManager: push completed") || log.of("SyncManager: push attempt")
               || log.of("SyncManager: push failed");
    };
    QEventLoop loop;
    QObject::connect(&device.log.logger, &Logger::entriesChanged, &loop, [&] {
        if (ended())
            loop.quit();
    });
    device.engine.schedulePush(user);   // no debounce in this bench
    loop.exec();
    times.total = msSince(timer);
    if (!log.of("SyncManager: push completed")) {
        std::fprintf(stderr, "the push failed\n");
        std::exit(1);
    }
    times.requests = int(fake.requests().size() - requestsBefore);
    times.glossary = log.between("SyncManager: pushing dirty data", "SyncManager: pushing "
                                                                     + QString::number(kPushedRecordings));
    times.recordings = log.between("SyncManager: pushing " + QString::number(kPushedRecordings),
                                   "SyncManager: pushing " + QString::number(kPushedSlices));
    times.slices = log.between("SyncManager: pushing " + QString::number(kPushedSlices),
                               "SyncManager: push completed");
    return times;
}

struct Run
{
    std::map<QString, TableTimes> tables;
    PullTimes first, second;
    PushTimes push;
};

Run runOnce()
{
    TempHome home;
    TestClock clock(QDateTime::currentDateTimeUtc());
    FakeBackend fake(clock);
    const FakeBackend::User user = fake.addUser("bench@example.com");
    fillBackend(fake, user.id, clock.now());

    HttpClient http;
    SyncTiming timing;
    timing.pushDebounce = std::chrono::milliseconds(0);
    SyncDevice device(http, BackendConfig(fake.url(), FakeBackend::kPublishableKey), timing);
    ScriptedWebAuthSession browser;
    fake.setSignInUser(user.id);
    QString failure;
    if (!device.signIn(browser, &failure)) {
        std::fprintf(stderr, "sign-in failed: %s\n", qPrintable(failure));
        std::exit(1);
    }

    Run run;
    run.first = timeFullPull(device);
    const qsizetype stored = device.db.fetchAllGlossaryItems(device.userId(), true).size()
                             + device.db.fetchAllRecordings(device.userId(), true).size();
    if (stored != kGlossary + kRecordings) {
        std::fprintf(stderr, "%lld rows stored after the pull\n", static_cast<long long>(stored));
        std::exit(1);
    }
    run.second = timeFullPull(device);
    // Timed after the pulls, so that they see the backend as warm as the
    // second pull did.
    for (const char* table : kTables)
        run.tables[table] = timeTable(device, http, table);
    clock.set(QDateTime::currentDateTimeUtc());
    changeRows(device);
    run.push = timePush(device, fake);
    return run;
}

template <typename Field>
double medianOf(const std::vector<Run>& runs, Field field)
{
    std::vector<double> values;
    for (const Run& run : runs)
        values.push_back(field(run));
    return median(values);
}

void printPull(const char* title, const std::vector<Run>& runs, PullTimes Run::*which, double goal)
{
    auto m = [&](double PullTimes::*field) {
        return medianOf(runs, [&](const Run& r) { return (r.*which).*field; });
    };
    auto select = [&](const char* table) {
        return medianOf(runs, [&](const Run& r) { return r.tables.at(table).select; });
    };
    std::printf("%s: %.0f ms (goal %.0f ms; runs:", title, m(&PullTimes::total), goal);
    for (const Run& run : runs)
        std::printf(" %.0f", (run.*which).total);
    std::printf(")\n");
    // The log times each table's fetch together with the applying of the
    // table before it; the fetch timed alone is taken off.
    std::printf("  glossary   fetched %5.0f ms (log), applied %5.0f ms\n", m(&PullTimes::glossaryFetch),
                m(&PullTimes::glossaryApplyRecordingsFetch) - select("recordings"));
    std::printf("  recordings fetched %5.0f ms (alone), applied %5.0f ms\n", select("recordings"),
                m(&PullTimes::recordingsApplySlicesFetch) - select("slices"));
    std::printf("  slices     fetched %5.0f ms (alone), applied %5.0f ms (log)\n", select("slices"),
                m(&PullTimes::slicesApply));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<Run> results;
    for (int i = 0; i < runs; ++i)
        results.push_back(runOnce());

    std::printf("Sync of %d backend rows (%d glossary, %d recordings, %d slices), median of %d runs\n",
                kGlossary + kRecordings + kSlices, kGlossary, kRecordings, kSlices, runs);
    std::printf("Table fetches alone (every row; the request to its last byte, its JSON decoded, and the\n"
                "client's select doing both):\n");
    for (const char* table : kTables) {
        auto m = [&](double TableTimes::*field) {
            return medianOf(results, [&](const Run& r) { return r.tables.at(table).*field; });
        };
        std::printf("  %-10s request %6.0f ms, decoding %6.0f ms; client select %6.0f ms\n", table,
                    m(&TableTimes::request), m(&TableTimes::decoding), m(&TableTimes::select));
    }
    printPull("Full pull into an empty store", results, &Run::first, 3000);
    printPull("The same full pull again", results, &Run::second, 1500);

    auto p = [&](double PushTimes::*field) { return medianOf(results, [&](const Run& r) { return r.push.*field; }); };
    std::printf("Push of %d changed rows: %.0f ms (goal 5000 ms; runs:",
                kPushedGlossary + kPushedRecordings + kPushedSlices, p(&PushTimes::total));
    for (const Run& run : results)
        std::printf(" %.0f", run.push.total);
    std::printf(")\n");
    std::printf("  reading the dirty rows (alone) %6.1f ms\n", p(&PushTimes::readingDirty));
    std::printf("  glossary   (%d requests) %6.0f ms\n", kPushedGlossary, p(&PushTimes::glossary));
    std::printf("  recordings (%d requests) %6.0f ms\n", kPushedRecordings, p(&PushTimes::recordings));
    std::printf("  slices     (%d requests) %6.0f ms\n", kPushedSlices, p(&PushTimes::slices));
    std::printf("  requests received by the backend: %d; per request %.2f ms\n", results.front().push.requests,
                p(&PushTimes::total) / std::max(1, results.front().push.requests));
    return 0;
}
