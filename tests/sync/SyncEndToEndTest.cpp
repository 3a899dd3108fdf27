// Three devices on one fake backend: P1 and P2 signed in as one account, P3
// as another. A seeded random script edits rows on the devices, syncs, pushes
// and forces full syncs while faults are injected; after the faults are gone
// and every device has synced twice, both devices of the account and the
// backend must hold every row at its latest edit, and the other account must
// have stayed apart.
//
// The seed is printed; TALVEX_SYNC_SEED=<seed> replays a run: one engine is
// on the network at a time, so what happens depends on the seed alone (the
// times of the edits differ, their order does not).
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>
#include <gtest/gtest.h>
#include <cstdio>
#include <map>
#include <random>

#include "platform/HttpClient.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "store/TimeText.h"
#include "support/FakeBackend.h"
#include "support/OutputCapture.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/SyncDevice.h"
#include "support/TestClock.h"

namespace {

constexpr int kSteps = 240;
// Far beyond what one sync takes with the shrunk waits below, even through
// its faults: a sync still running then has hung.
constexpr int kTaskLimitMs = 30'000;

SyncTiming shrunkTiming()
{
    SyncTiming timing;
    timing.pushDebounce = std::chrono::milliseconds(15);
    timing.retryUnit = std::chrono::milliseconds(5);
    timing.requestTimeout = std::chrono::milliseconds(500);
    return timing;
}

AuthTiming shrunkAuthTiming()
{
    AuthTiming timing;
    timing.requestTimeout = std::chrono::milliseconds(500);
    return timing;
}

quint32 chooseSeed()
{
    bool ok = false;
    const quint32 seed = qEnvironmentVariable("TALVEX_SYNC_SEED").toUInt(&ok);
    return ok ? seed : std::random_device{}();
}

// The time of an edit made now: at least 2 ms after `previous`, so that no
// two edits tie, and later than every mark the stores have written so far
// (the store counts a row stamped in the millisecond of its mark as
// synced). Spins on the real clock, the store's, without running events, so
// no sync work writes in between.
QDateTime editStamp(const QDateTime& previous)
{
    const QDateTime entered = QDateTime::currentDateTimeUtc();
    const QDateTime target = std::max(entered.addMSecs(1), previous.addMSecs(2));
    QDateTime now = entered;
    while (now < target)
        now = QDateTime::currentDateTimeUtc();
    return now;
}

// ---- One comparable form of a row, whichever side holds it ----------------

bool isTimeColumn(const QString& column) { return column.endsWith("_at"); }
bool isNumberColumn(const QString& column)
{
    return column == "duration" || column == "slice_count" || column == "slice_index";
}

// Times to the store's text (the backend writes other forms of the same
// time), numbers as doubles, ids and owners in upper case.
QJsonValue normalised(const QString& column, const QJsonValue& value)
{
    if (value.isNull())
        return value;
    if (isTimeColumn(column)) {
        const auto time = TimeText::parse(value.toString());
        return time ? QJsonValue(TimeText::format(*time)) : QJsonValue("<unreadable " + value.toString() + ">");
    }
    if (isNumberColumn(column))
        return value.toDouble();
    if (column == "id" || column == "user_id" || column == "recording_id")
        return value.toString().toUpper();
    return value;
}

using Row = QJsonObject;
// Rows by "table/ID".
using Rows = std::map<QString, Row>;

std::string text(const Row& row)
{
    return QJsonDocument(row).toJson(QJsonDocument::Compact).toStdString();
}

QString keyOf(const QString& table, const QString& id) { return table + '/' + id.toUpper(); }

Row normalisedRow(const QJsonObject& raw)
{
    Row row;
    for (auto it = raw.begin(); it != raw.end(); ++it)
        row.insert(it.key(), normalised(it.key(), it.value()));
    return row;
}

QJsonValue timeValue(const std::optional<QDateTime>& time)
{
    return time ? QJsonValue(TimeText::format(*time)) : QJsonValue(QJsonValue::Null);
}
QJsonValue optionalValue(const std::optional<QString>& text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}
QJsonValue optionalValue(const std::optional<double>& number)
{
    return number ? QJsonValue(*number) : QJsonValue(QJsonValue::Null);
}

Row rowOf(const GlossaryItem& item)
{
    return normalisedRow({{"id", item.id},
                          {"user_id", item.userId},
                          {"content", item.content},
                          {"created_at", timeValue(item.createdAt)},
                          {"updated_at", timeValue(item.updatedAt)},
                          {"deleted_at", timeValue(item.deletedAt)}});
}

Row rowOf(const Recording& recording)
{
    return normalisedRow({{"id", recording.id},
                          {"user_id", recording.userId},
                          {"status", toText(recording.status)},
                          {"duration", optionalValue(recording.duration)},
                          {"slice_count", recording.sliceCount},
                          {"raw_text", optionalValue(recording.rawText)},
                          {"cleaned_text", optionalValue(recording.cleanedText)},
                          {"provider", optionalValue(recording.provider)},
                          {"device_id", optionalValue(recording.deviceId)},
                          {"error", optionalValue(recording.error)},
                          {"created_at", timeValue(recording.createdAt)},
                          {"updated_at", timeValue(recording.updatedAt)},
                          {"deleted_at", timeValue(recording.deletedAt)}});
}

// A slice's owner is its recording's: `owner` is that.
Row rowOf(const Slice& slice, const QString& owner)
{
    return normalisedRow({{"id", slice.id},
                          {"user_id", owner},
                          {"recording_id", slice.recordingId},
                          {"slice_index", slice.sliceIndex},
                          {"filename", slice.filename},
                          {"status", toText(slice.status)},
                          {"raw_text", optionalValue(slice.rawText)},
                          {"duration", optionalValue(slice.duration)},
                          {"provider", optionalValue(slice.provider)},
                          {"error", optionalValue(slice.error)},
                          {"updated_at", timeValue(slice.updatedAt)},
                          {"deleted_at", timeValue(slice.deletedAt)}});
}

// Every row of a device's store, of every owner, deleted ones included.
Rows storeRows(const DatabaseManager& db)
{
    Rows rows;
    for (const GlossaryItem& item : db.fetchAllGlossaryItems(std::nullopt, true))
        rows[keyOf("glossary", item.id)] = rowOf(item);
    for (const Recording& recording : db.fetchAllRecordings(std::nullopt, true)) {
        rows[keyOf("recordings", recording.id)] = rowOf(recording);
        for (const Slice& slice : db.fetchSlices(recording.id, true))
            rows[keyOf("slices", slice.id)] = rowOf(slice, recording.userId);
    }
    return rows;
}

// The backend's rows of one account.
Rows backendRows(const FakeBackend& fake, const QString& userId)
{
    Rows rows;
    for (const QString table : {"glossary", "recordings", "slices"}) {
        for (const QJsonObject& raw : fake.rows(table)) {
            if (raw.value("user_id").toString().compare(userId, Qt::CaseInsensitive) == 0)
                rows[keyOf(table, raw.value("id").toString())] = normalisedRow(raw);
        }
    }
    return rows;
}

// What differs between the expected rows and those `where` holds, a line each.
QStringList differences(const Rows& expected, const Rows& actual, const QString& where)
{
    QStringList lines;
    for (const auto& [key, row] : expected) {
        const auto found = actual.find(key);
        if (found == actual.end()) {
            lines << where + ": " + key + " missing";
            continue;
        }
        // A column the holder lacks is undefined: it never passes for a null.
        for (auto it = row.begin(); it != row.end(); ++it) {
            const QJsonValue have = found->second.value(it.key());
            if (have != it.value())
                lines << QStringLiteral("%1: %2 %3 is %4, expected %5")
                             .arg(where, key, it.key(),
                                  have.isUndefined() ? QStringLiteral("missing") : have.toVariant().toString(),
                                  it.value().toVariant().toString());
        }
    }
    for (const auto& [key, row] : actual) {
        if (!expected.count(key))
            lines << where + ": " + key + " should not be there";
    }
    return lines;
}

// ---- The script ------------------------------------------------------------

class SyncScript
{
public:
    SyncScript(quint32 seed, FakeBackend& fake, TestClock& clock, QList<SyncDevice*> devices)
        : m_random(seed), m_fake(fake), m_clock(clock), m_devices(std::move(devices))
    {
    }

