// The browser sign-in on the real road: the sign-in page is fetched from the
// fake backend by a browser stand-in, whose redirect to talvex:// starts a
// second process that hands the callback to this one, wired as main() wires
// the app.
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <functional>
#include <gtest/gtest.h>

#include "app/ApplicationShell.h"
#include "app/LaunchRoutes.h"
#include "platform/BrowserWebAuthSession.h"
#include "platform/HttpClient.h"
#include "platform/Preferences.h"
#include "platform/SingleInstance.h"
#include "platform/Updater.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "support/EventLoop.h"
#include "support/FakeAccessibility.h"
#include "support/FakeAlertPresenter.h"
#include "support/FakeBackend.h"
#include "support/FakeHotkeyBackend.h"
#include "support/FakeKeySynthesizer.h"
#include "support/FakePermissionProvider.h"
#include "support/FakeTrayHostWatcher.h"
#include "support/MemoryAudioFileWriter.h"
#include "support/QStringPrinter.h"
#include "support/RunTask.h"
#include "support/TempHome.h"
#include "support/TestClock.h"
#include "support/ToneCapture.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "ui/MainWindow.h"

using namespace std::chrono_literals;

namespace {

const QString kSessionKey = "supabase_auth_sb-127-auth-token";
const QString kVerifierKey = kSessionKey + "-code-verifier";

// The user's browser: asks the sign-in page, does not follow its redirect,
// and hands the talvex: address it redirects to to a new launch of the app,
// as the desktop does with the registered handler.
class BrowserStandIn final : public DesktopWindows
{
public:
    explicit BrowserStandIn(QString lockFolder) : m_lockFolder(std::move(lockFolder)) {}

    // Changes the callback on its way (a forged code).
    std::function<QUrl(const QUrl&)> rewrite;
    QList<int> launchExitCodes;

    std::optional<DesktopApplication> frontmostApplication() const override { return std::nullopt; }
    bool activate(const DesktopApplication&) override { return false; }
    QString focusedWindowTitle(const DesktopApplication&) const override { return {}; }
    bool openFolder(const QString&) override { return false; }
    bool openUrl(const QUrl& url) override
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = m_network.get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            reply->deleteLater();
            const QUrl location = QUrl::fromEncoded(reply->rawHeader("Location"));
            launch({rewrite ? rewrite(location).toString(QUrl::FullyEncoded) : location.toString(QUrl::FullyEncoded)});
        });
        return true;
    }

    // A later launch of the app with `arguments`.
    void launch(const QStringList& arguments)
    {
        auto* process = new QProcess(&m_network);
        QObject::connect(process, &QProcess::finished, process, [this, process](int code, QProcess::ExitStatus status) {
            launchExitCodes << (status == QProcess::NormalExit ? code : -1);
            process->deleteLater();
        });
        process->start(TALVEX_SINGLE_INSTANCE_LAUNCH, QStringList{m_lockFolder} + arguments);
    }

private:
    const QString m_lockFolder;
    QNetworkAccessManager m_network;
};

}  // namespace

class BrowserSignInTest : public testing::Test
{
public:
    BrowserSignInTest()
    {
        SessionPlatform platform;
        platform.audioCapture = [] { return std::make_unique<ToneCapture>(); };
        platform.audioFileWriter = MemoryAudioFileWriter::factory(writes);
        platform.hotkeys = std::make_unique<FakeHotkeyBackend>();
        auto windows = std::make_unique<BrowserStandIn>(lockDir.path());
        standIn = windows.get();
        platform.windows = std::move(windows);
        platform.accessibility = std::make_unique<FakeAccessibility>();
        platform.keys = std::make_unique<FakeKeySynthesizer>();
        platform.permissions = std::make_unique<FakePermissionProvider>();
        platform.alerts = std::make_unique<FakeAlertPresenter>();
        // The start-up and periodic syncs wait an hour: only the sign-in's sync reaches the backend.
        platform.startupTiming = {.panelStep = 1ms, .permissionStep = 2ms, .startupSync = 1h};
        platform.syncTiming.periodicInterval = 1h;
        platform.syncTiming.requestTimeout = 5s;
        platform.backendClient = [this] {
            return std::make_unique<BackendClient>(prefs, http,
                                                   BackendConfig(backend.url(), FakeBackend::kPublishableKey),
                                                   clock.wallClock(), AuthTiming{.tickInterval = 1h, .requestTimeout = 5s});
        };
        // As main() makes it, with the app itself as the link handler.
        auto signInBrowser = std::make_unique<BrowserWebAuthSession>(
            *standIn, XdgSchemeHandlerSetup{.program = TALVEX_APP});
        browser = signInBrowser.get();
        platform.webAuthSession = std::move(signInBrowser);
        session = std::make_unique<SessionManager>(prefs, locale, http, std::move(platform));
        shell = std::make_unique<ApplicationShell>(*session, updater, alerts, std::make_unique<FakeTrayHostWatcher>());
        EXPECT_EQ(instance.start({}), SingleInstance::Outcome::primary);
        routeLaunches(instance, {}, *shell, *browser, session->logger());
        backend.setSignInUser(alice.id);
        // The engine stamps its checkpoints with the real clock.
        clock.set(QDateTime::currentDateTimeUtc());
        session->activateSync();
    }

