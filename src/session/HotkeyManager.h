#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "platform/HotkeyBackend.h"

class Logger;

// Turns the "shortcut" setting's text (modifier glyphs and one key name,
// separated by spaces) into the one system-wide hot key, and runs a handler
// for each press. Lives on the main thread.
class HotkeyManager : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void()>;

    HotkeyManager(Logger& logger, std::unique_ptr<HotkeyBackend> backend,
                  QObject* parent = nullptr);
    ~HotkeyManager() override;

    // Replaces any earlier registration and handler. Returns a conflict
    // warning, a failure message or none. Each press runs `handler` in a task
    // of its own on the main thread, after the work already queued there.
    std::optional<QString> registerHotkey(const QString& shortcut, Handler handler);

    // The warning (also logged) when `shortcut` is one of the well-known
    // system shortcuts, else none.
    std::optional<QString> checkConflicts(const QString& shortcut) const;

private:
    struct ParsedShortcut
    {
        int keyCode = 0;
        int modifiers = 0;
    };
    static ParsedShortcut parseShortcut(const QString& shortcut);
    void handlePress();

    Logger& m_logger;
    const std::unique_ptr<HotkeyBackend> m_backend;
    Handler m_onTrigger;
};
