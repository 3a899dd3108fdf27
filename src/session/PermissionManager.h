#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>

#include "platform/PermissionProvider.h"

class Logger;

// How often the permissions are read again; tests shrink it.
struct PermissionTiming
{
    std::chrono::milliseconds pollInterval = std::chrono::seconds(2);
};

// Publishes whether dictation's two permissions are present (microphone
// access, accessibility trust), re-reads them on a poll so that a change made
// in the system's settings while the application runs is noticed, asks for
// microphone access while that is undecided, and opens the settings where
// each is granted. It only reports; it never blocks dictation itself.
// Lives on the main thread.
class PermissionManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool microphoneGranted READ microphoneGranted NOTIFY microphoneGrantedChanged)
    Q_PROPERTY(bool accessibilityGranted READ accessibilityGranted NOTIFY accessibilityGrantedChanged)
public:
    PermissionManager(Logger& logger, std::unique_ptr<PermissionProvider> provider,
                      PermissionTiming timing = {}, QObject* parent = nullptr);
    ~PermissionManager() override;

    // Both false until the first check.
    bool microphoneGranted() const { return m_microphoneGranted; }
    bool accessibilityGranted() const { return m_accessibilityGranted; }

    // Checks the microphone, then accessibility, then (re)starts the poll:
    // both checks again at every poll interval.
    void startMonitoring();
    // Reads the microphone authorisation into microphoneGranted; asks for
    // access instead while it is undetermined.
    void checkMicrophonePermission();
    // Reads the accessibility trust, without any prompt.
    void checkAccessibilityPermission();
    // Asks for microphone access; the answer is published and logged.
    void requestMicrophonePermission();
    // Asks for access while undetermined, else opens the microphone settings.
    void openMicrophoneSettings();
    // Lets the platform prompt for trust and opens the accessibility settings.
    void openAccessibilitySettings();

signals:
    // Emitted at every store into the flag, also when its value stays the same,
    // so that observers refresh at least once per poll.
    void microphoneGrantedChanged(bool granted);
    void accessibilityGrantedChanged(bool granted);

private:
    void startPolling();
    void storeMicrophoneGranted(bool granted);
    void storeAccessibilityGranted(bool granted);
    void logMicrophone() const;

    Logger& m_logger;
    const std::unique_ptr<PermissionProvider> m_provider;
    const PermissionTiming m_timing;
    bool m_microphoneGranted = false;
    bool m_accessibilityGranted = false;
    QTimer m_pollTimer;
};