    // A sign-in as the accounts screen starts it.
    std::optional<Result<BackendSession, BackendError>> signIn()
    {
        return runTask(session->backendClient().signInWithOAuth(session->webAuthSession()), 30000);
    }
    QStringList tableRequests() const
    {
        QStringList lines;
        for (const HttpFake::Request& request : backend.requests()) {
            if (request.path.startsWith("/rest/v1/"))
                lines << QString::fromUtf8(request.method + ' ' + request.path);
        }
        return lines;
    }
    QStringList logLines()
    {
        QCoreApplication::processEvents();
        QStringList lines;
        for (const Logger::LogEntry& entry : session->logger().entries())
            lines << entry.message;
        return lines;
    }

    TempHome home;
    QTemporaryDir lockDir;
    Preferences prefs{home.configHome() + "/Talvex/Talvex.conf"};
    LocaleManager locale{prefs};
    HttpClient http;
    TestClock clock;
    FakeBackend backend{clock};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    std::shared_ptr<MemoryAudioFileWriter::Log> writes = std::make_shared<MemoryAudioFileWriter::Log>();
    BrowserStandIn* standIn = nullptr;
    BrowserWebAuthSession* browser = nullptr;
    std::unique_ptr<SessionManager> session;
    Updater updater{http, [](const QString& key) { return key; }};
    FakeAlertPresenter alerts;
    std::unique_ptr<ApplicationShell> shell;
    SingleInstance instance{lockDir.path()};
};

TEST_F(BrowserSignInTest, TheCallbackOfALaterLaunchCompletesTheSignIn)
{
    const auto result = signIn();
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->ok()) << result->error().description().toStdString();
    EXPECT_EQ(result->value().user.email, "alice@example.com");
    // Handed over, not a second app. The launch may still be ending when
    // the sign-in has its answer.
    ASSERT_TRUE(waitUntil([&] { return standIn->launchExitCodes.size() == 1; }, 10000));
    EXPECT_EQ(standIn->launchExitCodes, QList<int>{0});
    EXPECT_TRUE(prefs.contains(kSessionKey));
    EXPECT_FALSE(prefs.contains(kVerifierKey));
    EXPECT_TRUE(logLines().contains("Sign-in: callback received"));
    // The account becomes current and is synced.
    EXPECT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }, 10000));
    EXPECT_EQ(prefs.currentUserId(), alice.id.toUpper());
    ASSERT_TRUE(session->remoteAccount().has_value());
    EXPECT_EQ(session->remoteAccount()->email, "alice@example.com");
    EXPECT_EQ(tableRequests(), (QStringList{"GET /rest/v1/glossary?select=*", "GET /rest/v1/recordings?select=*",
                                            "GET /rest/v1/slices?select=*"}));
    // The callback raised nothing: the browser stays in front.
    EXPECT_FALSE(shell->mainWindow().isVisible());

    // A launch without a callback does bring the window up.
    standIn->launch({});
    ASSERT_TRUE(waitUntil([&] { return standIn->launchExitCodes.size() == 2; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return shell->mainWindow().isVisible(); }));

    EXPECT_EQ(backend.secretsIn(logLines().join('\n')), QStringList());
}

TEST_F(BrowserSignInTest, AForgedCodeOrAnUnsolicitedCallbackChangesNothing)
{
    ASSERT_TRUE(signIn().value().ok());
    ASSERT_TRUE(waitUntil([&] { return session->syncManager().lastSyncTime().has_value(); }, 10000));
    const QByteArray signedIn = prefs.value(kSessionKey).toByteArray();
    const QString current = prefs.currentUserId();

    standIn->rewrite = [](const QUrl& callback) {
        QUrl forged = callback;
        forged.setQuery("code=forged-code-1234");
        return forged;
    };
    const auto forged = signIn();
    ASSERT_TRUE(forged.has_value());
    EXPECT_FALSE(forged->ok());
    ASSERT_TRUE(waitUntil([&] { return standIn->launchExitCodes.size() == 2; }, 10000));
    EXPECT_EQ(standIn->launchExitCodes, (QList<int>{0, 0}));
    EXPECT_EQ(prefs.value(kSessionKey).toByteArray(), signedIn);
    EXPECT_FALSE(prefs.contains(kVerifierKey));

    // A callback nobody waits for: handed over and ignored, no request made.
    const qsizetype requests = backend.requests().size();
    standIn->launch({"talvex://auth-callback?code=unsolicited-code-5678"});
    ASSERT_TRUE(waitUntil([&] { return standIn->launchExitCodes.size() == 3; }, 10000));
    EXPECT_EQ(standIn->launchExitCodes.last(), 0);
    EXPECT_TRUE(waitUntil([&] {
        return logLines().contains("Sign-in: ignored a callback, no sign-in is waiting for one");
    }));
    EXPECT_EQ(backend.requests().size(), requests);
    EXPECT_EQ(prefs.value(kSessionKey).toByteArray(), signedIn);
    EXPECT_EQ(prefs.currentUserId(), current);
    EXPECT_FALSE(shell->mainWindow().isVisible());
    const QString log = logLines().join('\n');
    EXPECT_FALSE(log.contains("forged-code-1234"));
    EXPECT_FALSE(log.contains("unsolicited-code-5678"));
}
