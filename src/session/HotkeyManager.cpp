#include "session/HotkeyManager.h"

#include <QStringList>
#include <QTimer>
#include <utility>

#include "platform/KeyTable.h"
#include "store/Logger.h"

namespace {

constexpr auto kFallbackKeyName = "Space";

// The well-known system shortcuts, held as combinations: the recorder's text
// for one ("\u2318 Tab", the glyphs in its own order) conflicts as any other
// text of the same keys does.
struct KnownConflict
{
    const char* keyName;
    int modifiers;
    const char* function;
};

const KnownConflict kKnownConflicts[] = {
    {"Space", HotkeyModifier::command, "Spotlight Search"},
    {"Space", HotkeyModifier::control, "Input Source Switching"},
    {"\u2191", HotkeyModifier::control, "Mission Control"},
    {"\u2193", HotkeyModifier::control, "Application Windows"},
    {"Tab", HotkeyModifier::command, "Application Switcher"},
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
    const ParsedShortcut parsed = parseShortcut(shortcut);
    for (const KnownConflict& conflict : kKnownConflicts) {
        if (parsed.keyCode == KeyTable::byName(QString::fromUtf8(conflict.keyName))->code
            && parsed.modifiers == conflict.modifiers) {
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
    ParsedShortcut parsed{KeyTable::byName(kFallbackKeyName)->code, 0};
    for (const ShortcutModifier& modifier : KeyTable::modifiers()) {
        if (shortcut.contains(modifier.glyph))
            parsed.modifiers |= modifier.mask;
    }
    const QStringList pieces = shortcut.split(' ', Qt::SkipEmptyParts);
    if (pieces.isEmpty())
        return parsed;
    // "Fwd Delete" is the one key name with a space in it.
    const ShortcutKey* key = nullptr;
    if (pieces.size() >= 2)
        key = KeyTable::byName(pieces[pieces.size() - 2] + ' ' + pieces.last());
    if (!key)
        key = KeyTable::byName(pieces.last());
    if (key)
        parsed.keyCode = key->code;
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
