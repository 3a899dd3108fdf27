#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

// A private PulseAudio server for one test, on a socket in the test's runtime
// folder, whose default input is a FIFO the test feeds with PCM.
//
// Constructing it points every PulseAudio client of this process (Qt
// included) at that socket, so no other server is ever used; without start()
// there is simply no server. Programs the test starts inherit that address.
class PulseTestServer
{
public:
    static constexpr int kRate = 16000;   // the FIFO microphone: s16le, mono

    // Frames [firstFrame, firstFrame + frames) of a signal, as s16le mono PCM.
    using Signal = std::function<QByteArray(qint64 firstFrame, int frames)>;

    explicit PulseTestServer(const QString& runtimeDir);
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // Starts the server and makes the FIFO microphone the default input.
    // Returns an empty text on success, else what went wrong.
    QString start();
    // Writes `pcm` into the microphone at `speed` times real time.
    QString feed(const QByteArray& pcm, double speed);
    // Feeds `signal` from its first frame on, from a thread of its own at the
    // pace of a live microphone, until stopFeeding() (or the end of the server).
    void startFeeding(Signal signal);
    void stopFeeding();
    // Frames of the background feed written into the microphone so far.
    qint64 framesFed() const { return m_framesFed; }
    // Ends the server at once, as a crash would.
    void kill();

private:
    QString pactl(const QStringList& arguments);
    bool write(const char* data, qsizetype size);

    const QString m_runtimeDir;
    const QString m_fifoPath;
    std::optional<QByteArray> m_savedServer;
    QProcess m_server;
    int m_fifo = -1;
    std::thread m_feeder;
    std::atomic<bool> m_feeding = false;
    std::atomic<qint64> m_framesFed = 0;
};
