#include "support/FakePermissionProvider.h"

#include <thread>

MicrophoneAuthorization FakePermissionProvider::microphoneAuthorization() const
{
    ++m_authorizationReads;
    return authorization;
}

void FakePermissionProvider::requestMicrophoneAccess(AccessAnswer answer)
{
    ++m_requestCount;
    m_pending << std::move(answer);
}

bool FakePermissionProvider::isAccessibilityTrusted(bool prompt)
{
    m_trustChecks << prompt;
    return trusted;
}

bool FakePermissionProvider::openMicrophoneSettings()
{
    ++m_microphoneSettingsOpened;
    return canOpenSettings;
}

bool FakePermissionProvider::openAccessibilitySettings()
{
    ++m_accessibilitySettingsOpened;
    return canOpenSettings;
}

int FakePermissionProvider::answerRequests(bool granted)
{
    const QList<AccessAnswer> answers = takePendingAnswers();
    for (const AccessAnswer& answer : answers)
        answer(granted);
    return int(answers.size());
}

int FakePermissionProvider::answerRequestsFromAnotherThread(bool granted)
{
    const QList<AccessAnswer> answers = takePendingAnswers();
    std::thread([&answers, granted] {
        for (const AccessAnswer& answer : answers)
            answer(granted);
    }).join();
    return int(answers.size());
}
