#include "support/SyncDevice.h"

#include "platform/WebAuthSession.h"
#include "support/RunTask.h"

SyncDevice::SyncDevice(HttpClient& http, const BackendConfig& config, const SyncTiming& timing,
                       const AuthTiming& authTiming)
    : preferences(m_dir.path() + "/Talvex.conf")
    , db(m_dir.path())
    , client(preferences, http, config, systemWallClock, authTiming)
    , engine(db, log.logger, preferences, [this]() -> BackendClient& { return client; }, timing,
             systemWallClock)
{
}

bool SyncDevice::signIn(WebAuthSession& browser, QString* failure, int timeoutMs)
{
    const auto result = runTask(client.signInWithOAuth(browser), timeoutMs);
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

bool SyncDevice::sync(int timeoutMs)
{
    return finish(engine.sync(m_userId), timeoutMs);
}

bool SyncDevice::forceFullSync(int timeoutMs)
{
    return finish(engine.forceFullSync(m_userId), timeoutMs);
}

bool SyncDevice::finish(QCoro::Task<void> task, int timeoutMs)
{
    auto ended = [](QCoro::Task<void> inner) -> QCoro::Task<bool> {
        co_await std::move(inner);
        co_return true;
    };
    return runTask(ended(std::move(task)), timeoutMs).has_value();
}
