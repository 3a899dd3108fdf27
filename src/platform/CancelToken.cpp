#include "platform/CancelToken.h"

void CancelNotifier::cancel()
{
    if (m_cancelled)
        return;
    m_cancelled = true;
    emit cancelled();
}

CancelToken::CancelToken()
    : m_state(std::make_shared<CancelNotifier>())
{
}

void CancelToken::cancel() const
{
    // A receiver may drop the last other copy while the signal is being emitted.
    const std::shared_ptr<CancelNotifier> keepAlive = m_state;
    keepAlive->cancel();
}

bool CancelToken::isCancelled() const { return m_state->isCancelled(); }
