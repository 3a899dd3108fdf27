#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QUrlQuery>
#include <QtEndian>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "platform/SingleInstance.h"
#include "support/EventLoop.h"
#include "support/QStringPrinter.h"

using namespace std::chrono_literals;
using Outcome = SingleInstance::Outcome;

namespace {

// Every test has its own lock folder; the socket lives in the runtime folder
// of the test process's private home.
class SingleInstanceTest : public testing::Test
{
protected:
    QString folder() const { return m_dir.path(); }

    // A second guard started on its own thread, as a second launch would be:
    // its hand-over blocks while this thread's event loop serves the first.
    Outcome startElsewhere(const QStringList& arguments, QString* error = nullptr)
    {
        Outcome outcome = Outcome::failed;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            SingleInstance second(folder(), SingleInstanceTiming{1s, 1s});
            outcome = second.start(arguments);
            if (error)
                *error = second.errorString();
        }));
        thread->start();
        EXPECT_TRUE(waitUntil([&] { return thread->isFinished(); }));
        thread->wait();
        return outcome;
    }

    // The launch helper as a separate process with `arguments` to hand over.
    static std::unique_ptr<QProcess> launch(const QStringList& arguments, const QString& folder)
    {
        auto process = std::make_unique<QProcess>();
        process->setProgram(TALVEX_SINGLE_INSTANCE_LAUNCH);
        process->setArguments(QStringList{folder} + arguments);
        process->start();
        return process;
    }

    // Runs the event loop until `process` ends; its exit code, or -1.
    static int exitCodeOf(QProcess& process)
    {
        if (!waitUntil([&] { return process.state() == QProcess::NotRunning; }, 10000))
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

private:
    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(SingleInstanceTest, ALaterLaunchIsRefusedAndHandsItsRequestOver)
{
    SingleInstance first(folder());
    ASSERT_EQ(first.start({}), Outcome::primary);
    EXPECT_EQ(first.errorString(), "");
    EXPECT_TRUE(QFile::exists(folder() + "/talvex.lock"));
    QSignalSpy activations(&first, &SingleInstance::activationRequested);
    QSignalSpy urls(&first, &SingleInstance::urlReceived);

    struct Case
    {
        QStringList arguments;
        int activations;
        QStringList urls;
    };
    const Case cases[] = {
        {{}, 1, {}},
        {{"--verbose", "/home/someone/notes.txt", "https://example.com/talvex"}, 1, {}},
        {{"talvex://auth-callback?code=1"}, 0, {"talvex://auth-callback?code=1"}},
        {{"talvex://first", "-x", "TALVEX://second"}, 0, {"talvex://first", "talvex://second"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        activations.clear();
        urls.clear();
        ASSERT_EQ(startElsewhere(c.arguments), Outcome::forwarded);
        // Acknowledged only after the first one has read it: nothing left to wait for.
        EXPECT_EQ(activations.size(), c.activations);
        QStringList received;
        for (const QList<QVariant>& signal : urls)
            received << signal.first().toUrl().toString();
        EXPECT_EQ(received, c.urls);
    }
}

TEST_F(SingleInstanceTest, TheLockAndSocketGoWithTheRunningInstance)
{
    auto first = std::make_unique<SingleInstance>(folder());
    ASSERT_EQ(first->start({}), Outcome::primary);
    first.reset();
    EXPECT_FALSE(QFile::exists(folder() + "/talvex.lock"));

    SingleInstance next(folder());
    EXPECT_EQ(next.start({}), Outcome::primary);
    EXPECT_EQ(next.errorString(), "");
}

TEST_F(SingleInstanceTest, ACallbackUrlFromAnotherProcessArrivesIntact)
{
    SingleInstance first(folder());
    ASSERT_EQ(first.start({}), Outcome::primary);
    QSignalSpy urls(&first, &SingleInstance::urlReceived);

    const QString callback = QString::fromUtf8(
        "talvex://auth-callback?code=a1%2Fb2%2Bc3%3D&state=x%20y&name=%E4%BD%A0%E5%A5%BD"
        "&plus=1+2#error_description=Access%20denied");
    auto launch2 = launch({callback}, folder());
    ASSERT_EQ(exitCodeOf(*launch2), 0) << launch2->readAllStandardError().toStdString();

    ASSERT_EQ(urls.size(), 1);
    const QUrl received = urls.first().first().toUrl();
    EXPECT_EQ(QString::fromLatin1(received.toEncoded()), callback);
    EXPECT_EQ(QUrlQuery(received).queryItemValue("code", QUrl::FullyDecoded), "a1/b2+c3=");
    EXPECT_EQ(QUrlQuery(received).queryItemValue("name", QUrl::FullyDecoded), QString::fromUtf8("你好"));
}

TEST_F(SingleInstanceTest, ACrashedInstanceDoesNotBlockTheNextStart)
{
    // The helper becomes the running instance and is killed: its lock file
    // and its socket file stay behind.
    auto crashed = launch({}, folder());
    ASSERT_TRUE(crashed->waitForReadyRead(10000));
    ASSERT_EQ(crashed->readLine().trimmed(), "PRIMARY");
    crashed->kill();
    ASSERT_TRUE(crashed->waitForFinished(5000));
    ASSERT_TRUE(QFile::exists(folder() + "/talvex.lock"));
    ASSERT_TRUE(QFile::exists(SingleInstance::serverName()));

    SingleInstance next(folder());
    ASSERT_EQ(next.start({}), Outcome::primary);
    EXPECT_EQ(next.errorString(), "");   // listening on the dead one's socket name

    QSignalSpy activations(&next, &SingleInstance::activationRequested);
    auto later = launch({}, folder());
    ASSERT_EQ(exitCodeOf(*later), 0) << later->readAllStandardError().toStdString();
    EXPECT_EQ(activations.size(), 1);
}

TEST_F(SingleInstanceTest, AnUnreadableLockFileWithoutAnOwnerIsTakenOver)
{
    // What a crash while the lock file was written leaves.
    QFile empty(folder() + "/talvex.lock");
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();

    SingleInstance guard(folder(), SingleInstanceTiming{200ms, 200ms});
    EXPECT_EQ(guard.start({}), Outcome::primary);
    EXPECT_EQ(guard.errorString(), "");
}

TEST_F(SingleInstanceTest, ALiveLockIsNeverTakenEvenWhenItsOwnerDoesNotAnswer)
{
    QLockFile held(folder() + "/talvex.lock");
    ASSERT_TRUE(held.tryLock(0));

    QString error;
    EXPECT_EQ(startElsewhere({"talvex://auth-callback?code=1"}, &error), Outcome::failed);
    EXPECT_TRUE(error.startsWith("Talvex is already running but does not answer: ")) << error.toStdString();
    EXPECT_TRUE(QFile::exists(folder() + "/talvex.lock"));
}

TEST_F(SingleInstanceTest, ALockFolderThatCannotBeMadeIsAFailure)
{
    QFile file(folder() + "/plain-file");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    SingleInstance guard(folder() + "/plain-file/data");
    EXPECT_EQ(guard.start({}), Outcome::failed);
    EXPECT_EQ(guard.errorString(), "cannot create the lock file " + folder() + "/plain-file/data/talvex.lock");
}

TEST_F(SingleInstanceTest, GarbageOnTheSocketIsDroppedAndTheNextLaunchGetsThrough)
{
    QByteArray hugeLength(4, Qt::Uninitialized);
    qToBigEndian(quint32(0xffffffff), hugeLength.data());
    {
        // Dropped at once, long before the receive timeout.
        SingleInstance first(folder(), SingleInstanceTiming{1s, 60s});
        ASSERT_EQ(first.start({}), Outcome::primary);
        QSignalSpy urls(&first, &SingleInstance::urlReceived);
        QLocalSocket huge;
        huge.connectToServer(SingleInstance::serverName());
        ASSERT_TRUE(huge.waitForConnected(1000));
        huge.write(hugeLength + "talvex://never");
        EXPECT_TRUE(waitUntil([&] { return huge.state() == QLocalSocket::UnconnectedState; }, 2000));
        EXPECT_TRUE(urls.isEmpty());
    }

    SingleInstance first(folder(), SingleInstanceTiming{1s, 300ms});
    ASSERT_EQ(first.start({}), Outcome::primary);
    QSignalSpy activations(&first, &SingleInstance::activationRequested);
    QLocalSocket silent;   // connects and never completes a message
    silent.connectToServer(SingleInstance::serverName());
    ASSERT_TRUE(silent.waitForConnected(1000));
    silent.write(QByteArray(2, '\0'));   // half of a length
    EXPECT_TRUE(waitUntil([&] { return silent.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_TRUE(activations.isEmpty());

    EXPECT_EQ(startElsewhere({}), Outcome::forwarded);
    EXPECT_EQ(activations.size(), 1);
}

TEST(SingleInstance, ThePerUserSocketName)
{
    EXPECT_TRUE(SingleInstance::serverName().endsWith(QString("/talvex-%1").arg(::getuid())));
    EXPECT_TRUE(SingleInstance::serverName().startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR")));
}
