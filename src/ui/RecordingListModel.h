#pragma once

#include <QAbstractListModel>
#include <QList>
#include <optional>

#include "store/Recording.h"

class LocaleManager;
class SessionManager;

// The recordings the history shows, newest first, and what each row offers.
// The list changes only by setRecordings(); what a row offers is read from the
// orchestrator and the controller when it is asked for (the store's answers
// kept until the next list), so that a load of many rows asks nothing of them.
class RecordingListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum class Action { retry, regenerate, copy, remove };

    // What a row offers, and which of it may be used now.
    struct Actions
    {
        // Retried here, or the recording comes from another machine (its
        // slice files are there): the note says so in place of the button.
        bool retry = false;
        bool otherDevice = false;
        bool regenerate = false;
        // Neither while a retry of the recording runs.
        bool retryEnabled = false;
        bool regenerateEnabled = false;
        bool copy = false;
        // Not the dictation under way: it would go on into a deleted row.
        bool removeEnabled = false;

        bool offers(Action action) const;
        bool allows(Action action) const;
    };

    explicit RecordingListModel(SessionManager& session, QObject* parent = nullptr);

    LocaleManager& locale() const;

    void setRecordings(QList<Recording> recordings);
    const QList<Recording>& recordings() const { return m_recordings; }
    const Recording& recording(int row) const { return m_recordings.at(row); }
    // The row of the recording; -1 when it is not listed.
    int rowOf(const QString& recordingId) const;
    Actions actions(int row) const;
    // The row shows its recording's state anew (a retry began).
    void refresh(const QString& recordingId);

    int rowCount(const QModelIndex& parent = {}) const override;
    // The text as display, the row's status, time, text and error as
    // accessible text.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // A recording that stopped short of its text: retried, not regenerated.
    static bool isUnfinished(RecordingStatus status);
    // Made on another machine, which holds its slice files.
    bool isFromOtherDevice(const Recording& recording) const;

    // The row's text: the polished text, else the raw one; none when neither
    // says anything.
    static std::optional<QString> rowText(const Recording& recording);
    // "MM/dd HH:mm" in local time.
    static QString timeText(const QDateTime& createdAt);
    // Whole minutes and seconds ("62:05"); none for a length that is not a
    // finite number of seconds in the integer range.
    static std::optional<QString> lengthText(std::optional<double> duration);

private:
    // What the orchestrator says of a row, asked once per list.
    struct Eligibility
    {
        bool retry = false;
        bool regenerate = false;
    };
    const Eligibility& eligibility(int row) const;
    QString accessibleText(const Recording& recording) const;

    SessionManager& m_session;
    QList<Recording> m_recordings;
    mutable QList<std::optional<Eligibility>> m_eligibility;
};
