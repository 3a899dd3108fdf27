#pragma once

#include <QObject>
#include <optional>

#include "platform/Result.h"
#include "sync/BackendError.h"
#include "sync/BackendSession.h"

// One refresh of the stored session, awaited by every request that needs it:
// a refresh token is good for one use, so a second refresh beside it would be
// refused and end the session.
class SessionRefresh : public QObject
{
    Q_OBJECT
public:
    using Outcome = Result<BackendSession, BackendError>;

    const std::optional<Outcome>& outcome() const { return m_outcome; }
    void finish(Outcome outcome)
    {
        m_outcome = std::move(outcome);
        emit wake();
    }

signals:
    // The refresh has finished, or a waiter's cancel fired: each waiter looks
    // at its own state again.
    void wake();

private:
    std::optional<Outcome> m_outcome;
};
