#pragma once

#include <QObject>
#include <QString>
#include <memory>

// Modifier masks of a key combination (the values the stored shortcut text's
// glyphs stand for; a combination's mask is their sum).
namespace HotkeyModifier {
inline constexpr int command = 256;   // "⌘": Super on Linux
inline constexpr int shift = 512;     // "⇧"
inline constexpr int option = 2048;   // "⌥": Alt
inline constexpr int control = 4096;  // "⌃"
}

// The outcome of a registration: 0 on success, else a number that tells the
// failure apart (a window-system error code, or one of the negative codes
// below) and a sentence that explains it, for diagnostics; the hot-key
// manager logs only the number.
struct HotkeyStatus
{
    static constexpr int ok = 0;
    static constexpr int noDisplay = -1;     // no window-system connection (e.g. offscreen)
    static constexpr int unknownKey = -2;    // the key code names no key this backend knows
    static constexpr int badAccess = 10;     // another client holds the combination (X11 BadAccess)

    int code = ok;
    QString description;

    bool isOk() const { return code == ok; }
};

// The one system-wide key combination of the application. Lives on the main
// thread; pressed() is emitted there, once per physical press (auto-repeated
// presses of a held key are not reported).
class HotkeyBackend : public QObject
{
    Q_OBJECT
public:
    ~HotkeyBackend() override;

    // Takes the combination of `keyCode` (a virtual key code of the stored
    // shortcut's key table) and `modifiers` (a sum of HotkeyModifier masks).
    // At most one combination is held: call unregisterHotkey() first. On
    // failure nothing is held.
    virtual HotkeyStatus registerHotkey(int keyCode, int modifiers) = 0;
    // Releases the held combination; does nothing when none is held.
    virtual void unregisterHotkey() = 0;
    virtual bool isRegistered() const = 0;

signals:
    void pressed();

protected:
    explicit HotkeyBackend(QObject* parent = nullptr);
};
