#pragma once

#include <QProcess>
#include <QStringList>
#include <memory>

// The paste target helper program, run as a second process on the display:
// one window with a focused line edit that reports on standard output.
class PasteTargetProcess
{
public:
    struct Options
    {
        QStringList arguments;      // --title, --text, --select, --password
        bool accessible = false;    // publish its widgets on the accessibility bus
        QString resourceName;       // the WM_CLASS instance name, when set
    };

    explicit PasteTargetProcess(Options options);
    PasteTargetProcess() : PasteTargetProcess(Options{}) {}
    ~PasteTargetProcess();

    // Starts it and waits until its window is active with the field focused.
    bool start();
    // Ends it and waits until it has gone.
    void quit();

    qint64 pid() const { return m_process.processId(); }
    // The field's latest text (what it started with when it never changed).
    QString text() const { return m_text; }
    bool waitForText(const QString& text, int timeoutMs = 5000);
    // Every line it has written so far.
    QStringList lines();

private:
    void readLines();

    Options m_options;
    QProcess m_process;
    QStringList m_lines;
    QString m_text;
};
