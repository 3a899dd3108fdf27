#include "platform/Updater.h"

#include <QCoreApplication>
#include <QPointer>

#include "platform/AppcastFeed.h"
#include "platform/HttpClient.h"

namespace {
using Kind = UpdateCheckResult::Kind;
}

Updater::Updater(HttpClient& http, TextLookup texts, UpdaterTiming timing, QObject* parent)
    : QObject(parent)
    , m_http(http)
    , m_texts(std::move(texts))
    , m_timing(timing)
{
}

QUrl Updater::feedUrl()
{
    return QUrl(qEnvironmentVariable("TALVEX_UPDATE_FEED_URL",
                                     QString::fromLatin1(kDefaultFeedUrl)));
}

QCoro::Task<UpdateCheckResult> Updater::check()
{
    UpdateCheckResult result{Kind::networkError, QCoreApplication::applicationVersion(), {}, {}};
    const std::optional<AppVersion> running = AppVersion::parse(result.runningVersion);
    if (!running) {
        result.kind = Kind::unreadableRunningVersion;
        co_return result;
    }

    const QUrl url = feedUrl();
    HttpRequest request{"GET", url, {}, {}, m_timing.requestTimeout};
    const CancelToken notCancelled;   // no temporaries inside a co_await: GCC 12 mishandles them
    const HttpResult answer = co_await m_http.send(std::move(request), notCancelled);
    if (!answer.ok()) {
        result.kind = answer.error().kind() == HttpError::Kind::timeout ? Kind::timeout
                                                                         : Kind::networkError;
        result.detail = answer.error().description();
        co_return result;
    }
    // A file: feed has no status; an HTTP one must be a success.
    const std::optional<int> status = answer.value().statusCode;
    if (status && (*status < 200 || *status > 299)) {
        result.kind = Kind::httpStatus;
        result.detail = QString::number(*status);
        co_return result;
    }

    const Result<AppcastFeed, QString> feed = AppcastFeed::parse(answer.value().body, url);
    if (!feed.ok()) {
        result.kind = Kind::unreadableFeed;
        result.detail = feed.error();
        co_return result;
    }
    result.newest = feed.value().newest();
    if (!result.newest)
        result.kind = Kind::noVersion;
    else
        result.kind = *result.newest->version > *running ? Kind::updateAvailable : Kind::upToDate;
    co_return result;
}

Alert Updater::alertFor(const UpdateCheckResult& result) const
{
    const auto text = [this](const char* key) { return m_texts(QString::fromLatin1(key)); };
    const QStringList ok{text("alert.ok")};
    switch (result.kind) {
    case Kind::updateAvailable: {
        const AppcastItem& newest = *result.newest;
        QString message = text("update.availableMessage")
                              .arg(newest.version->text(), result.runningVersion);
        QStringList addresses;
        if (newest.downloadUrl.isValid())
            addresses << text("update.download").arg(newest.downloadUrl.toDisplayString());
        const QUrl notes = newest.releaseNotesUrl.isValid() ? newest.releaseNotesUrl : newest.link;
        if (notes.isValid())
            addresses << text("update.releaseNotes").arg(notes.toDisplayString());
        if (!addresses.isEmpty())
            message += QStringLiteral("\n\n") + addresses.join(QLatin1Char('\n'));
        return {text("update.availableTitle"), message, ok};
    }
    case Kind::upToDate:
        return {text("update.upToDateTitle"),
                text("update.upToDateMessage").arg(result.runningVersion), ok};
    case Kind::networkError:
        return {text("update.failedTitle"), text("update.networkError").arg(result.detail), ok};
    case Kind::timeout:
        return {text("update.failedTitle"), text("update.timeout"), ok};
    case Kind::httpStatus:
        return {text("update.failedTitle"), text("update.httpStatus").arg(result.detail), ok};
    case Kind::unreadableFeed:
        return {text("update.failedTitle"), text("update.unreadableFeed").arg(result.detail), ok};
    case Kind::noVersion:
        return {text("update.failedTitle"), text("update.noVersion"), ok};
    case Kind::unreadableRunningVersion:
        return {text("update.failedTitle"),
                text("update.unreadableRunningVersion").arg(result.runningVersion), ok};
    }
    Q_UNREACHABLE();
}

QCoro::Task<void> Updater::checkAndPresent(AlertPresenter& presenter)
{
    if (m_presenting)
        co_return;
    m_presenting = true;
    const QPointer<Updater> self(this);
    const UpdateCheckResult result = co_await check();
    if (!self)
        co_return;
    presenter.run(alertFor(result));
    if (self)
        m_presenting = false;
}
