// Starting a dictation: the permission alerts, a recorder that cannot start,
// and the device id every recording carries.
#include <QRegularExpression>
#include <gtest/gtest.h>

#include "SessionFixture.h"
#include "store/LocaleManager.h"

using namespace sessiontest;

namespace {

struct PermissionCase
{
    const char* name;
    MicrophoneAuthorization microphone;
    bool accessibilityTrusted;
    int answer;   // the button chosen; -1 closes the alert
    const char* titleKey;
    const char* messageKey;
    int microphoneSettingsOpened;
    int accessibilitySettingsOpened;
};

void PrintTo(const PermissionCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerPermission : public SessionFixture,
                                 public testing::WithParamInterface<PermissionCase>
{
};

}  // namespace

TEST_P(SessionManagerPermission, ShowsOneAlertAndRecordsNothing)
{
    const PermissionCase c = GetParam();
    permissions.authorization = c.microphone;
    permissions.trusted = c.accessibilityTrusted;
    alerts.answer = c.answer;
    buildReady();
    freshLines();

    session->toggleRecording();

    ASSERT_EQ(alerts.shown.size(), 1);
    const Alert& alert = alerts.shown.first();
    // Looked up: the English table has a text for every key.
    EXPECT_EQ(alert.title, locale.text(c.titleKey));
    EXPECT_NE(alert.title, c.titleKey);
    EXPECT_EQ(alert.message, locale.text(c.messageKey));
    EXPECT_NE(alert.message, c.messageKey);
    EXPECT_EQ(alert.buttons, (QStringList{locale.text("alert.openSettings"),
                                          locale.text("accounts.cancel")}));
    EXPECT_NE(alert.buttons.first(), "alert.openSettings");
    EXPECT_EQ(permissions.microphoneSettingsOpened(), c.microphoneSettingsOpened);
    EXPECT_EQ(permissions.accessibilitySettingsOpened(), c.accessibilitySettingsOpened);

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_FALSE(session->currentRecording());
    EXPECT_TRUE(session->database().fetchAllRecordings(std::nullopt, true).isEmpty());
    EXPECT_FALSE(session->textInjector().targetApp()) << "no target is remembered";
    EXPECT_TRUE(freshLines().filter(QRegularExpression("SessionManager: |TextInjector: ")).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Alerts, SessionManagerPermission,
    testing::Values(
        PermissionCase{"MicrophoneDeniedOpen", MicrophoneAuthorization::denied, true, 0,
                       "alert.micTitle", "alert.micMessage", 1, 0},
        PermissionCase{"MicrophoneRestrictedCancel", MicrophoneAuthorization::restricted, true, 1,
                       "alert.micTitle", "alert.micMessage", 0, 0},
        PermissionCase{"BothMissingOnlyMicrophoneOpen", MicrophoneAuthorization::denied, false, 0,
                       "alert.micTitle", "alert.micMessage", 1, 0},
        PermissionCase{"BothMissingCancel", MicrophoneAuthorization::denied, false, 1,
                       "alert.micTitle", "alert.micMessage", 0, 0},
        PermissionCase{"AccessibilityMissingOpen", MicrophoneAuthorization::authorized, false, 0,
                       "alert.accTitle", "alert.accMessage", 0, 1},
        PermissionCase{"AccessibilityMissingCancel", MicrophoneAuthorization::authorized, false, 1,
                       "alert.accTitle", "alert.accMessage", 0, 0},
        PermissionCase{"AccessibilityMissingClosed", MicrophoneAuthorization::authorized, false, -1,
                       "alert.accTitle", "alert.accMessage", 0, 0}),
    [](const testing::TestParamInfo<PermissionCase>& info) { return std::string(info.param.name); });

namespace {

class SessionManagerStartTest : public SessionFixture
{
};

}  // namespace

// The alert waits in its own event loop: presses of the hot key meanwhile,
// even once the permission has been granted, neither stack another alert nor
// start a recording beneath it.
TEST_F(SessionManagerStartTest, PressesWhileAnAlertIsOpenAreIgnored)
{
    permissions.authorization = MicrophoneAuthorization::denied;
    buildReady();
    alerts.whileShown = [&] {
        hotkeys.press();
        spinFor(20);
        permissions.authorization = MicrophoneAuthorization::authorized;
        session->permissionManager().checkMicrophonePermission();
        hotkeys.press();
        spinFor(20);
    };
    freshLines();

    hotkeys.press();
    ASSERT_TRUE(waitUntil([&] { return !alerts.shown.isEmpty(); }));
    spinFor(20);

    EXPECT_EQ(alerts.shown.size(), 1);
    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_TRUE(session->database().fetchAllRecordings(std::nullopt, true).isEmpty());
    EXPECT_EQ(freshLines().filter("ignored toggle").size(), 2);

    // Once it is answered, the next press starts as usual.
    alerts.whileShown = {};
    hotkeys.press();
    ASSERT_TRUE(waitForState(SessionState::recording));
    const QString id = session->currentRecording()->id;
    session->cancelRecording();
    EXPECT_TRUE(slicesSettle(id, 1));
}

namespace {

struct StartFailureCase
{
    const char* name;
    ToneCapture::Options microphone;
    QString description;
};

void PrintTo(const StartFailureCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerStartFailure : public SessionFixture,
                                   public testing::WithParamInterface<StartFailureCase>
{
};

}  // namespace

TEST_P(SessionManagerStartFailure, StaysIdleWithTheErrorAndKeepsTheRow)
{
    const StartFailureCase c = GetParam();
    tone = c.microphone;
    buildReady();
    freshLines();

    session->toggleRecording();

    EXPECT_EQ(session->state(), SessionState::idle);
    EXPECT_EQ(session->errorMessage(), "Failed to start recording: " + c.description);
    EXPECT_EQ(freshLines().filter("SessionManager: "),
              QStringList{"ERROR SessionManager: failed to start recording: " + c.description});
    ASSERT_TRUE(session->currentRecording());
    const QString failedId = session->currentRecording()->id;
    const std::optional<Recording> stored = row(failedId);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->status, RecordingStatus::recording);
    EXPECT_EQ(describe(stored), describe(session->currentRecording()));
    EXPECT_TRUE(slices(failedId).isEmpty());

    // The next start replaces the recording; the message stays until that
    // dictation ends.
    tone = ToneCapture::Options{};
    session->toggleRecording();
    EXPECT_EQ(session->state(), SessionState::recording);
    ASSERT_TRUE(session->currentRecording());
    EXPECT_NE(session->currentRecording()->id, failedId);
    EXPECT_EQ(session->errorMessage(), "Failed to start recording: " + c.description);
    EXPECT_EQ(row(failedId)->status, RecordingStatus::recording);
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, SessionManagerStartFailure,
    testing::Values(
        StartFailureCase{"CaptureRefuses", {.startError = "Device or resource busy"},
                         "Device or resource busy"},
        StartFailureCase{"NoInputDevice", {.format = AudioFormat{}}, "No audio input device"}),
    [](const testing::TestParamInfo<StartFailureCase>& info) { return std::string(info.param.name); });

namespace {

struct DeviceIdCase
{
    const char* name;
    std::optional<QString> stored;
    bool generated;
};

void PrintTo(const DeviceIdCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerDeviceId : public SessionFixture,
                               public testing::WithParamInterface<DeviceIdCase>
{
};

}  // namespace

TEST_P(SessionManagerDeviceId, IsMadeOnceAndCarriedByEveryRecording)
{
    const DeviceIdCase c = GetParam();
    if (c.stored)
        prefs.setValue(PrefKey::deviceId, *c.stored);
    build();

    const QString id = session->deviceId();
    const QStringList lines = logLines();
    const QString initialized = "INFO App: initialization complete, deviceId: " + id + ", userId: local";
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), initialized);
    if (c.generated) {
        EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                        .match(id).hasMatch()) << id.toStdString();
        EXPECT_EQ(prefs.text(PrefKey::deviceId), id);
        ASSERT_GE(lines.size(), 2);
        EXPECT_EQ(lines[lines.size() - 2], "INFO DeviceId: generated new: " + id);
    } else {
        EXPECT_EQ(id, *c.stored);
    }
    EXPECT_EQ(lines.filter("DeviceId: ").size(), c.generated ? 1 : 0);
    EXPECT_EQ(session->deviceId(), id) << "kept in memory";

