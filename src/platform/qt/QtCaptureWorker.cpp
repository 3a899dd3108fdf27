#include "platform/qt/QtCaptureWorker.h"

#include "platform/AudioCapture.h"
#include "platform/qt/QtAudioFormat.h"

namespace {

QString describe(QAudio::Error error)
{
    switch (error) {
    case QAudio::NoError: return QStringLiteral("no error");
    case QAudio::OpenError: return QStringLiteral("the device could not be opened");
    case QAudio::IOError: return QStringLiteral("reading from the device failed");
    case QAudio::UnderrunError: return QStringLiteral("the device delivered no data");
    case QAudio::FatalError: return QStringLiteral("the sound server failed or is not running");
    }
    return QStringLiteral("unknown error");
}

} // namespace

QtCaptureWorker::QtCaptureWorker(const QAudioDevice& device, const QAudioFormat& format,
                                 AudioBufferAssembler::Deliver deliver, FailureHandler failed)
    : m_device(device)
    , m_format(format)
    , m_assembler(toAudioFormat(format), AudioCapture::kBufferFrames, std::move(deliver))
    , m_failed(std::move(failed))
{
}

QtCaptureWorker::~QtCaptureWorker() = default;

QString QtCaptureWorker::start()
{
    if (m_source && m_source->state() == QAudio::SuspendedState) {
        m_source->resume();
        if (m_source->state() == QAudio::StoppedState)
            return QStringLiteral("Could not resume the audio input \"%1\": %2")
                .arg(m_device.description(), describe(m_source->error()));
        return {};
    }

    m_source = std::make_unique<QAudioSource>(m_device, m_format);
    m_input = m_source->start();
    if (!m_input || m_source->error() != QAudio::NoError
        || m_source->state() == QAudio::StoppedState) {
        const QString error = QStringLiteral("Could not open the audio input \"%1\": %2")
                                  .arg(m_device.description(), describe(m_source->error()));
        m_source.reset();
        return error;
    }
    connect(m_input, &QIODevice::readyRead, this, &QtCaptureWorker::readAvailable);
    connect(m_source.get(), &QAudioSource::stateChanged, this, &QtCaptureWorker::onStateChanged);
    return {};
}

void QtCaptureWorker::pause()
{
    if (!m_source)
        return;
    readAvailable();
    m_source->suspend();
    m_assembler.flush();
}

void QtCaptureWorker::stop()
{
    m_stopping = true;
    if (m_source) {
        readAvailable();
        m_source->stop();
        m_source.reset();
    }
    m_assembler.flush();
}

void QtCaptureWorker::readAvailable()
{
    if (!m_input)
        return;
    const QByteArray piece = m_input->readAll();
    m_assembler.append(piece.constData(), piece.size());
}

void QtCaptureWorker::onStateChanged(QAudio::State state)
{
    if (state != QAudio::StoppedState || m_stopping || m_source->error() == QAudio::NoError)
        return;
    // The source has closed itself (and dropped its device); hand on what was
    // gathered before the failure, then say why capture ended.
    m_stopping = true;
    m_assembler.flush();
    m_failed(QStringLiteral("The audio input \"%1\" stopped: %2")
                 .arg(m_device.description(), describe(m_source->error())));
}
