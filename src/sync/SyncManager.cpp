#include "sync/SyncManager.h"

#include <QCoroTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTimer>

#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordingFileManager.h"
#include "sync/BackendClient.h"
#include "sync/BackendRows.h"

namespace {

using SyncedRow = DatabaseManager::SyncedRow;

struct TableWords
{
    const char* name;       // the backend's table, and the "clean" line's word
    const char* plural;     // "pulled 3 glossary items"
    const char* singular;   // "skipped glossary item <id>"
};

QString checkpointKey(const char* prefix, const QString& userId) { return QLatin1String(prefix) + userId; }

constexpr auto kPullCheckpoint = "lastPullTime_";
constexpr auto kFullSyncCheckpoint = "lastFullSyncTime_";

// Ends after `duration`, or at the next turn of the event loop once `cancel`
// fires. Precise: Qt's default timers may fire up to 5 % early.
QCoro::Task<> waitFor(std::chrono::milliseconds duration, CancelToken cancel)
{
    if (cancel.isCancelled())
        co_return;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    QObject::connect(cancel.notifier(), &CancelNotifier::cancelled, &timer, [&timer] { timer.start(0); },
                     Qt::QueuedConnection);
    timer.start(duration);
    co_await timer;
}

BackendError cancelledFailure() { return BackendError::transport(HttpError::cancelled()); }

bool sameUser(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// How one table's pulled rows reach the store.
template <typename Record>
struct TableStore
{
    std::optional<BackendRows::Pulled<Record>> (*map)(const QJsonObject&, const QString&, const QDateTime&);
    DatabaseManager::SyncedTable table;
    std::function<std::optional<Record>(const QString& id)> twin;
    // Why the row must not be stored beyond the checks every table shares.
    std::function<std::optional<QString>(const Record&)> refusal;
    // Writes the record over its twin or as a new row; true when stored.
    std::function<bool(const Record&, bool overTwin)> write;
    std::function<void(const QList<SyncedRow>&)> mark;
};

// Applies the rows the table's rule lets in, in one transaction, and marks
// them synced with the update time they were written with.
template <typename Record>
void applyPulled(DatabaseManager& db, const QJsonArray& rows, const QString& userId, const QDateTime& now,
                 const TableStore<Record>& store,
                 const std::function<void(const QString& id, const QString& reason)>& skip)
{
    QList<SyncedRow> applied;
    db.writeInTransaction([&] {
        for (const QJsonValue& value : rows) {
            const auto pulled = store.map(value.toObject(), userId, now);
            if (!pulled)
                continue;
            const Record& record = pulled->record;
            if (!pulled->ownerId || !sameUser(*pulled->ownerId, userId)) {
                skip(record.id, QStringLiteral("it belongs to another account"));
                continue;
            }
            const std::optional<Record> twin = store.twin(record.id);
            if (twin && !sameUser(twin->userId, userId)) {
                skip(record.id, QStringLiteral("its local copy belongs to another user"));
                continue;
            }
            if (store.refusal) {
                if (const auto reason = store.refusal(record)) {
                    skip(record.id, *reason);
                    continue;
                }
            }
            if (twin) {
                // A row without a usable update time carries the pull's time,
                // which must not beat a local change still to be pushed.
                if (!pulled->hasUpdateTime && db.isDirty(store.table, record.id))
                    continue;
                if (record.updatedAt <= twin->updatedAt)
                    continue;
            }
            if (store.write(record, twin.has_value()))
                applied.append(SyncedRow::of(record));
        }
        store.mark(applied);
    });
}

}  // namespace

struct SyncManager::DirtyRows
{
    QList<QJsonObject> objects;
    QList<SyncedRow> sent;
};

namespace {

constexpr TableWords kWords[] = {
    {"glossary", "glossary items", "glossary item"},
    {"recordings", "recordings", "recording"},
    {"slices", "slices", "slice"},
};

template <typename Record>
void collect(const QList<Record>& records, QList<QJsonObject>& objects, QList<SyncedRow>& sent)
{
    for (const Record& record : records) {
        objects.append(BackendRows::toJson(record));
        sent.append(SyncedRow::of(record));
    }
}

}  // namespace

SyncManager::SyncManager(DatabaseManager& db, Logger& logger, Preferences& preferences, ClientProvider client,
                         SyncTiming timing, WallClock clock, QObject* parent)
    : QObject(parent), m_db(db), m_logger(logger), m_preferences(preferences), m_client(std::move(client))
    , m_timing(timing), m_clock(std::move(clock))
{
}

SyncManager::~SyncManager()
{
    // Every task resumes later (cancelled waits and requests end at the next
    // turn of the event loop) and finds the engine gone.
    if (m_pushTask)
        m_pushTask->cancel();
    if (m_periodicTask)
        m_periodicTask->cancel();
    m_lifetime.cancel();
}

// ---- scheduling --------------------------------------------------------------------

void SyncManager::schedulePush(const QString& userId)
{
    if (userId == QLatin1String(Preferences::kLocalUserId))
        return;
    if (m_pushTask)
        m_pushTask->cancel();
    const CancelToken cancel;
    m_pushTask = cancel;
    debouncedPush(userId, cancel);
}

QCoro::Task<void> SyncManager::debouncedPush(QString userId, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    auto waiting = waitFor(m_timing.pushDebounce, cancel);
    co_await std::move(waiting);
    if (!self || cancel.isCancelled())
        co_return;
    auto pushing = push(userId, cancel);
    co_await std::move(pushing);
}

QCoro::Task<void> SyncManager::sync(QString userId) { return runSync(std::move(userId), false, m_lifetime); }

QCoro::Task<void> SyncManager::forceFullSync(QString userId)
{
    return runSync(std::move(userId), true, m_lifetime);
}

void SyncManager::startPeriodicSync(const QString& userId)
{
    stopPeriodicSync();
    const CancelToken cancel;
    m_periodicTask = cancel;
    periodicLoop(userId, cancel);
}

void SyncManager::stopPeriodicSync()
{
    if (!m_periodicTask)
        return;
    m_logger.info(QStringLiteral("SyncManager: stopped periodic sync"));
    m_periodicTask->cancel();
    m_periodicTask.reset();
}

QCoro::Task<void> SyncManager::periodicLoop(QString userId, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    while (!cancel.isCancelled()) {
        auto waiting = waitFor(m_timing.periodicInterval, cancel);
        co_await std::move(waiting);
        if (!self || cancel.isCancelled())
            co_return;
        m_logger.info(QStringLiteral("SyncManager: periodic sync triggered"));
        auto syncing = runSync(userId, false, cancel);
        co_await std::move(syncing);
        if (!self)
            co_return;
    }
}

// ---- the cycle ---------------------------------------------------------------------

QCoro::Task<void> SyncManager::runSync(QString userId, bool forced, CancelToken cancel)
{
    if (userId == QLatin1String(Preferences::kLocalUserId))
        co_return;
    const QPointer<SyncManager> self(this);
    setSyncing(true);
    setLastError(std::nullopt);
    const bool full = forced || isFullSyncNeeded(userId);
    if (forced)
        m_logger.info(QStringLiteral("SyncManager: force full sync for ") + userId);
    else if (full)
        m_logger.info(QStringLiteral("SyncManager: full sync (24h checkpoint or first sync)"));
    else
        m_logger.info(QStringLiteral("SyncManager: incremental sync for ") + userId);

    auto pulling = pull(userId, full, cancel);
    const bool pulled = co_await std::move(pulling);
    if (!self)
        co_return;
    const std::optional<QString> pullError = m_lastError;
    auto pushing = push(userId, cancel);
    co_await std::move(pushing);
    if (!self)
        co_return;

    setSyncing(false);
    if (!pulled) {
        // The push may have had nothing to send and so reached no backend:
        // its success must not make a sync whose pull failed look done.
        if (!m_lastError)
            setLastError(pullError);
        co_return;
    }
    if (full)
        m_preferences.setValue(checkpointKey(kFullSyncCheckpoint, userId), m_clock());
    m_lastSyncTime = m_clock();
    emit stateChanged();
}

QCoro::Task<bool> SyncManager::pull(QString userId, bool full, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    m_logger.info(QStringLiteral("SyncManager: pulling (") + (full ? QStringLiteral("full") : QStringLiteral("incremental"))
                  + QStringLiteral(") for ") + userId);
    std::optional<QDateTime> since;
    if (!full) {
        // Other devices push rows stamped before their push reached the
        // backend: ask again for a margin before the checkpoint.
        since = checkpoint(checkpointKey(kPullCheckpoint, userId));
        if (since)
            since = since->addMSecs(-m_timing.pullOverlap.count());
    }

    Failure failure;
    {
        auto acquiring = m_turns.acquire(cancel);
        const std::optional<TaskLock::Holder> turn = co_await acquiring;
        if (!self)
            co_return false;
        if (!turn)
            failure = cancelledFailure();
        for (const Table table : {Table::glossary, Table::recordings, Table::slices}) {
            if (failure)
                break;
            auto pulling = pullTable(table, userId, since, cancel);
            failure = co_await std::move(pulling);
            if (!self)
                co_return false;
        }
    }

    if (failure) {
        const QString description = failure->description();
        setLastError(QStringLiteral("Pull: ") + description);
        m_logger.error(QStringLiteral("SyncManager: pull failed: ") + description);
        co_return false;
    }
    m_preferences.setValue(checkpointKey(kPullCheckpoint, userId), m_clock());
    m_logger.info(QStringLiteral("SyncManager: pull completed"));
    co_return true;
}

QCoro::Task<void> SyncManager::push(QString userId, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    m_logger.info(QStringLiteral("SyncManager: pushing dirty data for ") + userId);
    for (int attempt = 1;; ++attempt) {
        Failure failure;
        {
            auto acquiring = m_turns.acquire(cancel);
            const std::optional<TaskLock::Holder> turn = co_await acquiring;
            if (!self)
                co_return;
            if (!turn)
                failure = cancelledFailure();
            for (const Table table : {Table::glossary, Table::recordings, Table::slices}) {
                if (failure)
                    break;
                auto pushing = pushTable(table, userId, cancel);
                failure = co_await std::move(pushing);
                if (!self)
                    co_return;
            }
        }   // the turn ends before a retry's wait

        if (!failure) {
            m_logger.info(QStringLiteral("SyncManager: push completed"));
            setLastError(std::nullopt);
            co_return;
        }
        if (failure->isCancelled()) {
            m_logger.info(QStringLiteral("SyncManager: push cancelled"));
            co_return;
        }
        const QString description = failure->description();
        if (attempt >= m_timing.pushAttempts) {
            setLastError(QStringLiteral("Push: ") + description);
            m_logger.error(QStringLiteral("SyncManager: push failed after ") + QString::number(attempt)
                           + QStringLiteral(" attempts: ") + description);
            co_return;
        }
        const int units = 1 << attempt;
        m_logger.warning(QStringLiteral("SyncManager: push attempt ") + QString::number(attempt)
                         + QStringLiteral(" failed, retrying in ") + QString::number(units)
                         + QStringLiteral("s: ") + description);
        auto waiting = waitFor(m_timing.retryUnit * units, cancel);
        co_await std::move(waiting);
        if (!self || cancel.isCancelled())
            co_return;
    }
}

// ---- one table -------------------------------------------------------------------

QCoro::Task<SyncManager::Failure> SyncManager::pullTable(Table table, QString userId,
                                                         std::optional<QDateTime> since, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    const TableWords& words = kWords[static_cast<int>(table)];
    auto selecting = m_client().select(QString::fromLatin1(words.name), since, userId, m_timing.requestTimeout,
                                       cancel);
    const Result<QJsonArray, BackendError> answer = co_await std::move(selecting);
    if (!self)
        co_return cancelledFailure();
    if (!answer.ok())
        co_return answer.error();
    const QJsonArray& rows = answer.value();
    m_logger.debug(QStringLiteral("SyncManager: pulled ") + QString::number(rows.size()) + QLatin1Char(' ')
                   + QLatin1String(words.plural));
    switch (table) {
    case Table::glossary: applyGlossaryItems(rows, userId); break;
    case Table::recordings: applyRecordings(rows, userId); break;
    case Table::slices: applySlices(rows, userId); break;
    }
    co_return std::nullopt;
}

QCoro::Task<SyncManager::Failure> SyncManager::pushTable(Table table, QString userId, CancelToken cancel)
{
    const QPointer<SyncManager> self(this);
    const TableWords& words = kWords[static_cast<int>(table)];
    const DirtyRows dirty = dirtyRows(table, userId);
    if (dirty.objects.isEmpty()) {
        m_logger.debug(QStringLiteral("SyncManager: ") + QLatin1String(words.name)
                       + QStringLiteral(" clean, skipping push"));
        co_return std::nullopt;
    }
    m_logger.debug(QStringLiteral("SyncManager: pushing ") + QString::number(dirty.objects.size())
                   + QStringLiteral(" dirty ") + QLatin1String(words.plural));
    BackendClient& client = m_client();
    const QString tableName = QString::fromLatin1(words.name);
    for (const QJsonObject& object : dirty.objects) {
        auto sending = client.upsert(tableName, object, userId, m_timing.requestTimeout, cancel);
        const Failure failure = co_await std::move(sending);
        if (!self)
            co_return cancelledFailure();
        if (failure)
            co_return failure;
    }
    markSynced(table, dirty);
    co_return std::nullopt;
}

SyncManager::DirtyRows SyncManager::dirtyRows(Table table, const QString& userId) const
{
    DirtyRows dirty;
    switch (table) {
    case Table::glossary: collect(m_db.fetchDirtyGlossaryItems(userId), dirty.objects, dirty.sent); break;
    case Table::recordings: collect(m_db.fetchDirtyRecordings(userId), dirty.objects, dirty.sent); break;
    case Table::slices: collect(m_db.fetchDirtySlices(userId), dirty.objects, dirty.sent); break;
    }
    return dirty;
}

void SyncManager::markSynced(Table table, const DirtyRows& rows)
{
    switch (table) {
    case Table::glossary: m_db.markGlossaryItemsSynced(rows.sent); break;
    case Table::recordings: m_db.markRecordingsSynced(rows.sent); break;
    case Table::slices: m_db.markSlicesSynced(rows.sent); break;
    }
}

void SyncManager::applyGlossaryItems(const QJsonArray& rows, const QString& userId)
{
    DatabaseManager& db = m_db;
    const TableStore<GlossaryItem> store{
        .map = &BackendRows::glossaryItem,
        .table = DatabaseManager::SyncedTable::glossary,
        .twin = [&db](const QString& id) { return db.fetchGlossaryItem(id); },
        .refusal = {},
        .write = [&db](const GlossaryItem& item, bool) {
            db.upsertGlossaryItem(item);
            return true;
        },
        .mark = [&db](const QList<SyncedRow>& rows) { db.markGlossaryItemsSynced(rows); },
    };
    applyPulled(m_db, rows, userId, m_clock(), store,
                [this](const QString& id, const QString& reason) { skipRow(Table::glossary, id, reason); });
}

void SyncManager::applyRecordings(const QJsonArray& rows, const QString& userId)
{
    DatabaseManager& db = m_db;
    const TableStore<Recording> store{
        .map = &BackendRows::recording,
        .table = DatabaseManager::SyncedTable::recordings,
        .twin = [&db](const QString& id) { return db.fetchRecordingIncludingDeleted(id); },
        .refusal = {},
        .write = [&db](const Recording& recording, bool overTwin) {
            return overTwin ? db.updateRecording(recording) : db.insertRecording(recording);
        },
        .mark = [&db](const QList<SyncedRow>& rows) { db.markRecordingsSynced(rows); },
    };
    applyPulled(m_db, rows, userId, m_clock(), store,
                [this](const QString& id, const QString& reason) { skipRow(Table::recordings, id, reason); });
}

void SyncManager::applySlices(const QJsonArray& rows, const QString& userId)
{
    DatabaseManager& db = m_db;
    const TableStore<Slice> store{
        .map = &BackendRows::slice,
        .table = DatabaseManager::SyncedTable::slices,
        .twin = [&db](const QString& id) { return db.fetchSlice(id); },
        .refusal = [&db, &userId](const Slice& slice) -> std::optional<QString> {
            if (!RecordingFileManager::isPlainFileName(slice.filename))
                return QStringLiteral("its file name is not a plain file name");
            const auto recording = db.fetchRecordingIncludingDeleted(slice.recordingId);
            if (recording && !sameUser(recording->userId, userId))
                return QStringLiteral("its recording belongs to another user");
            return std::nullopt;
        },
        .write = [&db](const Slice& slice, bool overTwin) {
            return overTwin ? db.updateSlice(slice) : db.insertSlice(slice);
        },
        .mark = [&db](const QList<SyncedRow>& rows) { db.markSlicesSynced(rows); },
    };
    applyPulled(m_db, rows, userId, m_clock(), store,
                [this](const QString& id, const QString& reason) { skipRow(Table::slices, id, reason); });
}

// ---- checkpoints and published state -----------------------------------------------

void SyncManager::forgetCheckpoints(const QString& userId)
{
    m_preferences.remove(checkpointKey(kPullCheckpoint, userId));
    m_preferences.remove(checkpointKey(kFullSyncCheckpoint, userId));
}

bool SyncManager::isFullSyncNeeded(const QString& userId) const
{
    const auto last = checkpoint(checkpointKey(kFullSyncCheckpoint, userId));
    return !last || last->msecsTo(m_clock()) > m_timing.fullSyncAge.count();
}

std::optional<QDateTime> SyncManager::checkpoint(const QString& key) const
{
    const QVariant value = m_preferences.value(key);
    if (value.typeId() != QMetaType::QDateTime || !value.toDateTime().isValid())
        return std::nullopt;
    return value.toDateTime();
}

void SyncManager::setSyncing(bool syncing)
{
    m_isSyncing = syncing;
    emit stateChanged();
}

void SyncManager::setLastError(std::optional<QString> error)
{
    if (m_lastError == error)
        return;
    m_lastError = std::move(error);
    emit stateChanged();
}

void SyncManager::skipRow(Table table, const QString& id, const QString& reason)
{
    m_logger.warning(QStringLiteral("SyncManager: skipped ") + QLatin1String(kWords[static_cast<int>(table)].singular)
                     + QLatin1Char(' ') + id + QStringLiteral(": ") + reason);
}