    // False when a sync did not end (the failure is recorded).
    bool run(int steps)
    {
        for (m_step = 1; m_step <= steps; ++m_step) {
            m_clock.set(QDateTime::currentDateTimeUtc());
            if (!runStep())
                return false;
        }
        return true;
    }

    // Faults off, then two quiet syncs of every device.
    bool settle()
    {
        m_fake.clearFaults();
        m_fake.setOffline(false);
        for (int round = 0; round < 2; ++round) {
            for (SyncDevice* device : m_devices) {
                m_clock.set(QDateTime::currentDateTimeUtc());
                if (!ended(device->sync(kTaskLimitMs), "a quiet sync"))
                    return false;
            }
        }
        return true;
    }

    // Every row the script wrote for `userId`, at its latest edit.
    const Rows& ledger(const QString& userId) { return m_ledgers[userId]; }

    // Which steps wrote the row, on which device, with which stamps.
    QStringList historyOf(const QString& key) const
    {
        const auto found = m_history.find(key);
        return found == m_history.end() ? QStringList() : found->second;
    }

    QString summary() const
    {
        QStringList parts;
        for (const auto& [what, count] : m_counts)
            parts << QStringLiteral("%1 %2").arg(what).arg(count);
        return parts.join(", ");
    }

private:
    enum class Op {
        addGlossary, editGlossary, deleteGlossary,
        addRecording, editRecording, deleteRecording,
        addSlice, editSlice, deleteSlice,
        sync, schedulePush, forceFullSync,
        tableFault, accountFault, expireTokens, offlineSync,
    };

