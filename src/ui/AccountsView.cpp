#include "ui/AccountsView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "platform/BrowserWebAuthSession.h"
#include "platform/Graphemes.h"
#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/DatabaseManager.h"
#include "store/LocaleManager.h"
#include "store/Logger.h"
#include "sync/BackendClient.h"
#include "sync/SyncManager.h"
#include "ui/AccountRow.h"
#include "ui/Dot.h"
#include "ui/PlainLabel.h"
#include "ui/Spinner.h"
#include "ui/Style.h"

namespace {

constexpr int kPadding = 16;
constexpr int kSpacing = 12;
constexpr int kLoginSpacing = 8;
constexpr int kStatusSpacing = 6;
constexpr int kStatusDot = 8;
constexpr int kStatisticsSpacing = 4;
constexpr int kCellSpacing = 16;
constexpr int kCellInnerSpacing = 1;
constexpr int kValuePixels = 12;
constexpr int kFailedDot = 6;
constexpr int kFailedSpacing = 4;
constexpr int kGoogleButtonPadding = 6;
constexpr int kCancelPixels = 12;

const QString kLocal = QString::fromLatin1(Preferences::kLocalUserId);

QString cutDescription(const QString& description)
{
    return Graphemes::left(description, AccountsView::kDescriptionGraphemes);
}

PlainLabel* captionLine(const QString& name, int lines, const QColor& colour, QWidget* parent)
{
    auto* line = new PlainLabel(lines, parent);
    line->setObjectName(name);
    line->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*line, colour);
    return line;
}

// A red dot of `dotSize` before `label`, in a row of its own named `name`.
QWidget* redDotRow(const QString& name, int dotSize, int spacing, PlainLabel* label, QWidget* parent)
{
    auto* row = new QWidget(parent);
    row->setObjectName(name);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    layout->addWidget(new Dot(dotSize, Style::red, row), 0, Qt::AlignVCenter);
    layout->addWidget(label, 1);
    return row;
}

}  // namespace

