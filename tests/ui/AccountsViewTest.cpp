// The accounts screen on the real controller over the fake backend: what it
// shows per account state, each flow's requests, order and log lines, failed
// sign-in and sign-out, the cancel button during a sign-in, statistics from
// the store, outside text shown as plain text, and the controls that would
// clear an account's rows refused while a dictation is under way.
#include <QLabel>
#include <QPushButton>
#include <cmath>
#include <limits>
#include <QToolButton>

#include "ViewFixture.h"
#include "platform/BrowserWebAuthSession.h"
#include "platform/Graphemes.h"
#include "support/FakeDesktopWindows.h"
#include "store/RecordId.h"
#include "support/FakeBackend.h"
#include "support/OutputCapture.h"
#include "support/RunTask.h"
#include "support/ScriptedWebAuthSession.h"
#include "support/TestClock.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "ui/AccountRow.h"
#include "ui/AccountsView.h"
#include "ui/PlainLabel.h"

using namespace sessiontest;

namespace {

const QString kVerifierKey = "supabase_auth_sb-127-auth-token-code-verifier";

}  // namespace

class AccountsViewTest : public ViewFixture
{
protected:
    // No token, code or verifier in the log or on the terminal.
    void TearDown() override
    {
        view.reset();
        session.reset();
        EXPECT_EQ(backend.secretsIn(logFileLines().join('\n') + QString::fromUtf8(output.text())), QStringList());
    }

    // The controller with account sync on, over the fake backend and
    // `browser` (the scripted one unless given), and the screen.
    void open(std::unique_ptr<WebAuthSession> browser = nullptr)
    {
        openWith(std::move(browser), scriptedPlatform());
        // The start-up's permission step has run: a dictation can start.
        ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
    }

    // The same on `platform` (the scripted fakes, or fresh ones for a
    // second controller in one test).
    void openWith(std::unique_ptr<WebAuthSession> browser, SessionPlatform platform)
    {
        prefs.setValue(PrefKey::enableSync, true);
        platform.backendClient = [this] {
            return std::make_unique<BackendClient>(prefs, http,
                                                   BackendConfig(backend.url(), FakeBackend::kPublishableKey),
                                                   clock.wallClock(), AuthTiming{.tickInterval = 1h, .requestTimeout = 2s});
        };
        if (!browser) {
            auto scripted = std::make_unique<ScriptedWebAuthSession>();
            this->browser = scripted.get();
            browser = std::move(scripted);
        }
        platform.webAuthSession = std::move(browser);
        build(std::move(platform));
        session->activateSync();
        showView();
    }

