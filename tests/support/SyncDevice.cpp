#include "support/SyncDevice.h"

#include "platform/WebAuthSession.h"
#include "support/RunTask.h"

SyncDevice::SyncDevice(HttpClient& http, BackendConfig config, const SyncTiming& timing,
                       const AuthTiming& authTiming, WallClock clock)
    : preferences(m_dir.path() + "/Talvex.conf")
    , db(m_dir.path())
    , m_http(http)
    , m_config(std::move(config))
    , m_authTiming(authTiming)
    , m_clock(clock)
    , engine(db, log.logger, preferences, [this]() -> BackendClient& { return client(); }, timing, clock)
{
}

BackendClient& SyncDevice::client()
{
    if (!m_client)
        m_client = std::make_unique<BackendClient>(preferences, m_http, m_config, m_clock, m_authTiming);
    return *m_client;
}

bool SyncDevice::signIn(WebAuthSession& browser, QString* failure, int timeoutMs)
{
    const auto result = runTask(client().signInWithOAuth(browser), timeoutMs);
    if (!result) {
        if (failure)
            *failure = QStringLiteral("the sign-in did not end");
        return false;
    }
    if (!result->ok()) {
        if (failure)
            *failure = result->error().description();
        return false;
    }
    m_userId = result->value().userId();
    return true;
}

bool SyncDevice::finish(QCoro::Task<void> task, int timeoutMs)
{
    auto ended = [](QCoro::Task<void> inner) -> QCoro::Task<bool> {
        co_await std::move(inner);
        co_return true;
    };
    return runTask(ended(std::move(task)), timeoutMs).has_value();
}
