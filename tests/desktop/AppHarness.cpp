#include "desktop/AppHarness.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <X11/keysym.h>
#include <csignal>

#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "support/EventLoop.h"

namespace {

// Nothing listens on port 1 of the loopback: every request is refused at once.
constexpr auto kRefusingAddress = "http://127.0.0.1:1";

const char* const kServiceAddressVariables[] = {
    "TALVEX_OPENAI_BASE_URL", "TALVEX_DASHSCOPE_BASE_URL", "TALVEX_DEEPSEEK_BASE_URL",
    "TALVEX_BACKEND_URL",     "TALVEX_UPDATE_FEED_URL",
};

// "LEVEL message" of a day file's "[yyyy-MM-dd HH:mm:ss] LEVEL message"
// line, whose level is padded to five characters.
QString withoutTime(const QString& line)
{
    constexpr qsizetype kLevelStart = 22;
    constexpr qsizetype kLevelWidth = 5;
    return line.mid(kLevelStart, kLevelWidth).trimmed() + ' ' + line.mid(kLevelStart + kLevelWidth + 1);
}

} // namespace

AppHarness::AppHarness()
    : m_sound(m_home.path() + "/runtime")
{
    if (!m_keyboard.isConnected()) {
        m_setUpError = "needs the X display of scripts/desktop-session";
        return;
    }
    m_setUpError = m_sound.start();
}

AppHarness::~AppHarness()
{
    if (isRunning()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_sound.stopFeeding();
}

void AppHarness::setEnvironment(const QString& variable, const QString& value)
{
    m_environment.insert(variable, value);
}

void AppHarness::setSetting(const QString& key, const QVariant& value)
{
    Preferences(m_home.configHome() + "/Talvex/Talvex.conf").setValue(key, value);
}

void AppHarness::feedMicrophone(PulseTestServer::Signal signal)
{
    m_sound.startFeeding(std::move(signal));
}

double AppHarness::secondsFed() const
{
    return double(m_sound.framesFed()) / PulseTestServer::kRate;
}

QString AppHarness::launch()
{
    if (isRunning())
        return "the program is running already";
    m_linesBeforeLaunch = allLogLines().size();
    // The home, display, session bus and sound server are this process's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    for (const char* variable : kServiceAddressVariables)
        environment.insert(variable, kRefusingAddress);
    for (auto it = m_environment.cbegin(); it != m_environment.cend(); ++it)
        environment.insert(it.key(), it.value());
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedChannels);
    m_process.start(TALVEX_APP, {});
    if (!m_process.waitForStarted(5000))
        return "cannot start " TALVEX_APP ": " + m_process.errorString();
    for (const QString& line : {QStringLiteral("App: initialization complete"),
                                QStringLiteral("HotkeyManager: registered hotkey"),
                                QStringLiteral("PermissionManager: microphone permission granted"),
                                QStringLiteral("PermissionManager: accessibility permission granted")}) {
        if (!waitForLog(line, 15000))
            return "the program never logged \"" + line + "\"; its lines:\n" + logLines().join('\n');
    }
    return {};
}

void AppHarness::pressHotkey(const std::function<void()>& pressed)
{
    m_keyboard.pressCombination(m_keyboard.keycode(XK_e), 0, pressed);
}

void AppHarness::sendSignal(int signal)
{
    ::kill(pid_t(m_process.processId()), signal);
}

bool AppHarness::waitForExit(int timeoutMs)
{
    return m_process.waitForFinished(timeoutMs);
}

void AppHarness::quit()
{
    if (!isRunning())
        return;
    sendSignal(SIGTERM);
    waitForExit();
}

QStringList AppHarness::logLines() const
{
    return allLogLines().mid(m_linesBeforeLaunch);
}

bool AppHarness::waitForLog(const QString& text, int timeoutMs) const
{
    return waitUntil([&] { return !logLines().filter(text).isEmpty(); }, timeoutMs);
}

QString AppHarness::recordingsDirectory() const
{
    return m_home.talvexDataDir() + "/recordings";
}

std::unique_ptr<DatabaseManager> AppHarness::openDatabase() const
{
    if (isRunning())
        return nullptr;
    return std::make_unique<DatabaseManager>(m_home.talvexDataDir());
}

QStringList AppHarness::allLogLines() const
{
    const QString logs = m_home.talvexDataDir() + "/logs";
    QStringList lines;
    // Day files are named yyyy-MM-dd.log, so their names sort in time order.
    for (const QString& name : QDir(logs).entryList({"*.log"}, QDir::Files, QDir::Name)) {
        QFile file(logs + "/" + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        // A line still being written has no newline yet.
        for (const QString& line : text.left(text.lastIndexOf('\n')).split('\n', Qt::SkipEmptyParts))
            lines << withoutTime(line);
    }
    return lines;
}
