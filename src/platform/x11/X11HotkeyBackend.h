#pragma once

#include <QAbstractNativeEventFilter>
#include <QList>
#include <optional>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include "platform/HotkeyBackend.h"

// HotkeyBackend as a passive key grab on the X root window, on the
// application's own X11 connection, so the presses arrive through Qt's event
// stream (read by a native event filter).
//
// The grab covers the combination with NumLock and CapsLock in every state.
// The key is the shortcut key's position (the key table's X key code), on
// every keyboard layout. The modifier bits of Super, Alt and NumLock come from
// the current modifier mapping, and the grab follows when it changes.
class X11HotkeyBackend final : public HotkeyBackend, public QAbstractNativeEventFilter
{
public:
    // Needs the application object; without an X11 connection (the offscreen
    // platform) every registration fails with HotkeyStatus::noDisplay.
    explicit X11HotkeyBackend(QObject* parent = nullptr);
    // Releases the grab: a backend that is gone could not report a press.
    ~X11HotkeyBackend() override;

    HotkeyStatus registerHotkey(int keyCode, int modifiers) override;
    void unregisterHotkey() override;
    bool isRegistered() const override { return m_wanted.has_value(); }

    // The X key code grabbed now, 0 when nothing is grabbed. A registration
    // stays even when a mapping change leaves it ungrabbable (another client
    // holds the combination with the new modifier bits): it is grabbed again
    // at the next mapping change that allows it.
    xcb_keycode_t grabbedKeycode() const { return m_grab ? m_grab->keycode : 0; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Combination
    {
        int keyCode = 0;
        int modifiers = 0;
    };
    // The modifier bits of Super, Alt and NumLock in the modifier mapping.
    struct ModifierBits
    {
        uint16_t super = XCB_MOD_MASK_4;
        uint16_t alt = XCB_MOD_MASK_1;
        uint16_t numLock = 0;
        bool operator==(const ModifierBits&) const = default;
    };
    struct Grab
    {
        xcb_keycode_t keycode = 0;
        uint16_t modifiers = 0;   // X modifier bits, without the lock variants
    };

    // Resolves `combination` on the current mappings and grabs it with every
    // lock variant, all or none.
    HotkeyStatus grab(const Combination& combination);
    void ungrab();
    ModifierBits readModifierMapping() const;
    QList<uint16_t> lockVariants() const;

    void handlePress(const xcb_key_press_event_t& event);
    void handleRelease(const xcb_key_release_event_t& event);
    void handleMappingChange(xcb_mapping_notify_event_t& event);
    bool isOurKey(xcb_keycode_t keycode, xcb_window_t window) const;

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
    xcb_key_symbols_t* m_symbols = nullptr;
    ModifierBits m_bits;

    std::optional<Combination> m_wanted;   // what was registered
    std::optional<Grab> m_grab;            // what is grabbed on the server now

    // The time of the last release of the key: a press at that same time is
    // the key's auto-repeat, not a new press.
    std::optional<xcb_timestamp_t> m_lastReleaseTime;
};