    ASSERT_TRUE(waitUntil([&] { return !permissions.trustChecks().isEmpty(); }));
    const QString recordingId = start();
    EXPECT_EQ(row(recordingId)->deviceId, id);

    // A later launch names the same id and makes none.
    session.reset();
    build(freshPlatform());
    EXPECT_EQ(session->deviceId(), id);
    EXPECT_EQ(logLines().filter("DeviceId: "), QStringList());
    EXPECT_EQ(logLines().last(), initialized);
}

INSTANTIATE_TEST_SUITE_P(
    FirstUse, SessionManagerDeviceId,
    testing::Values(DeviceIdCase{"Absent", std::nullopt, true},
                    DeviceIdCase{"Empty", QString(), true},
                    DeviceIdCase{"Stored", QString("0f8fad5b-d9cb-469f-a165-70867728950e"), false}),
    [](const testing::TestParamInfo<DeviceIdCase>& info) { return std::string(info.param.name); });

namespace {

struct SliceDurationCase
{
    const char* name;
    QVariant stored;   // invalid: absent
    double used;
};

void PrintTo(const SliceDurationCase& c, std::ostream* out) { *out << c.name; }

class SessionManagerSliceDuration : public SessionFixture,
                                    public testing::WithParamInterface<SliceDurationCase>
{
};

}  // namespace

// Read at every start; a value that could not time a slice (a hand-edited
// settings file) would cut one slice per pass of the event loop.
TEST_P(SessionManagerSliceDuration, IsCopiedIntoTheRecorderAtStart)
{
    const SliceDurationCase c = GetParam();
    buildReady();
    if (c.stored.isValid())
        prefs.setValue(PrefKey::sliceDuration, c.stored);

    const QString id = start();
    spinFor(50);

    EXPECT_EQ(session->audioRecorder().sliceDuration, c.used);
    EXPECT_TRUE(slices(id).isEmpty());
    session->cancelRecording();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SessionManagerSliceDuration,
    testing::Values(SliceDurationCase{"Absent", QVariant(), 30},
                    SliceDurationCase{"Stored", 45, 45},
                    SliceDurationCase{"Zero", 0, 30},
                    SliceDurationCase{"Negative", -15, 30}),
    [](const testing::TestParamInfo<SliceDurationCase>& info) { return std::string(info.param.name); });
