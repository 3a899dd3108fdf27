#include "platform/qt/QtAudioCapture.h"

#include <QMediaDevices>

#include "platform/qt/QtAudioFormat.h"
#include "platform/qt/QtCaptureWorker.h"

QtAudioCapture::QtAudioCapture()
    : QtAudioCapture(QMediaDevices::defaultAudioInput())
{
}

QtAudioCapture::QtAudioCapture(const QAudioDevice& device)
    : m_device(device)
    , m_qtFormat(device.isNull() ? QAudioFormat() : device.preferredFormat())
    , m_format(toAudioFormat(m_qtFormat))
{
    m_thread.setObjectName(QStringLiteral("audio-capture"));
}

QtAudioCapture::~QtAudioCapture()
{
    stop();
}

bool QtAudioCapture::start()
{
    if (m_failed) {
        setErrorString(m_failure);
        return false;
    }
    switch (m_phase) {
    case Phase::running:
        return true;
    case Phase::stopped:
        setErrorString(QStringLiteral("This audio capture has been stopped; a recording needs a new one"));
        return false;
    case Phase::paused: {
        QString error;
        runOnCaptureThread([&] { error = m_worker->start(); });
        if (!error.isEmpty()) {
            setErrorString(error);
            return false;
        }
        m_phase = Phase::running;
        return true;
    }
    case Phase::idle:
        break;
    }

    if (m_device.isNull()) {
        setErrorString(QStringLiteral("No audio input device (is a sound server running?)"));
        return false;
    }
    if (!m_format.isValid()) {
        setErrorString(QStringLiteral("The audio input \"%1\" offers no usable format")
                           .arg(m_device.description()));
        return false;
    }
    if (!startThread())
        return false;
    m_phase = Phase::running;
    return true;
}

void QtAudioCapture::pause()
{
    if (m_phase != Phase::running)
        return;
    runOnCaptureThread([this] { m_worker->pause(); });
    m_phase = Phase::paused;
}

void QtAudioCapture::stop()
{
    if (m_phase == Phase::running || m_phase == Phase::paused)
        endThread();
    m_phase = Phase::stopped;
}

bool QtAudioCapture::isRunning() const
{
    return m_phase == Phase::running && !m_failed;
}

bool QtAudioCapture::startThread()
{
    m_failed = false;
    m_worker = new QtCaptureWorker(
        m_device, m_qtFormat, [this](const AudioBuffer& buffer) { deliver(buffer); },
        [this](const QString& message) {
            m_failure = message;   // published by the store to m_failed
            m_failed = true;
            reportFailure(message);
        });
    m_worker->moveToThread(&m_thread);
    // Deleted on its own thread, after its last event there.
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();

    QString error;
    runOnCaptureThread([&] { error = m_worker->start(); });
    if (error.isEmpty())
        return true;
    endThread();
    setErrorString(error);
    return false;
}

void QtAudioCapture::endThread()
{
    runOnCaptureThread([this] { m_worker->stop(); });
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr;
}

void QtAudioCapture::runOnCaptureThread(const std::function<void()>& work)
{
    QMetaObject::invokeMethod(m_worker, work, Qt::BlockingQueuedConnection);
}
