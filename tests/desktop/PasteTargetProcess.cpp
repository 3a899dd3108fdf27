#include "desktop/PasteTargetProcess.h"

#include <QProcessEnvironment>

#include "platform/x11/X11DesktopWindows.h"
#include "support/EventLoop.h"
#include "tools/LineEscapes.h"

PasteTargetProcess::PasteTargetProcess(Options options) : m_options(std::move(options))
{
    const qsizetype text = m_options.arguments.indexOf("--text");
    if (text >= 0)
        m_text = m_options.arguments.value(text + 1);
    const qsizetype escapedText = m_options.arguments.indexOf("--escaped-text");
    if (escapedText >= 0)
        m_text = unescapedFromLine(m_options.arguments.value(escapedText + 1));
}

PasteTargetProcess::~PasteTargetProcess()
{
    quit();
}

bool PasteTargetProcess::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    if (m_options.accessible)
        env.insert("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    else
        env.remove("QT_LINUX_ACCESSIBILITY_ALWAYS_ON");
    // A test may cut its own process off the accessibility bus; never this one.
    env.remove("AT_SPI_BUS_ADDRESS");
    if (!m_options.resourceName.isEmpty())
        env.insert("RESOURCE_NAME", m_options.resourceName);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (m_options.toolkit == Toolkit::gtk)
        m_process.start(TALVEX_GTK_TARGET, m_options.arguments);
    else
        m_process.start(TALVEX_PASTE_TARGET, m_options.arguments);
    if (!m_process.waitForStarted(5000))
        return false;
    const QString ready = QStringLiteral("READY %1").arg(m_process.processId());
    if (!waitUntil([&] { return lines().contains(ready); }, 10000))
        return false;
    // The toolkit reports its window active on the X focus event; the window
    // manager names it the active window a moment later, and the program
    // under test asks the window manager.
    const X11DesktopWindows windows;
    return waitUntil([&] {
        const auto front = windows.frontmostApplication();
        return front && front->pid == pid();
    });
}

void PasteTargetProcess::quit()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool PasteTargetProcess::waitForText(const QString& text, int timeoutMs)
{
    return waitUntil([&] { readLines(); return m_text == text; }, timeoutMs);
}

bool PasteTargetProcess::command(const QString& command, const QString& done, int timeoutMs)
{
    m_process.write((command + QLatin1Char('\n')).toUtf8());
    return waitUntil([&] { return lines().contains(done); }, timeoutMs);
}

QStringList PasteTargetProcess::lines()
{
    readLines();
    return m_lines;
}

void PasteTargetProcess::readLines()
{
    while (m_process.canReadLine()) {
        const QString line = QString::fromUtf8(m_process.readLine()).chopped(1);
        m_lines << line;
        if (line.startsWith("TEXT "))
            m_text = unescapedFromLine(line.mid(5));
        else if (line.startsWith("HTML "))
            m_html = unescapedFromLine(line.mid(5));
    }
}