    static constexpr int kLocalOps = 9;   // the first nine

    bool runStep()
    {
        // Local changes most often, so that syncs have work to do.
        static const std::vector<double> weights{
            6, 5, 2,   // glossary
            5, 5, 2,   // recordings
            6, 5, 2,   // slices
            6, 5, 2,   // sync, debounced push, forced full sync
            5, 1, 1, 1,   // faults
        };
        std::discrete_distribution<int> pick(weights.begin(), weights.end());
        const auto op = Op(pick(m_random));
        SyncDevice& device = pickDevice();
        note(op);
        switch (op) {
        case Op::sync: return ended(device.sync(kTaskLimitMs), "a sync");
        case Op::schedulePush: return debouncedPush(device);
        case Op::forceFullSync: return ended(device.forceFullSync(kTaskLimitMs), "a full sync");
        case Op::tableFault:
            addTableFault();
            return true;
        case Op::accountFault:
            addAccountFault();
            return true;
        case Op::expireTokens:
            m_fake.expireTokens();
            return true;
        case Op::offlineSync: {
            m_fake.setOffline(true);
            const bool done = ended(device.sync(kTaskLimitMs), "an offline sync");
            m_fake.setOffline(false);
            return done;
        }
        default:
            localChange(op, device);
            return true;
        }
    }

    void note(Op op)
    {
        static const char* const names[] = {
            "glossary add", "glossary edit", "glossary deletion",
            "recording add", "recording edit", "recording deletion",
            "slice add", "slice edit", "slice deletion",
            "sync", "debounced push", "forced full sync",
            "table fault", "account fault", "tokens expired", "offline sync",
        };
        ++m_counts[names[int(op)]];
        m_opName = names[int(op)];
    }

    void localChange(Op op, SyncDevice& device)
    {
        switch (op) {
        case Op::addGlossary: addGlossary(device); break;
        case Op::editGlossary: editGlossary(device); break;
        case Op::deleteGlossary: deleteGlossary(device); break;
        case Op::addRecording: addRecording(device); break;
        case Op::editRecording: editRecording(device); break;
        case Op::deleteRecording: deleteRecording(device); break;
        case Op::addSlice: addSlice(device); break;
        case Op::editSlice: editSlice(device); break;
        case Op::deleteSlice: deleteSlice(device); break;
        default: break;
        }
    }

    // One or two calls in a row (a burst gives one push); while the push
    // waits out its debounce and sends, the other devices change rows. Only
    // one engine is on the network at a time and the pushing device's rows
    // stay as they are, so a run depends on its seed, not on timing.
    bool debouncedPush(SyncDevice& device)
    {
        device.log.fresh();
        device.engine.schedulePush(device.userId());
        if (chance(0.3))
            device.engine.schedulePush(device.userId());
        for (int changes = below(4); changes > 0; --changes) {
            SyncDevice& other = pickDevice();
            if (&other == &device)
                continue;
            const auto op = Op(below(kLocalOps));
            note(op);
            localChange(op, other);
        }
        static const QRegularExpression end(
            "^(INFO SyncManager: push (completed|cancelled)|ERROR SyncManager: push failed after)");
        bool pushed = false;
        QStringList lines;
        waitUntil([&] {
            const QStringList fresh = device.log.fresh();
            lines += fresh;
            return pushed = pushed || !fresh.filter(end).isEmpty();
        }, kTaskLimitMs);
        if (!pushed)
            ADD_FAILURE() << "a debounced push did not end; its log:\n" << lines.join('\n').toStdString();
        return pushed;
    }

