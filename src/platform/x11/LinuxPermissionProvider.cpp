#include "platform/x11/LinuxPermissionProvider.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QProcess>
#include <QStandardPaths>
#include <xcb/xtest.h>

#include "platform/x11/X11Connection.h"

MicrophoneAuthorization LinuxPermissionProvider::microphoneAuthorization() const
{
    return QMediaDevices::audioInputs().isEmpty() ? MicrophoneAuthorization::denied
                                                  : MicrophoneAuthorization::authorized;
}

void LinuxPermissionProvider::requestMicrophoneAccess(AccessAnswer answer)
{
    answer(microphoneAuthorization() == MicrophoneAuthorization::authorized);
}

bool LinuxPermissionProvider::isAccessibilityTrusted(bool)
{
    const std::optional<X11Connection> x11 = X11Connection::fromQt();
    if (!x11)
        return false;
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(x11->get(), &xcb_test_id);
    return xtest && xtest->present;
}

bool LinuxPermissionProvider::openMicrophoneSettings()
{
    return startFirstFound({
        {"gnome-control-center", {"sound"}},
        {"systemsettings", {"kcm_pulseaudio"}},
        {"pavucontrol", {}},
    });
}

bool LinuxPermissionProvider::openAccessibilitySettings()
{
    return startFirstFound({
        {"gnome-control-center", {"universal-access"}},
        {"systemsettings", {"kcm_access"}},
    });
}

bool LinuxPermissionProvider::startFirstFound(const QList<SettingsProgram>& candidates)
{
    for (const SettingsProgram& candidate : candidates) {
        const QString path = QStandardPaths::findExecutable(candidate.program);
        if (!path.isEmpty() && QProcess::startDetached(path, candidate.arguments))
            return true;
    }
    return false;
}
