#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QUrlQuery>
#include <functional>

#include "BackendClientFixture.h"
#include "platform/BrowserWebAuthSession.h"
#include "support/FakeDesktopWindows.h"
#include "support/TempHome.h"

namespace {

// The callback the fake backend sends the browser to for an authorize address.
QUrl callbackFor(const QUrl& authorize)
{
    QNetworkAccessManager network;
    QNetworkRequest request(authorize);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    waitUntil([&] { return reply->isFinished(); });
    return QUrl::fromEncoded(reply->rawHeader("Location"));
}

}  // namespace

// The browser step on the real xdg-mime of a private home, with a desktop
// that records the pages it is asked to open, under the real client.
class BrowserWebAuthSessionTest : public BackendClientFixture
{
public:
    BrowserWebAuthSessionTest()
    {
        XdgSchemeHandlerSetup handler;
        handler.program = "/bin/true";
        browser = std::make_unique<BrowserWebAuthSession>(windows, handler, BrowserWebAuthTiming{.callbackTimeout = 1h});
        QObject::connect(browser.get(), &BrowserWebAuthSession::noted, [this](const QString& l) { log << "INFO " + l; });
        QObject::connect(browser.get(), &BrowserWebAuthSession::warned, [this](const QString& l) { log << "WARN " + l; });
        backend.setSignInUser(alice.id);
    }

    // Starts a sign-in; `outcome` is set once it returns.
    void startSignIn()
    {
        outcome.reset();
        signInTask(client->signInWithOAuth(*browser));
    }
    QCoro::Task<void> signInTask(QCoro::Task<Result<BackendSession, BackendError>> task)
    {
        outcome.emplace(co_await task);
    }
    bool pageOpened() { return waitUntil([&] { return !windows.openedUrls.isEmpty() && browser->isWaiting(); }, 20000); }
    QString result()
    {
        if (!waitUntil([&] { return outcome.has_value(); }, 20000))
            return "(no result in time)";
        return outcome->ok() ? QStringLiteral("ok") : outcome->error().description();
    }

    TempHome home;
    FakeDesktopWindows windows;
    std::unique_ptr<BrowserWebAuthSession> browser;
    QStringList log;
    std::optional<Result<BackendSession, BackendError>> outcome;
};

