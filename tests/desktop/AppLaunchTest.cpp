#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

#include "support/EventLoop.h"
#include "support/TempHome.h"

namespace {

QByteArray dayLogs(const QString& logsDir)
{
    QByteArray all;
    for (const QString& name : QDir(logsDir).entryList({"*.log"}, QDir::Files)) {
        QFile file(logsDir + "/" + name);
        if (file.open(QIODevice::ReadOnly))
            all += file.readAll();
    }
    return all;
}

}  // namespace

// The real program on the test display: it lays out its data folder, opens
// the database, logs its start, and a second launch hands over to it.
TEST(AppLaunch, StartsOnceAndASecondLaunchHandsOver)
{
    TempHome home;
    const QString data = home.talvexDataDir();
    QProcess app;
    app.setProcessChannelMode(QProcess::ForwardedChannels);
    app.start(TALVEX_APP, {});
    ASSERT_TRUE(app.waitForStarted(5000));

    const QByteArray ready = "App: initialization complete, deviceId: ";
    ASSERT_TRUE(waitUntil([&] { return dayLogs(data + "/logs").contains(ready); }, 15000))
        << dayLogs(data + "/logs").constData();
    EXPECT_TRUE(QFile::exists(data + "/talvex.db"));
    EXPECT_TRUE(QDir(data + "/recordings").exists());
    EXPECT_TRUE(dayLogs(data + "/logs").contains(", userId: local\n"));

    QProcess second;
    second.start(TALVEX_APP, {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(dayLogs(data + "/logs").count(ready), 1);   // it never started a controller
    EXPECT_EQ(app.state(), QProcess::Running);

    app.terminate();
    EXPECT_TRUE(app.waitForFinished(5000));
}