    // P1 and P2 share the work; P3 gets a little, enough to hold rows of its own.
    SyncDevice& pickDevice()
    {
        std::discrete_distribution<int> pick{45, 45, 10};
        return *m_devices[pick(m_random)];
    }

    static bool ended(bool ended, const char* what)
    {
        if (!ended)
            ADD_FAILURE() << what << " did not end";
        return ended;
    }

    QDateTime nextStamp()
    {
        m_lastStamp = editStamp(m_lastStamp);
        return m_lastStamp;
    }

    bool chance(double p) { return std::bernoulli_distribution(p)(m_random); }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    template <typename T>
    const T& any(const QList<T>& list) { return list[below(int(list.size()))]; }

    QString text(const char* kind) { return QStringLiteral("%1 %2").arg(kind).arg(++m_serial); }
    std::optional<QString> maybeText(const char* kind)
    {
        return chance(0.3) ? std::nullopt : std::optional<QString>(text(kind));
    }
    std::optional<double> maybeDuration()
    {
        return chance(0.3) ? std::nullopt : std::optional<double>(below(4800) / 4.0);
    }

    // The ledger follows the store: what it holds after the write is the
    // row at its latest edit.
    void remember(SyncDevice& device, const QString& key, const Row& row)
    {
        m_ledgers[device.userId()][key] = row;
        m_history[key] << QStringLiteral("step %1 on P%2: %3, updated_at %4")
                              .arg(m_step)
                              .arg(m_devices.indexOf(&device) + 1)
                              .arg(m_opName, row.value("updated_at").toString());
    }
    void remember(SyncDevice& device, const GlossaryItem& item)
    {
        remember(device, keyOf("glossary", item.id), rowOf(item));
    }
    void remember(SyncDevice& device, const Recording& recording)
    {
        remember(device, keyOf("recordings", recording.id), rowOf(recording));
    }
    void remember(SyncDevice& device, const Slice& slice)
    {
        remember(device, keyOf("slices", slice.id), rowOf(slice, device.userId()));
    }
    // For the writes that stamp the time themselves.
    void rememberStamp(const QDateTime& stamp) { m_lastStamp = std::max(m_lastStamp, stamp); }

    void addGlossary(SyncDevice& device)
    {
        const QDateTime stamp = nextStamp();
        const GlossaryItem item{newRecordId(), device.userId(), text("term"), std::nullopt, stamp, stamp};
        device.db.insertGlossaryItem(item);
        remember(device, *device.db.fetchGlossaryItem(item.id));
    }

    void editGlossary(SyncDevice& device)
    {
        const auto items = device.db.fetchAllGlossaryItems(device.userId(), false);
        if (items.isEmpty())
            return addGlossary(device);
        GlossaryItem item = any(items);
        item.content = text("term");
        item.updatedAt = nextStamp();
        device.db.updateGlossaryItem(item);
        remember(device, *device.db.fetchGlossaryItem(item.id));
    }

    void deleteGlossary(SyncDevice& device)
    {
        const auto items = device.db.fetchAllGlossaryItems(device.userId(), false);
        if (items.isEmpty())
            return addGlossary(device);
        const QString id = any(items).id;
        nextStamp();
        device.db.softDeleteGlossaryItem(id);
        const GlossaryItem deleted = *device.db.fetchGlossaryItem(id);
        rememberStamp(deleted.updatedAt);
        remember(device, deleted);
    }

    void fillRecording(Recording& recording)
    {
        static const QList<RecordingStatus> statuses{RecordingStatus::recorded, RecordingStatus::transcribed,
                                                     RecordingStatus::completed, RecordingStatus::failed};
        recording.status = any(statuses);
        recording.duration = maybeDuration();
        recording.sliceCount = below(6);
        recording.rawText = maybeText("raw");
        recording.cleanedText = maybeText("clean");
        recording.provider = chance(0.5) ? std::optional<QString>("openai") : std::nullopt;
        recording.error = recording.status == RecordingStatus::failed ? maybeText("error") : std::nullopt;
    }

