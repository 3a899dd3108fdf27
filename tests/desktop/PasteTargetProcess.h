#pragma once

#include <QProcess>
#include <QStringList>
#include <memory>

// A target helper program run as a second process on the display: one
// window with a focused text field that reports on standard output. The Qt
// one is tests/tools/PasteTarget.cpp, the GTK 3 one tests/tools/gtk_text_target.py.
class PasteTargetProcess
{
public:
    enum class Toolkit { qt, gtk };

    struct Options
    {
        // Qt: --title, --text, --select <start> <length>, --password, --plain,
        // --rich, --widgets <count>, --second-text <text>; GTK: --title, --text, --select <start> <length>, --view, --churn
        QStringList arguments;
        bool accessible = false;    // Qt: publish its widgets on the accessibility bus
        QString resourceName;       // Qt: the WM_CLASS instance name, when set
        Toolkit toolkit = Toolkit::qt;
    };

    explicit PasteTargetProcess(Options options);
    PasteTargetProcess() : PasteTargetProcess(Options{}) {}
    ~PasteTargetProcess();

    // Starts it and waits until its window is active with the field focused
    // and the window manager has it in front.
    bool start();
    // Ends it and waits until it has gone.
    void quit();

    qint64 pid() const { return m_process.processId(); }
    // The field's latest text (what it started with when it never changed).
    QString text() const { return m_text; }
    bool waitForText(const QString& text, int timeoutMs = 5000);
    // A rich text field's latest HTML (empty before its first change).
    QString html() const { return m_html; }
    // Every line it has written so far (texts as written, escaped).
    QStringList lines();
    // Qt: sends it a command ("focus second", "drop second") and waits for
    // the line that tells it is done.
    bool command(const QString& command, const QString& done, int timeoutMs = 5000);

private:
    void readLines();

    Options m_options;
    QProcess m_process;
    QStringList m_lines;
    QString m_text;
    QString m_html;
};
