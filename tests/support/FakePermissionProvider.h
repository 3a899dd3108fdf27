#pragma once

#include <QList>
#include <utility>

#include "platform/PermissionProvider.h"

// A PermissionProvider whose answers the test sets, and which keeps the
// microphone access requests until the test answers them.
class FakePermissionProvider final : public PermissionProvider
{
public:
    MicrophoneAuthorization authorization = MicrophoneAuthorization::notDetermined;
    bool trusted = false;
    bool canOpenSettings = true;   // whether the settings links find something to open

    MicrophoneAuthorization microphoneAuthorization() const override;
    void requestMicrophoneAccess(AccessAnswer answer) override;
    bool isAccessibilityTrusted(bool prompt) override;
    bool openMicrophoneSettings() override;
    bool openAccessibilitySettings() override;

    // Answers every request made so far, on this thread or on a thread of
    // its own (as the platform may); returns how many were answered.
    int answerRequests(bool granted);
    int answerRequestsFromAnotherThread(bool granted);
    // The unanswered requests' answers, for answering after the provider is gone.
    QList<AccessAnswer> takePendingAnswers() { return std::exchange(m_pending, {}); }

    int requestCount() const { return m_requestCount; }
    int authorizationReads() const { return m_authorizationReads; }
    // The prompt argument of every trust check, in order.
    const QList<bool>& trustChecks() const { return m_trustChecks; }
    int microphoneSettingsOpened() const { return m_microphoneSettingsOpened; }
    int accessibilitySettingsOpened() const { return m_accessibilitySettingsOpened; }

private:
    QList<AccessAnswer> m_pending;
    int m_requestCount = 0;
    mutable int m_authorizationReads = 0;
    QList<bool> m_trustChecks;
    int m_microphoneSettingsOpened = 0;
    int m_accessibilitySettingsOpened = 0;
};