    void addRecording(SyncDevice& device)
    {
        Recording recording;
        recording.id = newRecordId();
        recording.userId = device.userId();
        recording.deviceId = QStringLiteral("device-%1").arg(m_devices.indexOf(&device) + 1);
        fillRecording(recording);
        recording.createdAt = recording.updatedAt = nextStamp();
        device.db.insertRecording(recording);
        remember(device, *device.db.fetchRecordingIncludingDeleted(recording.id));
    }

    void editRecording(SyncDevice& device)
    {
        const auto recordings = device.db.fetchAllRecordings(device.userId(), false);
        if (recordings.isEmpty())
            return addRecording(device);
        Recording recording = any(recordings);
        fillRecording(recording);
        recording.updatedAt = nextStamp();
        device.db.updateRecording(recording);
        remember(device, *device.db.fetchRecordingIncludingDeleted(recording.id));
    }

    void deleteRecording(SyncDevice& device)
    {
        const auto recordings = device.db.fetchAllRecordings(device.userId(), false);
        if (recordings.isEmpty())
            return addRecording(device);
        const QString id = any(recordings).id;
        nextStamp();
        device.db.softDeleteRecording(id);   // its slices with it
        const Recording deleted = *device.db.fetchRecordingIncludingDeleted(id);
        rememberStamp(deleted.updatedAt);
        remember(device, deleted);
        for (const Slice& slice : device.db.fetchSlices(id, true))
            remember(device, slice);
    }

    void addSlice(SyncDevice& device)
    {
        const auto recordings = device.db.fetchAllRecordings(device.userId(), false);
        if (recordings.isEmpty())
            return addRecording(device);
        const Recording& recording = any(recordings);
        Slice slice;
        slice.id = newRecordId();
        slice.userId = device.userId();
        slice.recordingId = recording.id;
        slice.sliceIndex = int(device.db.fetchSlices(recording.id, true).size());
        slice.updatedAt = nextStamp();
        slice.filename = RecordingFileManager::generateSliceFilename(recording.id, slice.sliceIndex,
                                                                     slice.updatedAt);
        slice.status = SliceStatus::pending;
        device.db.insertSlice(slice);
        remember(device, *device.db.fetchSlice(slice.id));
    }

    // A live slice of a live recording of the device's account, if any.
    std::optional<Slice> anySlice(SyncDevice& device)
    {
        QList<Slice> slices;
        for (const Recording& recording : device.db.fetchAllRecordings(device.userId(), false))
            slices += device.db.fetchSlices(recording.id, false);
        if (slices.isEmpty())
            return std::nullopt;
        return any(slices);
    }

    void editSlice(SyncDevice& device)
    {
        auto slice = anySlice(device);
        if (!slice)
            return addSlice(device);
        static const QList<SliceStatus> statuses{SliceStatus::processing, SliceStatus::completed,
                                                 SliceStatus::failed, SliceStatus::lost};
        slice->status = any(statuses);
        slice->rawText = maybeText("slice text");
        slice->duration = maybeDuration();
        slice->provider = chance(0.5) ? std::optional<QString>("dashscope") : std::nullopt;
        slice->error = slice->status == SliceStatus::failed ? maybeText("slice error") : std::nullopt;
        slice->updatedAt = nextStamp();
        device.db.updateSlice(*slice);
        remember(device, *device.db.fetchSlice(slice->id));
    }

    void deleteSlice(SyncDevice& device)
    {
        auto slice = anySlice(device);
        if (!slice)
            return addSlice(device);
        slice->updatedAt = nextStamp();
        slice->deletedAt = slice->updatedAt;
        device.db.updateSlice(*slice);
        remember(device, *device.db.fetchSlice(slice->id));
    }

    // A fault on a table request; it hits the next requests that match it,
    // whichever device sends them.
    void addTableFault()
    {
        using Kind = FakeBackend::Fault::Kind;
        static const QList<QString> tables{"glossary", "recordings", "slices"};
        static const QList<QByteArray> methods{"GET", "POST", ""};
        static const QList<Kind> kinds{Kind::serverError, Kind::noAnswer, Kind::dropBeforeAnswer,
                                       Kind::dropAfterApply, Kind::halfAnswer, Kind::delay};
        static const QList<int> statuses{500, 502, 503};
        FakeBackend::Fault fault;
        fault.method = any(methods);
        fault.path = "/rest/v1/" + any(tables);
        fault.kind = any(kinds);
        fault.times = 1 + below(2);
        fault.status = any(statuses);
        // Mostly well within the request's time-out; now and then well
        // beyond it.
        fault.delay = std::chrono::milliseconds(chance(0.2) ? 1000 : 5 + below(100));
        m_fake.addFault(fault);
    }

