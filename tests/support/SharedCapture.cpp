#include "support/SharedCapture.h"

SharedCapture::SharedCapture(std::shared_ptr<AudioCapture> inner, HandlerTimer timeHandler)
    : m_inner(std::move(inner))
    , m_timeHandler(std::move(timeHandler))
{
    m_inner->setBufferHandler([this](const AudioBuffer& buffer) {
        const auto begin = std::chrono::steady_clock::now();
        deliver(buffer);
        if (m_timeHandler)
            m_timeHandler(std::chrono::steady_clock::now() - begin);
    });
    m_inner->setFailureHandler([this](const QString& message) { reportFailure(message); });
}

SharedCapture::~SharedCapture()
{
    m_inner->stop();
    m_inner->setBufferHandler({});
    m_inner->setFailureHandler({});
}

bool SharedCapture::start()
{
    if (m_inner->start())
        return true;
    setErrorString(m_inner->errorString());
    return false;
}