    void showView()
    {
        view = std::make_unique<AccountsView>(*session);
        view->resize(420, 520);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    // Signs `user` in through the controller, as the browser's callback
    // would; returns the account's id once it is current and synced.
    QString signIn(const FakeBackend::User& user)
    {
        backend.setSignInUser(user.id);
        const auto result = runTask(session->backendClient().signInWithOAuth(*browser));
        EXPECT_TRUE(result && result->ok());
        EXPECT_TRUE(waitUntil([&] {
            return session->remoteAccount() && session->remoteAccount()->email == user.email
                && prefs.currentUserId() == session->remoteAccount()->id && syncIdle();
        }));
        return session->remoteAccount() ? session->remoteAccount()->id : QString();
    }

    bool syncIdle() const { return !session->syncManager().isSyncing(); }
    bool settled() { return waitUntil([&] { return syncIdle(); }); }

    // "METHOD path" (no query) of every request since the last call.
    QStringList freshRequests()
    {
        QStringList lines;
        const QList<HttpFake::Request>& all = backend.requests();
        for (qsizetype i = m_requestsSeen; i < all.size(); ++i)
            lines << QString::fromUtf8(all[i].method + ' ' + all[i].path.split('?').first());
        m_requestsSeen = all.size();
        return lines;
    }

    // The screen's own account lines: the sync engine and the controller's
    // listener log their own.
    QStringList freshAccountLines()
    {
        QStringList lines;
        for (const QString& line : freshLines()) {
            if ((line.contains("Account: ") || line.contains("Auth: ")) && !line.contains("Auth: state changed")
                && !line.contains("Auth: auto-switching"))
                lines << line;
        }
        return lines;
    }

    template <typename T = QWidget>
    T* shown(const QString& name) const { return ViewFixture::shown<T>(*view, name); }
    void click(const QString& name) { ViewFixture::click(*view, name); }
    QString text(const QString& name) const
    {
        auto* label = shown<PlainLabel>(name);
        return label ? label->fullText() : QStringLiteral("(not shown)");
    }
    bool isCurrent(const QString& row) const
    {
        auto* found = shown<AccountRow>(row);
        return found && found->isCurrent();
    }

    OutputCapture output;
    TestClock clock;
    FakeBackend backend{clock};
    FakeBackend::User alice = backend.addUser("alice@example.com");
    FakeBackend::User bob = backend.addUser("bob@example.com");
    ScriptedWebAuthSession* browser = nullptr;
    std::unique_ptr<AccountsView> view;

private:
    qsizetype m_requestsSeen = 0;
};

TEST_F(AccountsViewTest, ShowsRowsButtonsAndSectionsPerAccountState)
{
    open();
    // Nobody signed in.
    EXPECT_TRUE(isCurrent("localRow"));
    EXPECT_EQ(text("localRowLabel"), "Local");
    EXPECT_EQ(text("localRowDetail"), "Data stays on this device");
    EXPECT_EQ(shown("remoteRow"), nullptr);
    EXPECT_EQ(shown<QAbstractButton>("signInButton")->text(), "Sign In");
    EXPECT_EQ(shown("loginOptions"), nullptr);
    EXPECT_EQ(shown("syncSection"), nullptr);
    EXPECT_EQ(shown("accountsError"), nullptr);

    // The account current, synced.
    const QString id = signIn(alice);
    EXPECT_FALSE(isCurrent("localRow"));
    EXPECT_TRUE(isCurrent("remoteRow"));
    EXPECT_EQ(text("remoteRowLabel"), "alice@example.com");
    const QString lastSync =
        "Last synced at " + QLocale("en").toString(session->syncManager().lastSyncTime()->toLocalTime().time(),
                                                    QLocale::ShortFormat);
    EXPECT_EQ(text("remoteRowDetail"), "Google \u00b7 " + lastSync);
    EXPECT_EQ(text("syncStatus"), lastSync);
    EXPECT_EQ(shown<QAbstractButton>("signInButton")->text(), "Switch Account");
    EXPECT_NE(shown("syncSection"), nullptr);
    EXPECT_NE(shown("statistics"), nullptr);
    EXPECT_NE(shown("syncDot"), nullptr);
    EXPECT_EQ(shown("syncSpinner"), nullptr);
    EXPECT_EQ(shown("lastErrorRow"), nullptr);

    // A sync whose pull fails: the screen as the sync starts, and as the
    // engine's error is set (read right then: the push clears it again).
    QStringList whileSyncing;
    QStringList withError;
    QObject context;
    QObject::connect(&session->syncManager(), &SyncManager::stateChanged, &context, [&] {
        const SyncManager& sync = session->syncManager();
        if (sync.isSyncing() && whileSyncing.isEmpty())
            whileSyncing << QString::number(shown("syncSpinner") != nullptr) << text("syncStatus")
                         << text("remoteRowDetail") << QString::number(shown("syncNowButton")->isEnabled());
        if (sync.lastError() && withError.isEmpty())
            withError << QString::number(shown("lastErrorRow") != nullptr) << text("lastError") << *sync.lastError();
    });
    backend.setOffline(true);
    click("syncNowButton");
    ASSERT_TRUE(waitUntil([&] { return !whileSyncing.isEmpty() && !withError.isEmpty() && syncIdle(); }));
    EXPECT_EQ(whileSyncing, (QStringList{"1", "Syncing\u2026", "Google \u00b7 Syncing\u2026", "0"}));
    ASSERT_EQ(withError.size(), 3);
    EXPECT_EQ(withError[0], "1");
    EXPECT_EQ(withError[1], withError[2]);
    EXPECT_TRUE(withError[1].startsWith("Pull: ")) << withError[1].toStdString();
    backend.setOffline(false);

    // Opening the choices, then cancelling them.
    click("signInButton");
    EXPECT_EQ(shown("signInButton"), nullptr);
    EXPECT_EQ(shown<QPushButton>("googleButton")->text(), "Sign in with Google");
    EXPECT_TRUE(shown("googleButton")->isEnabled());
    click("cancelLoginButton");
    EXPECT_EQ(shown("loginOptions"), nullptr);
    EXPECT_NE(shown("signInButton"), nullptr);

    // Local current again, the account still cached.
    click("localRow");
    ASSERT_TRUE(waitUntil([&] { return prefs.currentUserId() == "local"; }));
    EXPECT_TRUE(isCurrent("localRow"));
    EXPECT_FALSE(isCurrent("remoteRow"));
    EXPECT_NE(shown("remoteRow"), nullptr);
    EXPECT_EQ(shown("syncSection"), nullptr);
    EXPECT_EQ(shown<QAbstractButton>("signInButton")->text(), "Switch Account");
    EXPECT_EQ(session->remoteAccount()->id, id);
}

TEST_F(AccountsViewTest, EachFlowSyncsFirstThenClearsAndLogs)
{
    open();
    const QString id = signIn(alice);
    freshRequests();
    freshAccountLines();
    const QString tables[] = {"GET /rest/v1/glossary", "GET /rest/v1/recordings", "GET /rest/v1/slices"};
    const QStringList pull(std::begin(tables), std::end(tables));

    // The current row: nothing.
    click("remoteRow");
    EXPECT_TRUE(syncIdle());
    EXPECT_EQ(freshAccountLines(), QStringList());

    // To local: the account's unsent term is pushed before its rows go.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    session->database().insertGlossaryItem({newRecordId(), id, "Talvex", std::nullopt, now, now});
    click("localRow");
    EXPECT_TRUE(isCurrent("remoteRow")) << "current until the sync has ended";
    ASSERT_TRUE(waitUntil([&] { return prefs.currentUserId() == "local"; }));
    EXPECT_EQ(freshAccountLines(), QStringList{"INFO Account: switching from " + id + " to local"});
    EXPECT_EQ(freshRequests(), pull + QStringList{"POST /rest/v1/glossary"});
    EXPECT_EQ(backend.rows("glossary").size(), 1);
    EXPECT_EQ(session->database().fetchUserStats(id).glossaryCount, 0);
    EXPECT_EQ(session->remoteAccount()->id, id) << "the account stays cached";

    // Back to the account: current at once, then synced.
    click("remoteRow");
    EXPECT_EQ(prefs.currentUserId(), id);
    EXPECT_TRUE(isCurrent("remoteRow"));
    EXPECT_EQ(freshAccountLines(), QStringList{"INFO Account: switched to alice@example.com"});
    ASSERT_TRUE(settled());
    EXPECT_EQ(freshRequests(), pull);
    EXPECT_EQ(session->database().fetchUserStats(id).glossaryCount, 1) << "pulled back";

    // Sign-out: a sync, the backend's sign-out, then the account's rows and
    // cached copy go.
    click("remoteRowSignOut");
    ASSERT_TRUE(waitUntil([&] { return !session->remoteAccount(); }));
    EXPECT_EQ(freshAccountLines(), (QStringList{"INFO Auth: logging out alice@example.com",
                                                "INFO Auth: logged out, switched to local"}));
    EXPECT_EQ(freshRequests(), pull + QStringList{"POST /auth/v1/logout"});
    EXPECT_EQ(prefs.currentUserId(), "local");
    EXPECT_FALSE(session->supabaseUser());
    EXPECT_FALSE(prefs.contains("cachedAccounts"));
    EXPECT_EQ(session->database().fetchUserStats(id).glossaryCount, 0);
    EXPECT_EQ(shown("remoteRow"), nullptr);
    EXPECT_TRUE(isCurrent("localRow"));
}

TEST_F(AccountsViewTest, SignInFromLocalAndOverTheCurrentAccount)
{
    open();
    backend.setSignInUser(alice.id);
    click("signInButton");
    click("googleButton");
    ASSERT_TRUE(waitUntil([&] { return session->remoteAccount() && prefs.currentUserId() == session->remoteAccount()->id
                                       && syncIdle(); }));
    EXPECT_EQ(freshAccountLines(), (QStringList{"INFO Auth: signing in with Google", "INFO Auth: Google OAuth initiated"}));
    EXPECT_EQ(shown("loginOptions"), nullptr);
    EXPECT_EQ(text("remoteRowLabel"), "alice@example.com");
    EXPECT_TRUE(isCurrent("remoteRow"));
    const QString aliceId = session->remoteAccount()->id;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    session->database().insertGlossaryItem({newRecordId(), aliceId, "Talvex", std::nullopt, now, now});

    // Another account over the current one: the current one is synced and
    // removed before the browser opens.
    backend.setSignInUser(bob.id);
    freshRequests();
    click("signInButton");
    click("googleButton");
    ASSERT_TRUE(waitUntil([&] { return session->remoteAccount() && session->remoteAccount()->email == bob.email
                                       && prefs.currentUserId() == session->remoteAccount()->id && syncIdle(); }));
    EXPECT_EQ(freshAccountLines(),
              (QStringList{"INFO Account: switching remote account, cleaning up alice@example.com",
                           "INFO Auth: signing in with Google", "INFO Auth: Google OAuth initiated"}));
    const QStringList requests = freshRequests();
    const qsizetype push = requests.indexOf("POST /rest/v1/glossary");
    const qsizetype authorize = requests.indexOf("GET /auth/v1/authorize");
    EXPECT_GE(push, 0);
    EXPECT_GT(authorize, push) << requests.join(", ").toStdString();
    EXPECT_EQ(session->database().fetchUserStats(aliceId).glossaryCount, 0);
    EXPECT_EQ(text("remoteRowLabel"), "bob@example.com");
}

TEST_F(AccountsViewTest, FailedSignInShowsItsDescriptionCutAndAsPlainText)
{
    open();
    // 400 characters of two code points each, behind markup.
    const QString description = "<b>Denied</b> " + QString("e\u0301").repeated(400);
    backend.setSignInError("access_denied", description);
    click("signInButton");
    click("googleButton");
    ASSERT_TRUE(waitUntil([&] { return shown("accountsError") != nullptr; }));
    const QString cut = Graphemes::left(description, AccountsView::kDescriptionGraphemes);
    ASSERT_EQ(Graphemes::count(cut), 300);
    auto* line = shown<PlainLabel>("accountsError");
    EXPECT_EQ(line->fullText(), "Sign-in failed: " + cut);
    EXPECT_EQ(line->textFormat(), Qt::PlainText);
    EXPECT_EQ(freshAccountLines(),
              (QStringList{"INFO Auth: signing in with Google", "ERROR Auth: Google sign-in failed: " + cut}));
    EXPECT_NE(shown("loginOptions"), nullptr) << "the choices stay open";
    EXPECT_TRUE(shown("googleButton")->isEnabled());
    EXPECT_FALSE(session->remoteAccount());
    EXPECT_EQ(prefs.currentUserId(), "local");

    // The next sign-in clears the line.
    backend.setSignInUser(alice.id);
    click("googleButton");
    EXPECT_EQ(shown("accountsError"), nullptr);
    ASSERT_TRUE(waitUntil([&] { return session->remoteAccount() && syncIdle(); }));
}

TEST_F(AccountsViewTest, FailedSignOutChangesNothingAndASecondTapClearsLocally)
{
    open();
    const QString id = signIn(alice);
    backend.addFault({"POST", "/auth/v1/logout", FakeBackend::Fault::Kind::serverError, 1, 500});
    freshAccountLines();
    click("remoteRowSignOut");
    ASSERT_TRUE(waitUntil([&] { return shown("accountsError") != nullptr; }));
    EXPECT_TRUE(text("accountsError").startsWith("Sign-out failed: ")) << text("accountsError").toStdString();
    EXPECT_EQ(freshAccountLines(), QStringList{"INFO Auth: logging out alice@example.com"});
    EXPECT_EQ(session->remoteAccount()->id, id);
    EXPECT_EQ(prefs.currentUserId(), id);

    // The client dropped its session all the same: the second tap signs
    // out locally, without a request.
    ASSERT_TRUE(waitUntil([&] { return !session->supabaseUser() && syncIdle(); }));
    freshRequests();
    click("remoteRowSignOut");
    ASSERT_TRUE(waitUntil([&] { return !session->remoteAccount(); }));
    EXPECT_FALSE(freshRequests().contains("POST /auth/v1/logout"));
    EXPECT_EQ(prefs.currentUserId(), "local");
    EXPECT_EQ(shown("remoteRow"), nullptr);
    EXPECT_EQ(shown("accountsError"), nullptr) << "the first tap's failure no longer holds";
}

// The desktop's browser step, whose user never comes back: the cancel
// button and the time-out end the wait with their error.
TEST_F(AccountsViewTest, CancelButtonAndTimeOutEndThePendingSignIn)
{
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel button" : "time-out");
        FakeDesktopWindows desktop;
        auto waiting = std::make_unique<BrowserWebAuthSession>(
            desktop, XdgSchemeHandlerSetup{.program = "/bin/true"},
            BrowserWebAuthTiming{.callbackTimeout = cancel ? 1h : std::chrono::milliseconds(300)});
        BrowserWebAuthSession& browserWait = *waiting;
        const QString expected = QString("Sign-in failed: ")
            + (cancel ? QString(BrowserWebAuthSession::kCancelled) : browserWait.timeoutDescription());
        // The controller keeps the browser step it is built with: one each.
        if (cancel)
            open(std::move(waiting));
        else
            openWith(std::move(waiting), freshPlatform());
        backend.setSignInUser(alice.id);
        click("signInButton");
        click("googleButton");
        ASSERT_TRUE(waitUntil([&] { return browserWait.isWaiting(); }));
        EXPECT_FALSE(shown("googleButton")->isEnabled());

        if (cancel)
            click("cancelLoginButton");
        ASSERT_TRUE(waitUntil([&] { return shown("accountsError") != nullptr; }));
        EXPECT_FALSE(browserWait.isWaiting());
        EXPECT_EQ(text("accountsError"), expected);
        EXPECT_EQ(shown("loginOptions") == nullptr, cancel) << "cancel closes the choices";
        EXPECT_FALSE(prefs.contains(kVerifierKey));
        EXPECT_FALSE(session->remoteAccount());
        if (cancel)
            click("signInButton");
        EXPECT_TRUE(shown("googleButton")->isEnabled());
        view.reset();
        session.reset();
    }
}