    // A fault on the token request (refresh after expired tokens). Only
    // faults after which the refresh token is still unused: a rotation whose
    // answer is lost leaves the device with a used token, which the backend
    // answers by ending the session.
    void addAccountFault()
    {
        using Kind = FakeBackend::Fault::Kind;
        static const QList<Kind> kinds{Kind::serverError, Kind::noAnswer, Kind::dropBeforeAnswer, Kind::delay};
        FakeBackend::Fault fault;
        fault.method = "POST";
        fault.path = "/auth/v1/token";
        fault.kind = any(kinds);
        fault.delay = std::chrono::milliseconds(5 + below(100));
        m_fake.addFault(fault);
    }

    std::mt19937 m_random;
    FakeBackend& m_fake;
    TestClock& m_clock;
    const QList<SyncDevice*> m_devices;
    std::map<QString, Rows> m_ledgers;
    std::map<QString, QStringList> m_history;
    std::map<QString, int> m_counts;
    int m_step = 0;
    const char* m_opName = "";
    QDateTime m_lastStamp = QDateTime::currentDateTimeUtc();
    int m_serial = 0;
};

// ---- The test --------------------------------------------------------------

// One backend and two devices signed in to one account through it.
class TwoDevices : public testing::Test
{
protected:
    void SetUp() override
    {
        for (SyncDevice* device : {&p1, &p2}) {
            QString failure;
            ASSERT_TRUE(device->signIn(browser, &failure)) << failure.toStdString();
        }
    }

    // Waits for the engine's next "push completed" line.
    static bool pushCompleted(SyncDevice& device)
    {
        return waitUntil([&] { return device.log.fresh().contains("INFO SyncManager: push completed"); },
                         kTaskLimitMs);
    }

    TestClock clock{QDateTime::currentDateTimeUtc()};
    FakeBackend fake{clock};
    const FakeBackend::User user = [this] {
        const FakeBackend::User added = fake.addUser("alice@example.com");
        fake.setSignInUser(added.id);
        return added;
    }();
    const BackendConfig config{fake.url(), FakeBackend::kPublishableKey};
    HttpClient http;
    SyncDevice p1{http, config, shrunkTiming(), shrunkAuthTiming()};
    SyncDevice p2{http, config, shrunkTiming(), shrunkAuthTiming()};
    ScriptedWebAuthSession browser;
};

// Two devices change one entry; the later change reaches the backend first,
// then the other device's debounced push (a push without a pull) sends the
// older one. The older one must not win: the newer edit would be lost on the
// backend and the first device, while the second counts it as synced.
TEST_F(TwoDevices, AnOlderEditPushedLateDoesNotReplaceANewerOne)
{
    const QDateTime start = editStamp(QDateTime::currentDateTimeUtc());
    GlossaryItem item{newRecordId(), p1.userId(), "first", std::nullopt, start, start};
    p1.db.insertGlossaryItem(item);
    ASSERT_TRUE(p1.sync(kTaskLimitMs));
    ASSERT_TRUE(p2.sync(kTaskLimitMs));

    item.content = "older edit";
    item.updatedAt = editStamp(start);
    p1.db.updateGlossaryItem(item);
    GlossaryItem newer = item;
    newer.content = "newer edit";
    newer.updatedAt = editStamp(item.updatedAt);
    p2.db.updateGlossaryItem(newer);
    ASSERT_TRUE(p2.sync(kTaskLimitMs));
    p1.log.fresh();
    p1.engine.schedulePush(p1.userId());
    ASSERT_TRUE(pushCompleted(p1));

    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(p1.sync(kTaskLimitMs));
        ASSERT_TRUE(p2.sync(kTaskLimitMs));
    }
    const std::string expected = text(rowOf(newer));
    const QString key = keyOf("glossary", newer.id);
    EXPECT_EQ(text(storeRows(p1.db)[key]), expected);
    EXPECT_EQ(text(storeRows(p2.db)[key]), expected);
    EXPECT_EQ(text(backendRows(fake, p1.userId())[key]), expected);
}


