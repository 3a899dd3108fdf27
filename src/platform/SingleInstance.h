#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>

class QLocalSocket;

// Waits of the hand-over between two launches; tests shrink them.
struct SingleInstanceTiming
{
    // A second launch reaching the running instance and getting its answer.
    std::chrono::milliseconds forwardTimeout = std::chrono::seconds(3);
    // The running instance waiting for a connected launch's whole message.
    std::chrono::milliseconds receiveTimeout = std::chrono::seconds(3);
};

// Keeps Talvex to one running instance per user. The first launch holds a
// lock file in the given folder and listens on a per-user local socket; a
// later launch hands its command-line arguments (a "talvex://" callback URL
// of the browser sign-in, or nothing) to it and exits. A lock or socket left
// by a crashed instance does not block the next start.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class Outcome {
        primary,     // this is the running instance; it keeps the lock until destroyed
        forwarded,   // the running instance has the arguments; exit
        failed,      // neither; errorString() says why
    };

    static constexpr auto kLockFileName = "talvex.lock";
    static constexpr auto kUrlScheme = "talvex";

    explicit SingleInstance(const QString& lockFolder, SingleInstanceTiming timing = {},
                            QObject* parent = nullptr);

    // "talvex-" + the user id, in the user's runtime folder.
    static QString serverName();

    // Becomes the running instance, or hands `arguments` (the command line
    // without the program) to it. Blocks for at most the forward timeout, so
    // it is called before the event loop runs.
    Outcome start(const QStringList& arguments);

    // Why start() failed, or why a running instance cannot receive (it then
    // stays the running instance); empty otherwise.
    QString errorString() const { return m_error; }

    // The "talvex:" URLs among `arguments`, in order.
    static QList<QUrl> callbackUrls(const QStringList& arguments);

signals:
    // A later launch without a callback URL: bring the main window up.
    void activationRequested();
    // A later launch with a callback URL, one signal per URL.
    void urlReceived(const QUrl& url);

private:
    Outcome becomePrimary();
    bool forward(const QStringList& arguments);
    void accept();
    void receive(QLocalSocket* socket);
    void deliver(const QStringList& arguments);

    const QString m_lockFolder;
    const SingleInstanceTiming m_timing;
    QLockFile m_lock;
    QLocalServer m_server;   // after the lock: closed before the lock is released
    QString m_error;
};