TEST_F(BrowserWebAuthSessionTest, EveryEndingReturnsOnceAndLeavesNoVerifier)
{
    struct Case
    {
        const char* name;
        std::function<void(BrowserWebAuthSessionTest&)> end;
        QString result;
        bool stored;
    };
    const Case cases[] = {
        {"the callback comes back",
         [](BrowserWebAuthSessionTest& t) { t.browser->receiveCallback(callbackFor(t.windows.openedUrls.last())); },
         "ok", true},
        {"the cancel button", [](BrowserWebAuthSessionTest& t) { t.browser->cancel(); },
         BrowserWebAuthSession::kCancelled, false},
        {"the callback carries an error",
         [](BrowserWebAuthSessionTest& t) {
             t.browser->receiveCallback(QUrl("talvex://auth-callback?error=access_denied&error_description=No+way"));
         },
         "No way", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        preferences->remove(kSessionKey);
        windows.openedUrls.clear();
        startSignIn();
        ASSERT_TRUE(pageOpened());
        EXPECT_TRUE(preferences->contains(kVerifierKey));
        c.end(*this);
        EXPECT_EQ(result(), c.result);
        EXPECT_FALSE(browser->isWaiting());
        EXPECT_FALSE(preferences->contains(kVerifierKey));
        EXPECT_EQ(preferences->contains(kSessionKey), c.stored);
    }
}

TEST_F(BrowserWebAuthSessionTest, ATimeOutEndsASignInNobodyFinishes)
{
    browser = std::make_unique<BrowserWebAuthSession>(windows, XdgSchemeHandlerSetup{.program = "/bin/true"},
                                                      BrowserWebAuthTiming{.callbackTimeout = std::chrono::milliseconds(300)});
    startSignIn();
    ASSERT_TRUE(pageOpened());
    EXPECT_EQ(result(), "The sign-in did not come back from the browser within 0.3 seconds. Please try again.");
    EXPECT_FALSE(preferences->contains(kVerifierKey));
    EXPECT_EQ(BrowserWebAuthSession(windows).timeoutDescription(),
              "The sign-in did not come back from the browser within 10 minutes. Please try again.");
}

TEST_F(BrowserWebAuthSessionTest, SignInsThatCannotReachTheBrowserFailSayingWhy)
{
    struct Case
    {
        const char* name;
        std::function<void(BrowserWebAuthSessionTest&)> arrange;
        QString resultStart;
        int pagesOpened;
    };
    const Case cases[] = {
        {"no program takes the page", [](BrowserWebAuthSessionTest& t) { t.windows.refuseUrls = true; },
         BrowserWebAuthSession::kBrowserNotOpened, 1},
        {"talvex:// links cannot be registered",
         [](BrowserWebAuthSessionTest& t) {
             t.browser = std::make_unique<BrowserWebAuthSession>(
                 t.windows, XdgSchemeHandlerSetup{.xdgMime = "/nonexistent/xdg-mime", .program = "/bin/true"});
         },
         "Talvex could not make itself the handler of talvex:// links, so the browser could not return the "
         "sign-in: /nonexistent/xdg-mime query default x-scheme-handler/talvex could not be run",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange(*this);
        windows.openedUrls.clear();
        startSignIn();
        EXPECT_TRUE(result().startsWith(c.resultStart)) << result().toStdString();
        EXPECT_EQ(windows.openedUrls.size(), c.pagesOpened);
        EXPECT_FALSE(preferences->contains(kVerifierKey));
        EXPECT_FALSE(browser->isWaiting());
    }
}

TEST_F(BrowserWebAuthSessionTest, OnlyTheAwaitedCallbackIsTakenAndOnlyOnce)
{
    // Before any sign-in: nothing waits.
    browser->receiveCallback(QUrl("talvex://auth-callback?code=early-code"));
    startSignIn();
    ASSERT_TRUE(pageOpened());
    const QUrl callback = callbackFor(windows.openedUrls.last());
    const QString code = QUrlQuery(callback).queryItemValue("code");
    ASSERT_FALSE(code.isEmpty());

    // A second sign-in while one waits is refused and leaves the first alone.
    const auto second = runTask(client->signInWithOAuth(*browser));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(outcomeOf(second), "Another sign-in is already under way.");
    EXPECT_TRUE(browser->isWaiting());

    const QString query = "?" + callback.query(QUrl::FullyEncoded);
    for (const char* other : {"talvex://auth-callback/", "talvex://auth-callback/x", "talvex://other",
                              "talvex://auth-callback:99", "talvex://someone@auth-callback", "talvexx://auth-callback"})
        browser->receiveCallback(QUrl(other + query));
    EXPECT_TRUE(browser->isWaiting());
    EXPECT_FALSE(outcome.has_value());

    browser->receiveCallback(callback);
    EXPECT_EQ(result(), "ok");
    const QByteArray session = preferences->value(kSessionKey).toByteArray();
    const qsizetype requests = backend.requests().size();
    // The same callback again, and one with another code: nothing changes.
    browser->receiveCallback(callback);
    browser->receiveCallback(QUrl("talvex://auth-callback?code=another-code"));
    spinFor(50);
    EXPECT_EQ(backend.requests().size(), requests);
    EXPECT_EQ(preferences->value(kSessionKey).toByteArray(), session);

    EXPECT_EQ(log, (QStringList{
        "WARN Sign-in: ignored a callback, no sign-in is waiting for one",
        "INFO Sign-in: registered Talvex for talvex:// links (" + home.dataHome() + "/applications/talvex.desktop)",
        "INFO Sign-in: waiting for the browser",
        "WARN Sign-in: ignored a link to another address: talvex://auth-callback/",
        "WARN Sign-in: ignored a link to another address: talvex://auth-callback/x",
        "WARN Sign-in: ignored a link to another address: talvex://other",
        "WARN Sign-in: ignored a link to another address: talvex://auth-callback:99",
        "WARN Sign-in: ignored a link to another address: talvex://auth-callback",
        "WARN Sign-in: ignored a link to another address: talvexx://auth-callback",
        "INFO Sign-in: callback received",
        "WARN Sign-in: ignored a callback, no sign-in is waiting for one",
        "WARN Sign-in: ignored a callback, no sign-in is waiting for one",
    }));
    EXPECT_EQ(backend.secretsIn(log.join('\n')), QStringList());
    EXPECT_FALSE(log.join('\n').contains(code));
}

TEST_F(BrowserWebAuthSessionTest, ASignInWaitingWhenTheBrowserStepGoesReturns)
{
    startSignIn();
    ASSERT_TRUE(pageOpened());
    browser.reset();
    EXPECT_EQ(result(), BrowserWebAuthSession::kEnded);
    EXPECT_FALSE(preferences->contains(kVerifierKey));
}
