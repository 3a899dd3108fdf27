// The controller's start-up: the order of its log lines, local mode, the hot
// key, and the delayed panel and permission steps.
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "session/FloatingPanel.h"
#include "store/RecordId.h"

using namespace sessiontest;

namespace {

const QString kAccountId = "9F1C2B1E-6D4A-4C8B-9E2F-3A5B7C9D1E0F";

class SessionStartupTest : public SessionFixture
{
protected:
    // A recording an earlier run left unfinished.
    static Recording addInterrupted(DatabaseManager& db, RecordingStatus status)
    {
        Recording r;
        r.id = newRecordId();
        r.userId = "local";
        r.createdAt = r.updatedAt = QDateTime::currentDateTimeUtc().addDays(-1);
        r.status = status;
        db.insertRecording(r);
        return r;
    }
};

}  // namespace

TEST_F(SessionStartupTest, LogsInTheOrderOfItsStepsAndRecoversAfterwards)
{
    prefs.setValue(PrefKey::currentUserId, kAccountId);
    QString first;
    QString second;
    prepareStore([&](DatabaseManager& db, RecordingFileManager&) {
        first = addInterrupted(db, RecordingStatus::recording).id;
        second = addInterrupted(db, RecordingStatus::paused).id;
    });

    build();
    // Nothing has run on the event loop yet: these are the constructor's lines.
    const QStringList constructed = logLines();
    const QString id = session->deviceId();

    const QString initialized = "INFO App: initialization complete, deviceId: " + id + ", userId: local";
    ASSERT_FALSE(constructed.isEmpty());
    EXPECT_EQ(constructed.last(), initialized);
    const QStringList steps{"INFO HotkeyManager: registered hotkey '\u2318 \u21e7 E'",
                            "INFO SessionManager: found 2 interrupted recording(s)",
                            "INFO SessionManager: sync disabled, forcing local mode",
                            "INFO DeviceId: generated new: " + id, initialized};
    QList<qsizetype> at;
    for (const QString& step : steps)
        at << constructed.indexOf(step);
    EXPECT_FALSE(at.contains(-1)) << constructed.join('\n').toStdString();
    EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << constructed.join('\n').toStdString();
    EXPECT_EQ(at.last() - at[at.size() - 2], 1) << "the device id is made by the last line";
    EXPECT_TRUE(constructed.filter("Consistency: ").isEmpty()) << "the recovery runs afterwards";

    ASSERT_TRUE(waitUntil([&] { return logLines().filter("Consistency: ").size() == 2; }));
    const QStringList all = logLines();
    // In the store's order, which is not the order of insertion.
    QStringList recovered = all.mid(all.indexOf(initialized) + 1).filter("Consistency: ");
    QStringList expected{"INFO Consistency: recording " + first + " status corrected: recording \u2192 failed",
                         "INFO Consistency: recording " + second + " status corrected: paused \u2192 failed"};
    recovered.sort();
    expected.sort();
    EXPECT_EQ(recovered, expected);
    EXPECT_EQ(all.filter("App: initialization complete").size(), 1);
}

