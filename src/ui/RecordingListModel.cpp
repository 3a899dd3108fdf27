#include "ui/RecordingListModel.h"

#include <QStringList>
#include <cmath>
#include <limits>

#include "session/SessionManager.h"
#include "store/LocaleManager.h"

bool RecordingListModel::Actions::offers(Action action) const
{
    switch (action) {
    case Action::retry: return retry;
    case Action::regenerate: return regenerate;
    case Action::copy: return copy;
    case Action::remove: return true;
    }
    return false;
}

bool RecordingListModel::Actions::allows(Action action) const
{
    switch (action) {
    case Action::retry: return retry && retryEnabled;
    case Action::regenerate: return regenerate && regenerateEnabled;
    case Action::copy: return copy;
    case Action::remove: return removeEnabled;
    }
    return false;
}

RecordingListModel::RecordingListModel(SessionManager& session, QObject* parent)
    : QAbstractListModel(parent), m_session(session)
{
}

LocaleManager& RecordingListModel::locale() const { return m_session.locale(); }

void RecordingListModel::setRecordings(QList<Recording> recordings)
{
    beginResetModel();
    m_recordings = std::move(recordings);
    m_eligibility = QList<std::optional<Eligibility>>(m_recordings.size());
    endResetModel();
}

int RecordingListModel::rowOf(const QString& recordingId) const
{
    for (int row = 0; row < m_recordings.size(); ++row) {
        if (m_recordings[row].id == recordingId)
            return row;
    }
    return -1;
}

const RecordingListModel::Eligibility& RecordingListModel::eligibility(int row) const
{
    std::optional<Eligibility>& known = m_eligibility[row];
    if (!known) {
        const Recording& recording = m_recordings[row];
        const TranscriptionOrchestrator& orchestrator = m_session.orchestrator();
        known = Eligibility{};
        if (recording.status == RecordingStatus::completed)
            known->regenerate = orchestrator.canRegenerate(recording);
        else
            known->retry = orchestrator.canRetry(recording);
    }
    return *known;
}

RecordingListModel::Actions RecordingListModel::actions(int row) const
{
    const Recording& recording = m_recordings.at(row);
    const RecordingStatus status = recording.status;
    const bool retrying = m_session.orchestrator().isRetrying(recording.id);
    Actions actions;
    if (isUnfinished(status)) {
        actions.otherDevice = isFromOtherDevice(recording);
        // A retry under way keeps its button, disabled, whatever its passing
        // states say.
        actions.retry = !actions.otherDevice && (retrying || eligibility(row).retry);
    }
    if (status == RecordingStatus::completed)
        actions.regenerate = retrying || eligibility(row).regenerate;
    actions.retryEnabled = actions.regenerateEnabled = !retrying;
    actions.copy = rowText(recording).has_value();
    const std::optional<Recording>& current = m_session.currentRecording();
    actions.removeEnabled =
        m_session.state() == SessionState::idle || !current || current->id != recording.id;
    return actions;
}

void RecordingListModel::refresh(const QString& recordingId)
{
    const int row = rowOf(recordingId);
    if (row < 0)
        return;
    m_eligibility[row].reset();
    emit dataChanged(index(row), index(row));
}

int RecordingListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_recordings.size());
}

QVariant RecordingListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Recording& recording = m_recordings[index.row()];
    switch (role) {
    case Qt::DisplayRole: return rowText(recording).value_or(QString());
    case Qt::AccessibleTextRole: return accessibleText(recording);
    default: return {};
    }
}

QString RecordingListModel::accessibleText(const Recording& recording) const
{
    QStringList parts{m_session.locale().text(QStringLiteral("row.status.") + toText(recording.status)),
                      timeText(recording.createdAt)};
    if (const std::optional<QString> text = rowText(recording))
        parts << *text;
    if (recording.status == RecordingStatus::failed && recording.error)
        parts << *recording.error;
    return parts.join(QStringLiteral(", "));
}

bool RecordingListModel::isUnfinished(RecordingStatus status)
{
    return status == RecordingStatus::failed || status == RecordingStatus::recorded
        || status == RecordingStatus::transcribed;
}

bool RecordingListModel::isFromOtherDevice(const Recording& recording) const
{
    return recording.deviceId && *recording.deviceId != m_session.deviceId();
}

std::optional<QString> RecordingListModel::rowText(const Recording& recording)
{
    for (const std::optional<QString>& text : {recording.cleanedText, recording.rawText}) {
        if (text && !text->trimmed().isEmpty())
            return text;
    }
    return std::nullopt;
}

QString RecordingListModel::timeText(const QDateTime& createdAt)
{
    return createdAt.toLocalTime().toString(QStringLiteral("MM/dd HH:mm"));
}

std::optional<QString> RecordingListModel::lengthText(std::optional<double> duration)
{
    if (!duration || !std::isfinite(*duration))
        return std::nullopt;
    const double whole = std::trunc(*duration);
    if (whole < 0 || whole > std::numeric_limits<int>::max())
        return std::nullopt;
    const int seconds = int(whole);
    return QString::asprintf("%d:%02d", seconds / 60, seconds % 60);
}
