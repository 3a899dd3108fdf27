#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <optional>

// A private PulseAudio server for one test, on a socket in the test's runtime
// folder, whose default input is a FIFO the test feeds with PCM.
//
// Constructing it points every PulseAudio client of this process (Qt
// included) at that socket, so no other server is ever used; without start()
// there is simply no server.
class PulseTestServer
{
public:
    static constexpr int kRate = 16000;   // the FIFO microphone: s16le, mono

    explicit PulseTestServer(const QString& runtimeDir);
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    // Starts the server and makes the FIFO microphone the default input.
    // Returns an empty text on success, else what went wrong.
    QString start();
    // Writes `pcm` into the microphone at `speed` times real time.
    QString feed(const QByteArray& pcm, double speed);
    // Ends the server at once, as a crash would.
    void kill();

private:
    QString pactl(const QStringList& arguments);

    const QString m_runtimeDir;
    const QString m_fifoPath;
    std::optional<QByteArray> m_savedServer;
    QProcess m_server;
    int m_fifo = -1;
};
