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

CancelToken CancelToken::orWith(const CancelToken& other) const
{
    CancelToken either;
    CancelNotifier* const target = either.m_state.get();
    for (const CancelToken* source : {this, &other}) {
        if (source->isCancelled())
            target->cancel();
        // The target is the context: the link goes with the last copy of `either`.
        QObject::connect(source->m_state.get(), &CancelNotifier::cancelled, target,
                         &CancelNotifier::cancel);
    }
    return either;
}