TEST(SyncEndToEnd, SeededScriptOfTwoAccountsConvergesThroughFaults)
{
    const quint32 seed = chooseSeed();
    std::printf("sync script seed %u (TALVEX_SYNC_SEED=%u replays it)\n", seed, seed);
    std::fflush(stdout);
    SCOPED_TRACE(QStringLiteral("seed %1").arg(seed).toStdString());

    OutputCapture output;
    TestClock clock(QDateTime::currentDateTimeUtc());
    FakeBackend fake(clock);
    const FakeBackend::User alice = fake.addUser("alice@example.com");
    const FakeBackend::User bruno = fake.addUser("bruno@example.com");
    const BackendConfig config(fake.url(), FakeBackend::kPublishableKey);
    HttpClient http;
    SyncDevice p1(http, config, shrunkTiming(), shrunkAuthTiming());
    SyncDevice p2(http, config, shrunkTiming(), shrunkAuthTiming());
    SyncDevice p3(http, config, shrunkTiming(), shrunkAuthTiming());

    ScriptedWebAuthSession browser;
    for (auto [device, user] : {std::pair{&p1, alice}, std::pair{&p2, alice}, std::pair{&p3, bruno}}) {
        fake.setSignInUser(user.id);
        QString failure;
        ASSERT_TRUE(device->signIn(browser, &failure)) << failure.toStdString();
        ASSERT_EQ(device->userId(), user.id.toUpper());
    }

    SyncScript script(seed, fake, clock, {&p1, &p2, &p3});
    ASSERT_TRUE(script.run(kSteps)) << script.summary().toStdString();
    ASSERT_TRUE(script.settle()) << script.summary().toStdString();
    SCOPED_TRACE(script.summary().toStdString());

    const QString accountA = p1.userId();
    const QString accountB = p3.userId();
    const Rows& ledgerA = script.ledger(accountA);
    const Rows& ledgerB = script.ledger(accountB);
    ASSERT_FALSE(ledgerA.empty());
    ASSERT_FALSE(ledgerB.empty());

    // Each store holds exactly its account's rows, each at its latest edit,
    // and so does the backend for each account.
    QStringList wrong = differences(ledgerA, storeRows(p1.db), "P1")
                        + differences(ledgerA, storeRows(p2.db), "P2")
                        + differences(ledgerA, backendRows(fake, accountA), "backend A")
                        + differences(ledgerB, storeRows(p3.db), "P3")
                        + differences(ledgerB, backendRows(fake, accountB), "backend B");
    // Slices are listed through their recordings: also none of the other
    // account's rows by id, slices whose recording is missing included.
    struct Apart { const char* name; SyncDevice* device; const Rows* others; };
    for (const Apart& apart : {Apart{"P1", &p1, &ledgerB}, Apart{"P2", &p2, &ledgerB}, Apart{"P3", &p3, &ledgerA}}) {
        for (const auto& [key, row] : *apart.others) {
            const QString id = row.value("id").toString().toLower();
            const DatabaseManager& db = apart.device->db;
            if (db.fetchGlossaryItem(id) || db.fetchRecordingIncludingDeleted(id) || db.fetchSlice(id))
                wrong << QStringLiteral("%1: %2 of the other account is there").arg(apart.name, key);
        }
    }
    QStringList histories;
    for (const QString& line : wrong) {
        const QString key = line.section(": ", 1).section(' ', 0, 0);
        if (histories.size() < 40 && !histories.contains(key + ":"))
            histories << key + ":" << script.historyOf(key);
    }
    EXPECT_TRUE(wrong.isEmpty()) << wrong.mid(0, 40).join('\n').toStdString() << "\n(" << wrong.size()
                                 << " differences)\nwritten by the script:\n"
                                 << histories.join('\n').toStdString();

    for (SyncDevice* device : {&p1, &p2, &p3}) {
        EXPECT_TRUE(device->db.fetchDirtyGlossaryItems(device->userId()).isEmpty());
        EXPECT_TRUE(device->db.fetchDirtyRecordings(device->userId()).isEmpty());
        EXPECT_TRUE(device->db.fetchDirtySlices(device->userId()).isEmpty());
        EXPECT_EQ(device->engine.lastError(), std::nullopt);
    }

    // No token, code or verifier in any log line or on the terminal.
    ASSERT_FALSE(fake.secretsIssued().isEmpty());
    QStringList written = QString::fromUtf8(output.text()).split('\n');
    for (SyncDevice* device : {&p1, &p2, &p3})
        written += device->log.lines();
    EXPECT_EQ(fake.secretsIn(written.join('\n')), QStringList());
}

}  // namespace
