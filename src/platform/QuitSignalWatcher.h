#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <csignal>
#include <memory>

class QSocketNotifier;

// Turns the signals that ask a program to end (SIGTERM at log-out or
// shutdown, SIGINT for Ctrl+C in a terminal, SIGHUP when that terminal
// closes) into a Qt signal on the thread that made the watcher, so that
// the program ends through its orderly quit instead of dying mid-write.
//
// The handler only writes the signal's number into a pipe (the one thing a
// signal handler may safely do here); a socket notifier reads it in the
// event loop. A signal that came before the event loop runs waits in the
// pipe until it does. One watcher per process; destroying it restores the
// dispositions it replaced.
class QuitSignalWatcher : public QObject
{
    Q_OBJECT
public:
    static inline const QList<int> kQuitSignals{SIGTERM, SIGINT, SIGHUP};

    explicit QuitSignalWatcher(const QList<int>& signalNumbers = kQuitSignals, QObject* parent = nullptr);
    ~QuitSignalWatcher() override;

    // Why the signals are not watched; empty when they are.
    QString errorString() const { return m_error; }

    // "SIGTERM".
    static QString nameOf(int signalNumber);

signals:
    void received(int signalNumber);

private:
    void readPipe();

    struct Installed;
    std::unique_ptr<Installed> m_installed;
    QSocketNotifier* m_notifier = nullptr;
    QString m_error;
};