TEST_F(AccountsViewTest, StatisticsCountTheCurrentAccountsLiveRows)
{
    open();
    const QString id = signIn(alice);
    struct Expected
    {
        QString recordings, slices, glossary, duration, failed;
    };
    const auto statistics = [&] {
        auto value = [&](const char* name) {
            auto* label = shown<QLabel>(name);
            return label ? label->text() : QStringLiteral("(not shown)");
        };
        return Expected{value("recordingsValue"), value("slicesValue"), value("glossaryValue"),
                        value("durationValue"), text("failedSlices")};
    };
    const auto same = [](const Expected& a, const Expected& b) {
        return std::tie(a.recordings, a.slices, a.glossary, a.duration, a.failed)
            == std::tie(b.recordings, b.slices, b.glossary, b.duration, b.failed);
    };
    EXPECT_TRUE(same(statistics(), {"0", "0/0", "0", "0s", "(not shown)"}));

    // Two live recordings of the account, one deleted, one of another user;
    // five live slices (three completed, one failed), one deleted.
    DatabaseManager& db = session->database();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto recording = [&](const QString& owner, double duration, bool deleted) {
        Recording r{.id = newRecordId(), .userId = owner, .createdAt = now, .duration = duration,
                    .status = RecordingStatus::completed, .updatedAt = now};
        if (deleted)
            r.deletedAt = now;
        db.insertRecording(r);
        return r.id;
    };
    const QString first = recording(id, 3000.5, false);
    recording(id, 725, false);
    recording(id, 9999, true);
    recording("local", 9999, false);
    const SliceStatus statuses[] = {SliceStatus::completed, SliceStatus::completed, SliceStatus::completed,
                                    SliceStatus::failed, SliceStatus::pending, SliceStatus::completed};
    int index = 0;
    for (SliceStatus status : statuses) {
        Slice s{.id = newRecordId(), .userId = id, .recordingId = first, .sliceIndex = ++index,
                .filename = QString("s%1.m4a").arg(index), .status = status, .updatedAt = now};
        if (index == 6)
            s.deletedAt = now;
        db.insertSlice(s);
    }
    db.insertGlossaryItem({newRecordId(), id, "Talvex", std::nullopt, now, now});
    showView();   // read each time the screen is built
    EXPECT_TRUE(same(statistics(), {"2", "3/5", "1", "1h02m", "Failed slices: 1"}))
        << statistics().recordings.toStdString() << ' ' << statistics().slices.toStdString() << ' '
        << statistics().duration.toStdString() << ' ' << statistics().failed.toStdString();
}

