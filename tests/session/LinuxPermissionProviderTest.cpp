#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "platform/x11/LinuxPermissionProvider.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

namespace {

// Points PATH at a folder of stand-in settings programs for one test; each
// writes its name and arguments into `launched` when run.
class SettingsPrograms
{
public:
    SettingsPrograms()
        : m_savedPath(qgetenv("PATH"))
    {
        qputenv("PATH", QFile::encodeName(m_dir.path()));
    }
    ~SettingsPrograms() { qputenv("PATH", m_savedPath); }

    void add(const QString& name)
    {
        QFile script(m_dir.filePath(name));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho \"${0##*/} $*\" > '" + QFile::encodeName(launchedPath()) + "'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // The command line of the program that ran, once it has run.
    QString launched()
    {
        QFile file(launchedPath());
        waitUntil([&] { return file.exists() && file.size() > 0; }, 3000);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
    }

private:
    QString launchedPath() const { return m_dir.filePath("launched"); }

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
};

}

TEST(LinuxPermissionProvider, IsNotTrustedWithoutAnXServer)
{
    LinuxPermissionProvider provider;
    EXPECT_FALSE(provider.isAccessibilityTrusted(false));
    EXPECT_FALSE(provider.isAccessibilityTrusted(true));
}

TEST(LinuxPermissionProvider, WithoutASoundServerTheMicrophoneIsDeniedNeverUndetermined)
{
    const QTemporaryDir dir;
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + dir.filePath("no-such-socket")));
    LinuxPermissionProvider provider;
    EXPECT_EQ(provider.microphoneAuthorization(), MicrophoneAuthorization::denied);
    std::optional<bool> answer;
    provider.requestMicrophoneAccess([&](bool granted) { answer = granted; });
    EXPECT_EQ(answer, false);
    qunsetenv("PULSE_SERVER");
}

TEST(LinuxPermissionProvider, OpensTheDesktopsSoundSettings)
{
    const struct {
        QStringList installed;
        QString expected;
    } cases[] = {
        {{"pavucontrol"}, "pavucontrol"},
        {{"pavucontrol", "gnome-control-center"}, "gnome-control-center sound"},
        {{"pavucontrol", "systemsettings"}, "systemsettings kcm_pulseaudio"},
    };
    for (const auto& c : cases) {
        SettingsPrograms programs;
        for (const QString& name : c.installed)
            programs.add(name);
        LinuxPermissionProvider provider;
        EXPECT_TRUE(provider.openMicrophoneSettings()) << c.expected.toStdString();
        EXPECT_EQ(programs.launched(), c.expected);
    }
}

TEST(LinuxPermissionProvider, OpensTheDesktopsAccessibilitySettings)
{
    const struct {
        QStringList installed;
        QString expected;
    } cases[] = {
        {{"gnome-control-center"}, "gnome-control-center universal-access"},
        {{"systemsettings"}, "systemsettings kcm_access"},
    };
    for (const auto& c : cases) {
        SettingsPrograms programs;
        for (const QString& name : c.installed)
            programs.add(name);
        LinuxPermissionProvider provider;
        EXPECT_TRUE(provider.openAccessibilitySettings()) << c.expected.toStdString();
        EXPECT_EQ(programs.launched(), c.expected);
    }
}

TEST(LinuxPermissionProvider, ReportsWhenNoSettingsProgramExists)
{
    SettingsPrograms programs;
    programs.add("pavucontrol");   // a sound mixer is no accessibility setting
    LinuxPermissionProvider provider;
    EXPECT_FALSE(provider.openAccessibilitySettings());

    SettingsPrograms none;
    EXPECT_FALSE(provider.openMicrophoneSettings());
}
