#pragma once

#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "support/PulseTestServer.h"
#include "support/TempHome.h"
#include "support/XTestKeyboard.h"

class DatabaseManager;

// The built program (TALVEX_APP) on the test desktop, as a user runs it: in a
// private home (its data folder, settings file and logs), with a microphone of
// its own (a private sound server whose default input plays a signal the test
// chooses, in real time), the user's keyboard for the global hot key, and
// every service address pointed at a loopback port that refuses, so that no
// request leaves the machine. The test reads what the program leaves behind:
// its log lines, its slice files and, while it is not running, its database.
//
// One harness is one home: the program can be launched, ended and launched
// again in it, as after a crash or a log-out.
class AppHarness
{
public:
    AppHarness();
    ~AppHarness();
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    // Why the harness cannot run (no X display, no sound server); empty when it can.
    QString setUpError() const { return m_setUpError; }

    // Sets an environment variable of the program, over the harness's own
    // (a service address such as TALVEX_OPENAI_BASE_URL pointed at a test
    // server instead of the refusing port); takes effect at the next launch.
    void setEnvironment(const QString& variable, const QString& value);
    // Writes a setting into the settings file; takes effect at the next launch.
    void setSetting(const QString& key, const QVariant& value);
    // Starts feeding the microphone (from its first frame on); it goes on
    // across launches until the harness ends.
    void feedMicrophone(PulseTestServer::Signal signal);
    // Seconds of the microphone's signal fed so far.
    double secondsFed() const;

    // Starts the program and waits until it can take a dictation: its
    // initialisation is complete, the hot key is registered and both
    // permissions were found granted. Returns what went wrong, else empty.
    QString launch();
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }

    // The default shortcut (Super+Shift+E), pressed and released; `pressed`
    // runs once the X server has handled the press.
    void pressHotkey(const std::function<void()>& pressed = {});

    // Sends `signal` to the program.
    void sendSignal(int signal);
    // Waits until the program has ended; false when it did not in time.
    bool waitForExit(int timeoutMs = 20000);
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    int exitCode() const { return m_process.exitCode(); }
    // Ends a running program through SIGTERM (the orderly quit), waiting for it.
    void quit();

    // The messages ("LEVEL message", without the time) of every line the
    // current (or last) launch has logged so far.
    QStringList logLines() const;
    // Waits until a line of the current launch contains `text`.
    bool waitForLog(const QString& text, int timeoutMs = 10000) const;

    QString recordingsDirectory() const;
    // The database, opened by the test; only while the program is not running.
    std::unique_ptr<DatabaseManager> openDatabase() const;

private:
    // Every line of the day log files, oldest first.
    QStringList allLogLines() const;

    TempHome m_home;
    PulseTestServer m_sound;
    XTestKeyboard m_keyboard;
    QString m_setUpError;
    QProcess m_process;
    qsizetype m_linesBeforeLaunch = 0;
    QMap<QString, QString> m_environment;   // the test's own variables
};
