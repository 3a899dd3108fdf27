#include "support/PulseTestServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr int kBytesPerFrame = 2;
constexpr int kChunkFrames = 800;   // 50 ms of the microphone
}

PulseTestServer::PulseTestServer(const QString& runtimeDir)
    : m_runtimeDir(runtimeDir)
    , m_fifoPath(runtimeDir + "/mic.fifo")
{
    if (qEnvironmentVariableIsSet("PULSE_SERVER"))
        m_savedServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + runtimeDir + "/pulse/native"));
}

PulseTestServer::~PulseTestServer()
{
    stopFeeding();
    if (m_fifo >= 0)
        ::close(m_fifo);
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(3000)) {
            m_server.kill();
            m_server.waitForFinished(3000);
        }
    }
    if (m_savedServer)
        qputenv("PULSE_SERVER", *m_savedServer);
    else
        qunsetenv("PULSE_SERVER");
}

QString PulseTestServer::start()
{
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Off the session bus: servers of tests running side by side would fight
    // over its one PulseAudio name, and the loser exits.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/talvex-no-bus");
    environment.remove("DISPLAY");   // else D-Bus finds the session bus through X11
    m_server.setProcessEnvironment(environment);
    m_server.start("pulseaudio",
                   {"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--log-level=error",
                    "--load=module-native-protocol-unix auth-anonymous=1",
                    "--load=module-always-sink"});
    if (!m_server.waitForStarted(5000))
        return "cannot run pulseaudio (scripts/install-deps installs it): " + m_server.errorString();

    QDeadlineTimer deadline(10000);
    while (!pactl({"info"}).isEmpty()) {
        if (deadline.hasExpired() || m_server.state() == QProcess::NotRunning)
            return "the test sound server did not come up";
        QThread::msleep(20);
    }
    const QString loaded = pactl({"load-module", "module-pipe-source", "source_name=fifomic",
                                  "file=" + m_fifoPath, "format=s16le",
                                  QString("rate=%1").arg(kRate), "channels=1"});
    if (!loaded.isEmpty())
        return loaded;
    if (const QString error = pactl({"set-default-source", "fifomic"}); !error.isEmpty())
        return error;
    // The module keeps the FIFO open for reading, so this does not block.
    // Non-blocking writes: a sound server that stops reading must not hold
    // the feeder, and with it the test's teardown, for ever.
    m_fifo = ::open(QFile::encodeName(m_fifoPath).constData(), O_WRONLY | O_NONBLOCK);
    return m_fifo >= 0 ? QString() : "cannot open the microphone FIFO " + m_fifoPath;
}

QString PulseTestServer::feed(const QByteArray& pcm, double speed)
{
    const auto chunkBytes = qsizetype(kChunkFrames) * kBytesPerFrame;
    const int pauseMs = int(1000.0 * kChunkFrames / kRate / speed);
    for (qsizetype at = 0; at < pcm.size(); at += chunkBytes) {
        const qsizetype size = std::min(chunkBytes, pcm.size() - at);
        if (!write(pcm.constData() + at, size))
            return "writing to the microphone FIFO failed";
        QThread::msleep(pauseMs);   // the pace of a live microphone
    }
    return {};
}

void PulseTestServer::startFeeding(Signal signal)
{
    stopFeeding();
    m_framesFed = 0;
    m_feeding = true;
    m_feeder = std::thread([this, signal = std::move(signal)] {
        // Each chunk is due at a fixed time from the start, so the pace does
        // not drift with the time the writes take.
        const auto start = std::chrono::steady_clock::now();
        const auto chunk = std::chrono::microseconds(1'000'000LL * kChunkFrames / kRate);
        for (qint64 at = 0; m_feeding; at += kChunkFrames) {
            const QByteArray pcm = signal(at, kChunkFrames);
            if (!write(pcm.constData(), pcm.size()))
                return;
            m_framesFed = at + kChunkFrames;
            std::this_thread::sleep_until(start + chunk * (at / kChunkFrames + 1));
        }
    });
}

void PulseTestServer::stopFeeding()
{
    m_feeding = false;
    if (m_feeder.joinable())
        m_feeder.join();
}

bool PulseTestServer::write(const char* data, qsizetype size)
{
    if (m_fifo < 0)
        return false;
    // A live microphone never waits on its reader; two seconds without room
    // in the FIFO means the server has stopped reading it.
    QDeadlineTimer stalled(2000);
    while (size > 0) {
        const ssize_t written = ::write(m_fifo, data, size_t(size));
        if (written > 0) {
            data += written;
            size -= written;
            stalled.setRemainingTime(2000);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (stalled.hasExpired())
            return false;
        pollfd room{m_fifo, POLLOUT, 0};
        ::poll(&room, 1, 50);
    }
    return true;
}

void PulseTestServer::kill()
{
    stopFeeding();   // a FIFO without its reader would end this process
    m_server.kill();
    m_server.waitForFinished(3000);
}

QString PulseTestServer::pactl(const QStringList& arguments)
{
    QProcess process;
    process.start("pactl", arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return "pactl " + arguments.join(' ') + " did not finish";
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return "pactl " + arguments.join(' ') + " failed: "
            + QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    return {};
}
