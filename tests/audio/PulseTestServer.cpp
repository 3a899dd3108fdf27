#include "audio/PulseTestServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <fcntl.h>
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
    m_fifo = ::open(QFile::encodeName(m_fifoPath).constData(), O_WRONLY);
    return m_fifo >= 0 ? QString() : "cannot open the microphone FIFO " + m_fifoPath;
}

QString PulseTestServer::feed(const QByteArray& pcm, double speed)
{
    const auto chunkBytes = qsizetype(kChunkFrames) * kBytesPerFrame;
    const int pauseMs = int(1000.0 * kChunkFrames / kRate / speed);
    for (qsizetype at = 0; at < pcm.size(); at += chunkBytes) {
        const qsizetype size = std::min(chunkBytes, pcm.size() - at);
        if (::write(m_fifo, pcm.constData() + at, size_t(size)) != size)
            return "writing to the microphone FIFO failed";
        QThread::msleep(pauseMs);   // the pace of a live microphone
    }
    return {};
}

void PulseTestServer::kill()
{
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
