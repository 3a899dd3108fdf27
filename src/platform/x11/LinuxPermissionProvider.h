#pragma once

#include <QString>
#include <QStringList>

#include "platform/PermissionProvider.h"

// PermissionProvider for a Linux X11 desktop, which asks for neither
// permission: the microphone counts as authorized while an audio input
// exists (denied otherwise, never undetermined), and accessibility as
// trusted while the X server offers XTest, the extension the synthetic
// paste needs (never under the offscreen platform). The settings links start
// the desktop's sound or accessibility settings program found on PATH.
class LinuxPermissionProvider final : public PermissionProvider
{
public:
    LinuxPermissionProvider() = default;

    MicrophoneAuthorization microphoneAuthorization() const override;
    // Answers at once with the current authorisation: there is no prompt.
    void requestMicrophoneAccess(AccessAnswer answer) override;
    // There is no trust prompt either; `prompt` changes nothing.
    bool isAccessibilityTrusted(bool prompt) override;
    bool openMicrophoneSettings() override;
    bool openAccessibilitySettings() override;

private:
    struct SettingsProgram
    {
        QString program;
        QStringList arguments;
    };
    // Starts the first of `candidates` found on PATH.
    static bool startFirstFound(const QList<SettingsProgram>& candidates);
};