TEST_F(AccountsViewTest, FormatsDurations)
{
    const std::pair<double, QString> cases[] = {
        {0, "0s"}, {59.4, "59s"}, {59.6, "60s"}, {60, "1m00s"}, {61.9, "1m01s"}, {3599.9, "59m59s"},
        {3600, "1h00m"}, {7325, "2h02m"}, {360000, "100h00m"}, {-3, "-3s"},
        {std::numeric_limits<double>::infinity(), "\u2014"}, {std::nan(""), "\u2014"},
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(AccountsView::formatDuration(seconds), expected) << seconds;
}

TEST_F(AccountsViewTest, CapitalisesEachWordOfTheProvider)
{
    const std::pair<QString, QString> cases[] = {
        {"google", "Google"}, {"unknown", "Unknown"}, {"GITHUB", "Github"}, {"azure ad", "Azure Ad"},
        {"", ""}, {"émail", "Émail"},
    };
    for (const auto& [provider, expected] : cases)
        EXPECT_EQ(AccountsView::providerText(provider), expected) << provider.toStdString();
}

TEST_F(AccountsViewTest, ShowsAnEmailHoldingMarkupLiterally)
{
    const FakeBackend::User carol = backend.addUser("<b>carol</b>&amp;@example.com");
    open();
    signIn(carol);
    auto* label = shown<PlainLabel>("remoteRowLabel");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->fullText(), "<b>carol</b>&amp;@example.com");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
}