TEST_F(SessionStartupTest, WithoutInterruptedRecordingsThereIsNothingToReport)
{
    build();
    EXPECT_TRUE(logLines().filter("interrupted").isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
    EXPECT_TRUE(logLines().filter("Consistency: ").isEmpty());
}

namespace {

struct LocalModeCase
{
    const char* name;
    std::optional<QString> currentUserId;
    std::optional<bool> enableSync;
    bool forced;
};

void PrintTo(const LocalModeCase& c, std::ostream* out) { *out << c.name; }

class SessionStartupLocalMode : public SessionStartupTest,
                                public testing::WithParamInterface<LocalModeCase>
{
};

}  // namespace

// With account sync off, an account left current goes back to local data
// (sync on: SessionAccountStartupTest).
TEST_P(SessionStartupLocalMode, MakesLocalCurrent)
{
    const LocalModeCase c = GetParam();
    if (c.currentUserId)
        prefs.setValue(PrefKey::currentUserId, *c.currentUserId);
    if (c.enableSync)
        prefs.setValue(PrefKey::enableSync, *c.enableSync);

    build();

    const QStringList lines = logLines();
    EXPECT_EQ(lines.filter("SessionManager: sync disabled, forcing local mode").size(), c.forced ? 1 : 0);
    EXPECT_EQ(prefs.currentUserId(), "local");
    EXPECT_TRUE(lines.last().endsWith(", userId: local")) << lines.last().toStdString();
    if (c.enableSync) {
        EXPECT_EQ(prefs.enableSync(), *c.enableSync) << "the flag itself is left alone";
    }

    ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
    const QString id = start();
    EXPECT_EQ(row(id)->userId, "local");
}

INSTANTIATE_TEST_SUITE_P(
    Sync, SessionStartupLocalMode,
    testing::Values(LocalModeCase{"AccountWithSyncOff", kAccountId, false, true},
                    LocalModeCase{"AccountWithoutSyncFlag", kAccountId, std::nullopt, true},
                    LocalModeCase{"LocalAlready", QString("local"), true, false},
                    LocalModeCase{"NothingStored", std::nullopt, std::nullopt, false}),
    [](const testing::TestParamInfo<LocalModeCase>& info) { return std::string(info.param.name); });

TEST_F(SessionStartupTest, RegistersTheStoredShortcutWhosePressesToggle)
{
    prefs.setValue(PrefKey::shortcut, "\u2303 \u2325 R");
    buildReady();

    ASSERT_TRUE(hotkeys.registered());
    EXPECT_EQ(*hotkeys.registered(),
              (FakeHotkeyBackend::Combination{15, HotkeyModifier::control | HotkeyModifier::option}));
    EXPECT_EQ(session->shortcut(), "\u2303 \u2325 R");

    hotkeys.press();
    EXPECT_EQ(session->state(), SessionState::idle) << "a press runs in a task of its own";
    ASSERT_TRUE(waitForState(SessionState::recording));
    spinFor(50);
    hotkeys.press();
    ASSERT_TRUE(waitUntil([&] { return session->state() != SessionState::recording; }));
    EXPECT_TRUE(waitForState(SessionState::idle));
    EXPECT_EQ(field->writes, QStringList{"Polished text."});
}

namespace {

class SessionStartupPanel : public SessionStartupTest, public testing::WithParamInterface<bool>
{
};

// A panel that only says whether it is shown.
class ShownFlag : public FloatingPanel
{
public:
    void show() override { m_shown = true; }
    void hide() override { m_shown = false; }
    bool isShown() const override { return m_shown; }

private:
    bool m_shown = false;
};

}  // namespace

TEST_P(SessionStartupPanel, PanelStepRunsAtItsDelayAndBeforeThePermissionStep)
{
    const bool shown = GetParam();
    prefs.setValue(PrefKey::showFloatingPanel, shown);
    floatingPanel = [](SessionManager&) { return std::make_unique<ShownFlag>(); };
    startupTiming.panelStep = 100ms;
    startupTiming.permissionStep = 200ms;
    QElapsedTimer clock;
    clock.start();
    build();
    std::optional<qint64> permissionsReadAt;
    bool panelAtPermissionStep = false;
    QObject::connect(&session->permissionManager(), &PermissionManager::accessibilityGrantedChanged,
                     [&] {
                         if (permissionsReadAt)
                             return;
                         permissionsReadAt = clock.elapsed();
                         panelAtPermissionStep = session->floatingPanel() != nullptr;
                     });

    EXPECT_EQ(session->floatingPanel(), nullptr);
    EXPECT_TRUE(permissions.trustChecks().isEmpty());

    // Seen no earlier than it came: a step that ran early shows below its delay.
    ASSERT_TRUE(waitUntil([&] { return session->floatingPanel() != nullptr; }));
    EXPECT_GE(clock.elapsed(), 100);
    EXPECT_EQ(session->floatingPanel()->isShown(), shown);

    ASSERT_TRUE(waitUntil([&] { return permissionsReadAt.has_value(); }));
    EXPECT_GE(*permissionsReadAt, 200);
    EXPECT_TRUE(panelAtPermissionStep);
    EXPECT_TRUE(session->permissionManager().microphoneGranted());
    EXPECT_TRUE(session->permissionManager().accessibilityGranted());
    EXPECT_FALSE(permissions.trustChecks().contains(true)) << "checked without a prompt";
}

INSTANTIATE_TEST_SUITE_P(ShowFloatingPanel, SessionStartupPanel, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Shown" : "Hidden");
                         });

TEST(SessionStartupTiming, WaitsThreeTenthsForThePanelAndHalfASecondForPermissions)
{
    const StartupTiming timing;
    EXPECT_EQ(timing.panelStep, 300ms);
    EXPECT_EQ(timing.permissionStep, 500ms);
    const QDateTime before = QDateTime::currentDateTime();
    const QDateTime now = timing.clock();
    EXPECT_GE(now, before);
    EXPECT_LE(now, QDateTime::currentDateTime());
}