AccountsView::AccountsView(SessionManager& session, QWidget* parent)
    : QScrollArea(parent), m_session(session)
{
    setObjectName(QStringLiteral("accountsScreen"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const LocaleManager& locale = session.locale();
    const QColor secondary = Style::secondary(palette());

    auto* content = new QWidget(this);
    content->setObjectName(QStringLiteral("accountsColumn"));
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    column->setSpacing(kSpacing);

    m_localRow = new AccountRow(QStringLiteral("localRow"), false, content);
    // Not looked up: the word is the same in every language.
    m_localRow->setTexts(QStringLiteral("Local"), locale.text(QStringLiteral("accounts.offlineDetail")));
    connect(m_localRow, &AccountRow::selected, this, &AccountsView::switchToLocal);
    column->addWidget(m_localRow);
    m_remoteRow = new AccountRow(QStringLiteral("remoteRow"), true, content);
    connect(m_remoteRow, &AccountRow::selected, this, &AccountsView::selectRemote);
    connect(m_remoteRow, &AccountRow::signOutRequested, this, [this] { logout(); });
    column->addWidget(m_remoteRow);
    column->addWidget(Style::divider(QStringLiteral("accountsDivider"), content));

    // A tool button: a flat push button keeps its minimum width and would
    // centre a short title away from the column's edge.
    m_signInButton = new QToolButton(content);
    m_signInButton->setObjectName(QStringLiteral("signInButton"));
    m_signInButton->setAutoRaise(true);
    m_signInButton->setFocusPolicy(Qt::TabFocus);
    Style::setTextColour(*m_signInButton, Style::accent(palette()));
    connect(m_signInButton, &QToolButton::clicked, this, &AccountsView::openLoginOptions);
    column->addWidget(m_signInButton, 0, Qt::AlignLeft);

    m_loginOptions = new QWidget(content);
    m_loginOptions->setObjectName(QStringLiteral("loginOptions"));
    auto* login = new QVBoxLayout(m_loginOptions);
    login->setContentsMargins(0, 0, 0, 0);
    login->setSpacing(kLoginSpacing);
    m_googleButton = new QPushButton(locale.text(QStringLiteral("accounts.signInGoogle")), m_loginOptions);
    m_googleButton->setObjectName(QStringLiteral("googleButton"));
    m_googleButton->setFont(Style::font(Style::TextSize::body));
    m_googleButton->setFocusPolicy(Qt::TabFocus);
    m_googleButton->setMinimumHeight(m_googleButton->sizeHint().height() + 2 * kGoogleButtonPadding);
    connect(m_googleButton, &QPushButton::clicked, this, [this] { signInWithGoogle(); });
    login->addWidget(m_googleButton);
    auto* cancel = new QPushButton(locale.text(QStringLiteral("accounts.cancel")), m_loginOptions);
    cancel->setObjectName(QStringLiteral("cancelLoginButton"));
    cancel->setFlat(true);
    cancel->setFocusPolicy(Qt::TabFocus);
    cancel->setFont(Style::font(kCancelPixels));
    Style::setTextColour(*cancel, secondary);
    connect(cancel, &QPushButton::clicked, this, &AccountsView::cancelLogin);
    login->addWidget(cancel, 0, Qt::AlignHCenter);
    column->addWidget(m_loginOptions);

    m_errorLine = captionLine(QStringLiteral("accountsError"), 0, Style::red, content);
    column->addWidget(m_errorLine);

    buildSyncSection(column);
    column->addStretch(1);
    setWidget(content);

    connect(&session, &SessionManager::accountChanged, this, &AccountsView::refresh);
    connect(&session, &SessionManager::stateChanged, this, &AccountsView::refresh);
    connect(&session.syncManager(), &SyncManager::stateChanged, this, &AccountsView::refresh);
    connect(&session.preferences(), &Preferences::changed, this, [this](const QString& key) {
        if (key == QLatin1String(PrefKey::currentUserId))
            refresh();
    });
    refresh();
}

void AccountsView::buildSyncSection(QVBoxLayout* column)
{
    const LocaleManager& locale = m_session.locale();
    const QColor secondary = Style::secondary(palette());
    m_syncSection = new QWidget(column->parentWidget());
    m_syncSection->setObjectName(QStringLiteral("syncSection"));
    auto* section = new QVBoxLayout(m_syncSection);
    section->setContentsMargins(0, 0, 0, 0);
    section->setSpacing(kSpacing);
    section->addWidget(Style::divider(QStringLiteral("syncDivider"), m_syncSection));

    auto* status = new QHBoxLayout;
    status->setSpacing(kStatusSpacing);
    m_syncSpinner = new Spinner(secondary, m_syncSection);
    m_syncSpinner->setObjectName(QStringLiteral("syncSpinner"));
    m_syncDot = new Dot(kStatusDot, Style::orange, m_syncSection);
    m_syncDot->setObjectName(QStringLiteral("syncDot"));
    m_syncStatus = captionLine(QStringLiteral("syncStatus"), 1, secondary, m_syncSection);
    m_syncNowButton = new QPushButton(locale.text(QStringLiteral("accounts.syncNow")), m_syncSection);
    m_syncNowButton->setObjectName(QStringLiteral("syncNowButton"));
    m_syncNowButton->setFont(Style::font(Style::TextSize::smallControl));
    m_syncNowButton->setFocusPolicy(Qt::TabFocus);
    connect(m_syncNowButton, &QPushButton::clicked, this, [this] {
        m_session.syncManager().forceFullSync(m_session.preferences().currentUserId());
    });
    status->addWidget(m_syncSpinner);
    status->addWidget(m_syncDot);
    status->addWidget(m_syncStatus, 1);
    status->addWidget(m_syncNowButton);
    section->addLayout(status);

    m_lastError = captionLine(QStringLiteral("lastError"), 2, Style::red, m_syncSection);
    m_lastErrorRow = redDotRow(QStringLiteral("lastErrorRow"), kStatusDot, kStatusSpacing, m_lastError,
                               m_syncSection);
    section->addWidget(m_lastErrorRow);

    section->addWidget(Style::divider(QStringLiteral("statisticsDivider"), m_syncSection));
    section->addWidget(buildStatistics(m_syncSection));
    column->addWidget(m_syncSection);
}

QWidget* AccountsView::buildStatistics(QWidget* parent)
{
    const LocaleManager& locale = m_session.locale();
    const QColor secondary = Style::secondary(palette());
    auto* statistics = new QWidget(parent);
    statistics->setObjectName(QStringLiteral("statistics"));
    auto* column = new QVBoxLayout(statistics);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kStatisticsSpacing);
    auto* heading = new PlainLabel(1, statistics);
    heading->setObjectName(QStringLiteral("statisticsHeading"));
    heading->setFont(Style::font(Style::TextSize::caption, QFont::Medium));
    Style::setTextColour(*heading, secondary);
    heading->setFullText(locale.text(QStringLiteral("accounts.statistics")));
    column->addWidget(heading);

    auto* cells = new QHBoxLayout;
    cells->setSpacing(kCellSpacing);
    const auto addCell = [&](const char* key, const QString& name) {
        auto* cell = new QVBoxLayout;
        cell->setSpacing(kCellInnerSpacing);
        auto* value = new QLabel(statistics);
        value->setObjectName(name);
        value->setTextFormat(Qt::PlainText);
        value->setFont(Style::monospaced(kValuePixels, QFont::Medium));
        value->setAlignment(Qt::AlignHCenter);
        auto* label = new PlainLabel(1, statistics);
        label->setFont(Style::font(Style::TextSize::secondCaption));
        label->setAlignment(Qt::AlignHCenter);
        Style::setTextColour(*label, secondary);
        label->setFullText(locale.text(QString::fromLatin1(key)));
        cell->addWidget(value);
        cell->addWidget(label);
        cells->addLayout(cell);
        return value;
    };
    m_recordingsValue = addCell("accounts.recordings", QStringLiteral("recordingsValue"));
    m_slicesValue = addCell("accounts.slices", QStringLiteral("slicesValue"));
    m_glossaryValue = addCell("accounts.glossary", QStringLiteral("glossaryValue"));
    m_durationValue = addCell("accounts.duration", QStringLiteral("durationValue"));
    cells->addStretch(1);
    column->addLayout(cells);

    m_failedSlices = new PlainLabel(1, statistics);
    m_failedSlices->setObjectName(QStringLiteral("failedSlices"));
    m_failedSlices->setFont(Style::font(Style::TextSize::secondCaption));
    Style::setTextColour(*m_failedSlices, Style::red);
    m_failedSlicesRow = redDotRow(QStringLiteral("failedSlicesRow"), kFailedDot, kFailedSpacing, m_failedSlices,
                                  statistics);
    column->addWidget(m_failedSlicesRow);
    return statistics;
}

QString AccountsView::formatDuration(double seconds)
{
    // Stored rows give finite sums; anything else is shown as unknown.
    if (!std::isfinite(seconds))
        return QStringLiteral("\u2014");
    if (seconds < 60)
        return QString::asprintf("%.0fs", seconds);
    const auto whole = static_cast<long long>(seconds);
    if (whole > 3599)
        return QString::asprintf("%lldh%02lldm", whole / 3600, (whole / 60) % 60);
    return QString::asprintf("%lldm%02llds", whole / 60, whole % 60);
}

QString AccountsView::providerText(const QString& provider)
{
    QString text = provider.toLower();
    bool wordStart = true;
    for (QChar& c : text) {
        if (wordStart)
            c = c.toUpper();
        wordStart = c.isSpace();
    }
    return text;
}

void AccountsView::refresh()
{
    const QString current = m_session.preferences().currentUserId();
    const bool idle = m_session.state() == SessionState::idle;
    const std::optional<AccountInfo>& account = m_session.remoteAccount();
    const LocaleManager& locale = m_session.locale();

    m_localRow->setCurrent(current == kLocal);
    m_localRow->setEnabled(idle || current == kLocal);
    m_remoteRow->setVisible(account.has_value());
    if (account) {
        m_remoteRow->setTexts(account->email, providerText(account->provider) + QStringLiteral(" \u00b7 ")
                                                   + syncStatusText());
        m_remoteRow->setCurrent(current == account->id);
    }
    m_remoteRow->signOutButton()->setEnabled(idle);

    m_signInButton->setText(locale.text(account ? QStringLiteral("accounts.switchAccount")
                                                : QStringLiteral("accounts.signIn")));
    m_signInButton->setVisible(!m_showingLoginOptions);
    m_loginOptions->setVisible(m_showingLoginOptions);
    m_googleButton->setEnabled(idle && !m_isLoading);
    m_errorLine->setVisible(m_errorMessage.has_value());
    m_errorLine->setFullText(m_errorMessage.value_or(QString()));

    m_syncSection->setVisible(current != kLocal);
    if (current == kLocal)
        return;
    const SyncManager& sync = m_session.syncManager();
    m_syncSpinner->setVisible(sync.isSyncing());
    m_syncDot->setVisible(!sync.isSyncing());
    m_syncDot->setColour(sync.lastSyncTime() ? Style::green : Style::orange);
    m_syncStatus->setFullText(syncStatusText());
    m_syncNowButton->setEnabled(!sync.isSyncing());
    m_lastErrorRow->setVisible(sync.lastError().has_value());
    m_lastError->setFullText(sync.lastError().value_or(QString()));
    showStatistics(current);
}

void AccountsView::showStatistics(const QString& userId)
{
    const DatabaseManager::UserStats stats = m_session.database().fetchUserStats(userId);
    m_recordingsValue->setText(QString::number(stats.recordingCount));
    m_slicesValue->setText(QString::number(stats.completedSlices) + QLatin1Char('/')
                           + QString::number(stats.totalSlices));
    m_glossaryValue->setText(QString::number(stats.glossaryCount));
    m_durationValue->setText(formatDuration(stats.totalDuration));
    m_failedSlicesRow->setVisible(stats.failedSlices > 0);
    m_failedSlices->setFullText(m_session.locale().text(QStringLiteral("accounts.slicesFailed"), stats.failedSlices));
}

QString AccountsView::syncStatusText() const
{
    const SyncManager& sync = m_session.syncManager();
    if (sync.isSyncing())
        return m_session.locale().text(QStringLiteral("accounts.syncing"));
    if (sync.lastSyncTime())
        return lastSyncText();
    return m_session.locale().text(QStringLiteral("accounts.notSynced"));
}

QString AccountsView::lastSyncText() const
{
    const QLocale timeLocale(m_session.locale().language());
    const QString time = timeLocale.toString(m_session.syncManager().lastSyncTime()->toLocalTime().time(),
                                             QLocale::ShortFormat);
    return m_session.locale().text(QStringLiteral("accounts.lastSync"), time);
}

void AccountsView::setErrorMessage(std::optional<QString> message)
{
    m_errorMessage = std::move(message);
    refresh();
}

void AccountsView::selectRemote()
{
    const std::optional<AccountInfo>& account = m_session.remoteAccount();
    Preferences& preferences = m_session.preferences();
    if (!account || preferences.currentUserId() == account->id)
        return;
    const QString id = account->id;
    m_session.logger().info(QStringLiteral("Account: switched to ") + account->email);
    preferences.setValue(PrefKey::currentUserId, id);
    m_session.syncManager().sync(id);
}

void AccountsView::switchToLocal()
{
    const QString oldId = m_session.preferences().currentUserId();
    if (oldId == kLocal)
        return;
    m_session.logger().info(QStringLiteral("Account: switching from ") + oldId + QStringLiteral(" to local"));
    switchToLocalTask(oldId);
}

QCoro::Task<void> AccountsView::switchToLocalTask(QString oldId)
{
    // The flow goes on when the screen goes meanwhile: only the controller
    // is used after the wait.
    SessionManager& session = m_session;
    co_await session.syncManager().sync(oldId);
    session.clearRemoteUserData(oldId);
    session.preferences().setValue(PrefKey::currentUserId, kLocal);
}

void AccountsView::openLoginOptions()
{
    m_showingLoginOptions = true;
    refresh();
}

void AccountsView::cancelLogin()
{
    m_showingLoginOptions = false;
    m_errorMessage.reset();
    // A sign-in waiting for the browser ends with its own error line.
    // (Only the desktop's browser step waits for a user.)
    if (auto* browser = dynamic_cast<BrowserWebAuthSession*>(&m_session.webAuthSession()); m_isLoading && browser)
        browser->cancel();
    refresh();
}

QCoro::Task<void> AccountsView::logout()
{
    SessionManager& session = m_session;
    const QPointer<AccountsView> view(this);
    if (!session.remoteAccount())
        co_return;
    const AccountInfo account = *session.remoteAccount();
    session.logger().info(QStringLiteral("Auth: logging out ") + account.email);
    if (session.preferences().currentUserId() == account.id)
        co_await session.syncManager().sync(account.id);
    const std::optional<BackendUser>& user = session.supabaseUser();
    // Ids are UUID texts, whose case the backend and the cache may write differently.
    if (user && user->id.compare(account.id, Qt::CaseInsensitive) == 0) {
        const std::optional<BackendError> failure = co_await session.backendClient().signOut();
        if (failure) {
            if (view)
                view->setErrorMessage(session.locale().text(QStringLiteral("accounts.signOutFailed"),
                                                            cutDescription(failure->description())));
            co_return;
        }
        session.clearSupabaseUser();
    }
    session.clearRemoteUserData(account.id);
    session.clearRemoteAccount();
    session.saveRemoteAccount();
    session.preferences().setValue(PrefKey::currentUserId, kLocal);
    session.logger().info(QStringLiteral("Auth: logged out, switched to local"));
    // An earlier tap's failure no longer holds.
    if (view)
        view->setErrorMessage(std::nullopt);
}

QCoro::Task<void> AccountsView::signInWithGoogle()
{
    SessionManager& session = m_session;
    const QPointer<AccountsView> view(this);
    const std::optional<AccountInfo> cached = session.remoteAccount();
    if (cached && cached->id == session.preferences().currentUserId()) {
        session.logger().info(QStringLiteral("Account: switching remote account, cleaning up ") + cached->email);
        co_await session.syncManager().sync(cached->id);
        session.clearRemoteUserData(cached->id);
        session.clearRemoteAccount();
        session.saveRemoteAccount();
        session.preferences().setValue(PrefKey::currentUserId, kLocal);
    }
    session.logger().info(QStringLiteral("Auth: signing in with Google"));
    if (view) {
        view->m_isLoading = true;
        view->setErrorMessage(std::nullopt);
    }
    const Result<BackendSession, BackendError> result =
        co_await session.backendClient().signInWithOAuth(session.webAuthSession());
    if (result.ok()) {
        session.logger().info(QStringLiteral("Auth: Google OAuth initiated"));
        if (view) {
            view->m_showingLoginOptions = false;
            view->m_isLoading = false;
            view->refresh();
        }
        co_return;
    }
    // Outside text: it may come from the callback address.
    const QString description = cutDescription(result.error().description());
    session.logger().error(QStringLiteral("Auth: Google sign-in failed: ") + description);
    if (view) {
        view->m_isLoading = false;
        view->setErrorMessage(session.locale().text(QStringLiteral("accounts.signInFailed"), description));
    }
}