// A dictation's rows may have been pushed clean meanwhile: the controls
// that would clear them wait for idle.
TEST_F(AccountsViewTest, ControlsThatClearRowsWaitForIdle)
{
    open();
    signIn(alice);
    click("signInButton");
    const auto enabled = [&](const char* name) { return shown(name) && shown(name)->isEnabled(); };
    const struct
    {
        SessionState state;
        std::function<void(SessionManager&)> end;
    } cases[] = {
        {SessionState::recording, [](SessionManager& s) { s.cancelRecording(); }},
        {SessionState::paused, [](SessionManager& s) { s.cancelRecording(); }},
        {SessionState::confirming, [](SessionManager& s) { s.cancelInjection(); }},
        {SessionState::processing, [](SessionManager& s) { s.cancelProcessing(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toText(c.state).toStdString());
        reach(c.state);
        EXPECT_FALSE(enabled("localRow"));
        EXPECT_FALSE(enabled("remoteRowSignOut"));
        EXPECT_FALSE(enabled("googleButton"));
        EXPECT_TRUE(enabled("remoteRow")) << "selecting the account clears nothing";
        click("localRow");
        EXPECT_NE(prefs.currentUserId(), "local");
        c.end(*session);
        ASSERT_TRUE(waitForState(SessionState::idle));
        EXPECT_TRUE(enabled("localRow"));
        EXPECT_TRUE(enabled("remoteRowSignOut"));
        EXPECT_TRUE(enabled("googleButton"));
    }
    // With local current, its row has nothing to clear.
    click("localRow");
    ASSERT_TRUE(waitUntil([&] { return prefs.currentUserId() == "local"; }));
    reach(SessionState::recording);
    EXPECT_TRUE(enabled("localRow"));
    session->cancelRecording();
}

