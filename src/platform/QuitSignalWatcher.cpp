#include "platform/QuitSignalWatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The pipe's writing end, for the handler; -1 while no watcher exists.
volatile sig_atomic_t g_writeEnd = -1;

void notify(int signalNumber)
{
    const int savedErrno = errno;   // the interrupted code may be reading it
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a signal the event loop has yet to read.
    [[maybe_unused]] const ssize_t written = ::write(g_writeEnd, &byte, 1);
    errno = savedErrno;
}

QString systemError(const char* what)
{
    return QStringLiteral("Cannot watch the quit signals: %1 failed: %2")
        .arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

struct QuitSignalWatcher::Installed
{
    int pipe[2] = {-1, -1};
    std::vector<std::pair<int, struct sigaction>> replaced;

    ~Installed()
    {
        for (const auto& [signalNumber, previous] : replaced)
            ::sigaction(signalNumber, &previous, nullptr);
        g_writeEnd = -1;
        for (int end : pipe) {
            if (end >= 0)
                ::close(end);
        }
    }
};

QuitSignalWatcher::QuitSignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent)
{
    if (g_writeEnd >= 0) {
        m_error = QStringLiteral("Cannot watch the quit signals: another watcher does already");
        return;
    }
    auto installed = std::make_unique<Installed>();
    if (::pipe2(installed->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = systemError("pipe2");
        return;
    }
    g_writeEnd = installed->pipe[1];
    for (int signalNumber : signalNumbers) {
        struct sigaction action = {};
        action.sa_handler = notify;
        sigemptyset(&action.sa_mask);
        // Interrupted system calls resume, so no code has to expect EINTR.
        action.sa_flags = SA_RESTART;
        struct sigaction previous = {};
        if (::sigaction(signalNumber, &action, &previous) != 0) {
            m_error = systemError("sigaction");
            return;   // ~Installed restores the ones already replaced
        }
        installed->replaced.emplace_back(signalNumber, previous);
    }
    m_notifier = new QSocketNotifier(installed->pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignalWatcher::readPipe);
    m_installed = std::move(installed);
}

QuitSignalWatcher::~QuitSignalWatcher()
{
    delete m_notifier;   // before its pipe closes
}

QString QuitSignalWatcher::nameOf(int signalNumber)
{
    const char* abbreviation = sigabbrev_np(signalNumber);
    return abbreviation ? QStringLiteral("SIG") + QLatin1String(abbreviation)
                        : QStringLiteral("signal %1").arg(signalNumber);
}

void QuitSignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_installed->pipe[0], &byte, 1) == 1)
        emit received(byte);
}
