#include "platform/BrowserWebAuthSession.h"

#include <QCoroSignal>
#include <QPointer>
#include <QTimer>
#include <optional>

#include "platform/DesktopWindows.h"

// One sign-in: open for callbacks once the page is open, ended once.
class BrowserWebAuthSession::Pending : public QObject
{
    Q_OBJECT
public:
    bool pageOpen = false;
    QTimer timer;
    std::optional<Result<QUrl, QString>> outcome;

    void end(Result<QUrl, QString> result)
    {
        timer.stop();
        outcome.emplace(std::move(result));
        emit ended();
    }

signals:
    void ended();
};

namespace {

// What a log line may show of a callback: the address without its query,
// fragment or user part (they carry the code or an error).
QString withoutSecrets(const QUrl& url)
{
    return url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}

}  // namespace

BrowserWebAuthSession::BrowserWebAuthSession(DesktopWindows& windows, XdgSchemeHandlerSetup handler,
                                             BrowserWebAuthTiming timing, QObject* parent)
    : QObject(parent), m_windows(windows), m_handler(std::move(handler)), m_timing(timing)
{
}

BrowserWebAuthSession::~BrowserWebAuthSession()
{
    // The waiting sign-in returns (its client then forgets the verifier).
    finish(QString::fromLatin1(kEnded));
}

QString BrowserWebAuthSession::timeoutDescription() const
{
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(m_timing.callbackTimeout).count();
    const QString wait = minutes >= 1 ? QStringLiteral("%1 minutes").arg(minutes)
                                      : QStringLiteral("%1 seconds").arg(m_timing.callbackTimeout.count() / 1000.0);
    return QStringLiteral("The sign-in did not come back from the browser within %1. Please try again.").arg(wait);
}

QCoro::Task<Result<QUrl, QString>> BrowserWebAuthSession::authenticate(QUrl url, QString callbackScheme)
{
    if (m_pending)
        co_return QString::fromLatin1(kAlreadyWaiting);
    if (callbackScheme != QUrl(QString::fromLatin1(kCallbackAddress)).scheme())
        co_return QStringLiteral("This sign-in cannot come back to %1: links.").arg(callbackScheme);
    const QPointer<BrowserWebAuthSession> self(this);
    const std::shared_ptr<Pending> pending = std::make_shared<Pending>();
    m_pending = pending;

    const Result<XdgSchemeHandler::Outcome, QString> handler = co_await m_handler.ensureRegistered();
    if (!pending->outcome && self) {
        if (!handler.ok()) {
            emit warned(QStringLiteral("Sign-in: talvex:// links cannot reach Talvex: ") + handler.error());
            finish(QStringLiteral("Talvex could not make itself the handler of talvex:// links, so the "
                                  "browser could not return the sign-in: ")
                   + handler.error());
        } else {
            if (handler.value() == XdgSchemeHandler::Outcome::registered)
                emit noted(QStringLiteral("Sign-in: registered Talvex for talvex:// links (")
                           + m_handler.desktopFilePath() + QLatin1Char(')'));
            if (!m_windows.openUrl(url)) {
                emit warned(QStringLiteral("Sign-in: the browser could not be opened"));
                finish(QString::fromLatin1(kBrowserNotOpened));
            } else {
                emit noted(QStringLiteral("Sign-in: waiting for the browser"));
                pending->pageOpen = true;
                pending->timer.setSingleShot(true);
                connect(&pending->timer, &QTimer::timeout, this, [this] {
                    emit warned(QStringLiteral("Sign-in: no answer from the browser in time"));
                    finish(timeoutDescription());
                });
                pending->timer.start(m_timing.callbackTimeout);
            }
        }
    }
    if (!pending->outcome)
        co_await qCoro(pending.get(), &Pending::ended);
    co_return *pending->outcome;
}

void BrowserWebAuthSession::cancel()
{
    if (!m_pending)
        return;
    emit noted(QStringLiteral("Sign-in: cancelled"));
    finish(QString::fromLatin1(kCancelled));
}

void BrowserWebAuthSession::receiveCallback(const QUrl& url)
{
    const QString shown = withoutSecrets(url);
    if (url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment) != QUrl(QString::fromLatin1(kCallbackAddress))) {
        emit warned(QStringLiteral("Sign-in: ignored a link to another address: ") + shown);
        return;
    }
    if (!m_pending || !m_pending->pageOpen) {
        emit warned(QStringLiteral("Sign-in: ignored a callback, no sign-in is waiting for one"));
        return;
    }
    emit noted(QStringLiteral("Sign-in: callback received"));
    finish(url);
}

void BrowserWebAuthSession::finish(Result<QUrl, QString> outcome)
{
    // Forgotten first: a callback that comes during the waiting side's
    // resumption finds no sign-in.
    const std::shared_ptr<Pending> pending = std::exchange(m_pending, nullptr);
    if (pending && !pending->outcome)
        pending->end(std::move(outcome));
}

#include "BrowserWebAuthSession.moc"
