#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "session/HotkeyManager.h"
#include "support/FakeHotkeyBackend.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using Combination = FakeHotkeyBackend::Combination;

constexpr int kCommand = 256;
constexpr int kShift = 512;
constexpr int kOption = 2048;
constexpr int kControl = 4096;

class HotkeyManagerTest : public testing::Test
{
protected:
    HotkeyManagerTest()
    {
        auto owned = std::make_unique<FakeHotkeyBackend>();
        backend = owned.get();
        manager = std::make_unique<HotkeyManager>(log.logger, std::move(owned));
    }

    // What `shortcut` registers, or none when nothing reached the backend.
    std::optional<Combination> registered(const QString& shortcut)
    {
        manager->registerHotkey(shortcut, [] {});
        return backend->registered();
    }

    LogCapture log;
    FakeHotkeyBackend* backend = nullptr;
    std::unique_ptr<HotkeyManager> manager;
};

TEST_F(HotkeyManagerTest, ParsesGlyphsAnywhereAndTheLastPieceAsTheKeyName)
{
    const struct {
        QString text;
        Combination expected;
    } cases[] = {
        {"\u2318 \u21e7 E", {14, kCommand | kShift}},   // the default
        {"\u21e7 \u2318 E", {14, kCommand | kShift}},
        {"\u2303 \u2325 Space", {49, kControl | kOption}},
        {"\u2303 \u2325 \u21e7 \u2318 F12", {111, kControl | kOption | kShift | kCommand}},
        {"\u2318\u21e7 E", {14, kCommand | kShift}},        // glyphs need no space between them
        {"  \u2318   \u21e7  E ", {14, kCommand | kShift}},   // empty pieces are dropped
        {"\u2318 \u2318 E", {14, kCommand}},                // each glyph counts once
        {"\u2318 E \u21e7", {49, kCommand | kShift}},       // the last piece is the key name
        {"\u2318E", {49, kCommand}},
        {"\u2318", {49, kCommand}},
        {"\u2318 e", {49, kCommand}},                       // names are case-sensitive
        {"\u2318 Home", {49, kCommand}},
        {"\u2318 \u21e5", {49, kCommand}},
        {"\u2318 Delete", {51, kCommand}},
        {"\u2318 Fwd Delete", {117, kCommand}},             // the one name with a space
        {"\u2318 \u21e7 Fwd Delete", {117, kCommand | kShift}},
        {"\u2318 Fwd", {49, kCommand}},
        {"\u2318 Fwd  Delete", {117, kCommand}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(registered(c.text), c.expected) << c.text.toStdString();
}

TEST_F(HotkeyManagerTest, EveryKeyNameHasItsKeyCode)
{
    const std::pair<const char*, int> names[] = {
        {"Space", 49}, {"Return", 36}, {"Tab", 48}, {"Delete", 51}, {"Escape", 53},
        {"Fwd Delete", 117}, {"\u2191", 126}, {"\u2193", 125}, {"\u2190", 123}, {"\u2192", 124},
        {"A", 0}, {"B", 11}, {"C", 8}, {"D", 2}, {"E", 14}, {"F", 3}, {"G", 5}, {"H", 4},
        {"I", 34}, {"J", 38}, {"K", 40}, {"L", 37}, {"M", 46}, {"N", 45}, {"O", 31}, {"P", 35},
        {"Q", 12}, {"R", 15}, {"S", 1}, {"T", 17}, {"U", 32}, {"V", 9}, {"W", 13}, {"X", 7},
        {"Y", 16}, {"Z", 6}, {"0", 29}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"5", 23},
        {"6", 22}, {"7", 26}, {"8", 28}, {"9", 25}, {"F1", 122}, {"F2", 120}, {"F3", 99},
        {"F4", 118}, {"F5", 96}, {"F6", 97}, {"F7", 98}, {"F8", 100}, {"F9", 101}, {"F10", 109},
        {"F11", 103}, {"F12", 111},
    };
    for (const auto& [name, code] : names) {
        const QString text = QString::fromUtf8("\u2303 ") + QString::fromUtf8(name);
        EXPECT_EQ(registered(text), (Combination{code, kControl})) << name;
    }
}

TEST_F(HotkeyManagerTest, RefusesAShortcutWithoutAModifier)
{
    ASSERT_TRUE(registered("\u2318 \u21e7 E"));
    for (const QString text : {"E", "Space", "Fwd Delete", "", "  ", "\u21e5"}) {
        const std::optional<QString> result = manager->registerHotkey(text, [] {});
        EXPECT_EQ(result, "Failed to register hotkey '" + text
                              + "'. A shortcut needs at least one modifier key (\u2303, \u2325, \u21e7 or \u2318).");
        EXPECT_FALSE(backend->isRegistered()) << text.toStdString();
        EXPECT_EQ(log.fresh().filter("ERROR").value(0),
                  "ERROR HotkeyManager: failed to register hotkey '" + text + "': no modifier key");
    }
    // The earlier key was released first; no bare key ever reached the window system.
    EXPECT_THAT(backend->calls(), ElementsAre("register 14 768", "unregister"));
}

TEST_F(HotkeyManagerTest, WarnsAboutTheKnownSystemShortcutsAndStillRegisters)
{
    const struct {
        QString text;
        QString function;
        Combination expected;
    } conflicts[] = {
        {"\u2318 Space", "Spotlight Search", {49, kCommand}},
        {"\u2303 Space", "Input Source Switching", {49, kControl}},
        {"\u2303 \u2191", "Mission Control", {126, kControl}},
        {"\u2303 \u2193", "Application Windows", {125, kControl}},
        {"\u2318 Tab", "Application Switcher", {48, kCommand}},
    };
    for (const auto& c : conflicts) {
        const QString warning = "'" + c.text + "' may conflict with " + c.function
            + ". You can still use it, but the system shortcut might take priority.";
        log.fresh();
        EXPECT_EQ(manager->registerHotkey(c.text, [] {}), warning);
        EXPECT_EQ(backend->registered(), c.expected) << c.text.toStdString();
        EXPECT_EQ(log.fresh().filter("WARN"), QStringList{"WARN HotkeyManager: " + warning});
        EXPECT_EQ(manager->checkConflicts(c.text), warning);
    }
}

// A conflict is the same keys, however the text writes them; the warning
// quotes the text as the user has it.
TEST_F(HotkeyManagerTest, AnyTextOfTheSameKeysConflicts)
{
    const struct {
        QString text;
        std::optional<QString> function;
    } cases[] = {
        {"\u2318 Tab", "Application Switcher"},          // as the recorder writes it
        {"\u2318  Space", "Spotlight Search"},
        {" \u2303 Space ", "Input Source Switching"},
        {"\u2303 \u2191", "Mission Control"},
        {"\u2318 \u21e5", "Spotlight Search"},            // "\u21e5" names no key: Space is held
        {"\u2318 \u21e7 E", std::nullopt},
        {"\u2318 \u21e7 Space", std::nullopt},
        {"\u2303 \u2325 \u2191", std::nullopt},
        {"\u21e7 Tab", std::nullopt},
        {"\u2325 Tab", std::nullopt},
    };
    for (const auto& c : cases) {
        log.fresh();
        const std::optional<QString> warning = c.function
            ? std::optional<QString>("'" + c.text + "' may conflict with " + *c.function
                                     + ". You can still use it, but the system shortcut might take priority.")
            : std::nullopt;
        EXPECT_EQ(manager->checkConflicts(c.text), warning) << c.text.toStdString();
        EXPECT_EQ(log.fresh().filter("WARN").size(), warning ? 1 : 0) << c.text.toStdString();
    }
}

TEST_F(HotkeyManagerTest, ARefusedRegistrationReturnsOnlyTheFailureAndHoldsNothing)
{
    backend->refuseWith({HotkeyStatus::badAccess, "another X client has grabbed this key combination"});
    int presses = 0;
    const auto result = manager->registerHotkey("\u2318 Space", [&] { ++presses; });

    EXPECT_EQ(result, "Failed to register hotkey '\u2318 Space'. It may be in use by another application.");
    EXPECT_FALSE(backend->isRegistered());
    EXPECT_THAT(log.lines(),
                ElementsAre("WARN HotkeyManager: '\u2318 Space' may conflict with Spotlight Search. You can still "
                            "use it, but the system shortcut might take priority.",
                            "ERROR HotkeyManager: failed to register hotkey '\u2318 Space', status: 10"));

    // Nothing was held, so the next registration has nothing to release.
    backend->refuseWith({});
    EXPECT_EQ(manager->registerHotkey("\u2318 \u21e7 E", [&] { ++presses; }), std::nullopt);
    EXPECT_THAT(backend->calls(), ElementsAre("register 49 256", "register 14 768"));
    EXPECT_THAT(log.lines().filter("unregistered"), IsEmpty());
}

TEST_F(HotkeyManagerTest, RegisteringAgainReleasesTheOldKeyFirstAndOnlyTheNewHandlerRuns)
{
    int first = 0;
    int second = 0;
    manager->registerHotkey("\u2318 \u21e7 E", [&] { ++first; });
    manager->registerHotkey("\u2303 \u2325 Space", [&] { ++second; });

    EXPECT_THAT(backend->calls(), ElementsAre("register 14 768", "unregister", "register 49 6144"));
    EXPECT_THAT(log.lines(), ElementsAre("INFO HotkeyManager: registered hotkey '\u2318 \u21e7 E'",
                                         "INFO HotkeyManager: unregistered hotkey",
                                         "INFO HotkeyManager: registered hotkey '\u2303 \u2325 Space'"));
    backend->press();
    QCoreApplication::processEvents();
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST_F(HotkeyManagerTest, APressRunsTheHandlerInATaskQueuedAfterTheWaitingWork)
{
    std::vector<std::string> order;
    manager->registerHotkey("\u2318 \u21e7 E", [&] { order.push_back("handler"); });
    log.fresh();

    QTimer::singleShot(0, [&] { order.push_back("queued before"); });
    backend->press();
    EXPECT_THAT(order, IsEmpty()) << "the handler ran inside the press delivery";
    EXPECT_THAT(log.fresh(), ElementsAre("INFO HotkeyManager: hotkey triggered"));

    QCoreApplication::processEvents();
    EXPECT_THAT(order, ElementsAre("queued before", "handler"));

    backend->press();
    backend->press();
    QCoreApplication::processEvents();
    EXPECT_EQ(std::count(order.begin(), order.end(), "handler"), 3);
}

TEST_F(HotkeyManagerTest, APressPendingWhenTheManagerGoesRunsNothing)
{
    int presses = 0;
    manager->registerHotkey("\u2318 \u21e7 E", [&] { ++presses; });
    backend->press();
    manager.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(presses, 0);
}

}
