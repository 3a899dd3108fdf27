#include "session/PermissionManager.h"

#include <QCoreApplication>
#include <QPointer>

#include "store/Logger.h"

namespace {
QString grantedText(bool granted)
{
    return granted ? "granted" : "denied";
}
}

PermissionManager::PermissionManager(Logger& logger, std::unique_ptr<PermissionProvider> provider,
                                     PermissionTiming timing, QObject* parent)
    : QObject(parent)
    , m_logger(logger)
    , m_provider(std::move(provider))
    , m_timing(timing)
{
    m_pollTimer.setInterval(m_timing.pollInterval);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] {
        // The checks run as their own step after the work already queued.
        QTimer::singleShot(0, this, [this] {
            checkMicrophonePermission();
            checkAccessibilityPermission();
        });
    });
}

PermissionManager::~PermissionManager() = default;

void PermissionManager::startMonitoring()
{
    checkMicrophonePermission();
    checkAccessibilityPermission();
    startPolling();
}

void PermissionManager::checkMicrophonePermission()
{
    const bool before = m_microphoneGranted;
    switch (m_provider->microphoneAuthorization()) {
    case MicrophoneAuthorization::restricted:
    case MicrophoneAuthorization::denied:
        storeMicrophoneGranted(false);
        break;
    case MicrophoneAuthorization::authorized:
        storeMicrophoneGranted(true);
        break;
    case MicrophoneAuthorization::notDetermined:
        requestMicrophonePermission();
        break;
    default:   // a value outside the known states leaves the flag as it is
        break;
    }
    if (m_microphoneGranted != before)
        logMicrophone();
}

void PermissionManager::checkAccessibilityPermission()
{
    const bool before = m_accessibilityGranted;
    storeAccessibilityGranted(m_provider->isAccessibilityTrusted(false));
    if (m_accessibilityGranted != before)
        m_logger.info("PermissionManager: accessibility permission " + grantedText(m_accessibilityGranted));
}

void PermissionManager::requestMicrophonePermission()
{
    // The answer may come on any thread, and after this monitor is gone.
    QPointer<PermissionManager> self(this);
    m_provider->requestMicrophoneAccess([self](bool granted) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, granted] {
                if (!self)
                    return;
                self->storeMicrophoneGranted(granted);
                self->logMicrophone();
            },
            Qt::QueuedConnection);
    });
}

void PermissionManager::openMicrophoneSettings()
{
    if (m_provider->microphoneAuthorization() == MicrophoneAuthorization::notDetermined) {
        // The platform's prompt is the way to grant it.
        requestMicrophonePermission();
        return;
    }
    if (!m_provider->openMicrophoneSettings())
        m_logger.warning("PermissionManager: could not open the microphone settings: no settings program found");
}

void PermissionManager::openAccessibilitySettings()
{
    m_provider->isAccessibilityTrusted(true);
    if (!m_provider->openAccessibilitySettings())
        m_logger.warning("PermissionManager: could not open the accessibility settings: no settings program found");
}

void PermissionManager::startPolling()
{
    m_pollTimer.start();   // restarts a running poll: there is only ever one
}

void PermissionManager::storeMicrophoneGranted(bool granted)
{
    m_microphoneGranted = granted;
    emit microphoneGrantedChanged(granted);
}

void PermissionManager::storeAccessibilityGranted(bool granted)
{
    m_accessibilityGranted = granted;
    emit accessibilityGrantedChanged(granted);
}

void PermissionManager::logMicrophone() const
{
    m_logger.info("PermissionManager: microphone permission " + grantedText(m_microphoneGranted));
}
