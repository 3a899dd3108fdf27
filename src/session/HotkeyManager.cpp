#include "session/HotkeyManager.h"

#include <QHash>
#include <QList>
#include <QTimer>
#include <utility>

#include "store/Logger.h"

namespace {

const std::pair<QChar, int> kModifierGlyphs[] = {
    {QChar(0x2318), HotkeyModifier::command},   // ⌘
    {QChar(0x21e7), HotkeyModifier::shift},     // ⇧
    {QChar(0x2325), HotkeyModifier::option},    // ⌥
    {QChar(0x2303), HotkeyModifier::control},   // ⌃
};

constexpr int kSpaceKeyCode = 49;

// Key names (exact, case-sensitive) and their virtual key codes.
const QHash<QString, int>& keyCodesByName()
{
    static const QHash<QString, int> table = {
        {"Space", 49}, {"Return", 36}, {"Tab", 48}, {"Delete", 51}, {"Escape", 53},
        // The shortcut recorder writes the forward-delete key under this name.
        {"Fwd Delete", 117},
        {"\u2191", 126}, {"\u2193", 125}, {"\u2190", 123}, {"\u2192", 124},
        {"A", 0}, {"B", 11}, {"C", 8}, {"D", 2}, {"E", 14}, {"F", 3}, {"G", 5},
        {"H", 4}, {"I", 34}, {"J", 38}, {"K", 40}, {"L", 37}, {"M", 46},
        {"N", 45}, {"O", 31}, {"P", 35}, {"Q", 12}, {"R", 15}, {"S", 1}, {"T", 17},
        {"U", 32}, {"V", 9}, {"W", 13}, {"X", 7}, {"Y", 16}, {"Z", 6},
        {"0", 29}, {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21},
        {"5", 23}, {"6", 22}, {"7", 26}, {"8", 28}, {"9", 25},
        {"F1", 122}, {"F2", 120}, {"F3", 99}, {"F4", 118}, {"F5", 96}, {"F6", 97},
        {"F7", 98}, {"F8", 100}, {"F9", 101}, {"F10", 109}, {"F11", 103}, {"F12", 111},
    };
    return table;
}

struct KnownConflict
{
    const char* shortcut;
    const char* function;
};

const KnownConflict kKnownConflicts[] = {
    {"\u2318 Space", "Spotlight Search"},
    {"\u2303 Space", "Input Source Switching"},
    {"\u2303 \u2191", "Mission Control"},
    {"\u2303 \u2193", "Application Windows"},
    {"\u2318 \u21e5", "Application Switcher"},
};

}

HotkeyManager::HotkeyManager(Logger& logger, std::unique_ptr<HotkeyBackend> backend, QObject* parent)
    : QObject(parent)
    , m_logger(logger)
    , m_backend(std::move(backend))
{
    connect(m_backend.get(), &HotkeyBackend::pressed, this, &HotkeyManager::handlePress);
}

HotkeyManager::~HotkeyManager() = default;

std::optional<QString> HotkeyManager::registerHotkey(const QString& shortcut, Handler handler)
{
    if (m_backend->isRegistered()) {
        m_backend->unregisterHotkey();
        m_logger.info("HotkeyManager: unregistered hotkey");
    }
    m_onTrigger = std::move(handler);
    const std::optional<QString> warning = checkConflicts(shortcut);
    const ParsedShortcut parsed = parseShortcut(shortcut);

    // A bare key would be taken from every application on the desktop.
    if (parsed.modifiers == 0) {
        m_logger.error("HotkeyManager: failed to register hotkey '" + shortcut + "': no modifier key");
        return "Failed to register hotkey '" + shortcut
            + "'. A shortcut needs at least one modifier key (\u2303, \u2325, \u21e7 or \u2318).";
    }

    const HotkeyStatus status = m_backend->registerHotkey(parsed.keyCode, parsed.modifiers);
    if (status.isOk()) {
        m_logger.info("HotkeyManager: registered hotkey '" + shortcut + "'");
        return warning;
    }
    m_logger.error("HotkeyManager: failed to register hotkey '" + shortcut + "', status: "
                   + QString::number(status.code));
    return "Failed to register hotkey '" + shortcut + "'. It may be in use by another application.";
}

std::optional<QString> HotkeyManager::checkConflicts(const QString& shortcut) const
{
    for (const KnownConflict& conflict : kKnownConflicts) {
        if (shortcut == QString::fromUtf8(conflict.shortcut)) {
            const QString warning = "'" + shortcut + "' may conflict with " + conflict.function
                + ". You can still use it, but the system shortcut might take priority.";
            m_logger.warning("HotkeyManager: " + warning);
            return warning;
        }
    }
    return std::nullopt;
}

HotkeyManager::ParsedShortcut HotkeyManager::parseShortcut(const QString& shortcut)
{
    ParsedShortcut parsed{kSpaceKeyCode, 0};
    for (const auto& [glyph, mask] : kModifierGlyphs) {
        if (shortcut.contains(glyph))
            parsed.modifiers |= mask;
    }
    const QStringList pieces = shortcut.split(' ', Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return parsed;
    // "Fwd Delete" is the one key name with a space in it.
    if (pieces.size() >= 2) {
        const auto twoWords = keyCodesByName().constFind(pieces[pieces.size() - 2] + ' ' + pieces.last());
        if (twoWords != keyCodesByName().constEnd()) {
            parsed.keyCode = *twoWords;
            return parsed;
        }
    }
    parsed.keyCode = keyCodesByName().value(pieces.last(), kSpaceKeyCode);
    return parsed;
}

void HotkeyManager::handlePress()
{
    if (m_onTrigger) {
        // Its own task, so a press never runs inside the window system's
        // event delivery and comes after the work already queued.
        QTimer::singleShot(0, this, [handler = m_onTrigger] { handler(); });
    }
    m_logger.info("HotkeyManager: hotkey triggered");
}
