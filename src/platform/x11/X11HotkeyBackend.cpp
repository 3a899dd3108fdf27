#include "platform/x11/X11HotkeyBackend.h"

#include <QGuiApplication>
#include <X11/keysym.h>
#include <cstdlib>

#include "platform/KeyTable.h"
#include "platform/x11/X11Connection.h"

namespace {

// The modifier bits a grab and a key event's state are compared on; the
// group bits that XKB puts above them are not modifiers.
constexpr uint16_t kCoreModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL
    | XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 | XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

HotkeyStatus failure(int code, const QString& description)
{
    return {code, description};
}

HotkeyStatus fromXError(const xcb_generic_error_t& error)
{
    if (error.error_code == XCB_ACCESS)
        return failure(HotkeyStatus::badAccess, "another X client has grabbed this key combination");
    return failure(error.error_code, QString("X error %1 on the key grab").arg(error.error_code));
}

}

X11HotkeyBackend::X11HotkeyBackend(QObject* parent)
    : HotkeyBackend(parent)
{
    const std::optional<X11Connection> x11 = X11Connection::fromQt();
    if (!x11)
        return;
    m_connection = x11->get();
    m_root = x11->root();
    m_symbols = xcb_key_symbols_alloc(m_connection);
    m_bits = readModifierMapping();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotkeyBackend::~X11HotkeyBackend()
{
    // After the application object the connection is closed; nothing to release.
    if (!m_connection || !qGuiApp)
        return;
    ungrab();
    xcb_key_symbols_free(m_symbols);
}

HotkeyStatus X11HotkeyBackend::registerHotkey(int keyCode, int modifiers)
{
    unregisterHotkey();
    const Combination combination{keyCode, modifiers};
    const HotkeyStatus status = grab(combination);
    if (status.isOk())
        m_wanted = combination;
    return status;
}

void X11HotkeyBackend::unregisterHotkey()
{
    ungrab();
    m_wanted.reset();
}

HotkeyStatus X11HotkeyBackend::grab(const Combination& combination)
{
    if (!m_connection)
        return failure(HotkeyStatus::noDisplay, "no X11 connection: the application does not run on an X display");
    // The key's position, whatever the layout puts on it: the key the
    // recorder saw is the key grabbed.
    const ShortcutKey* key = KeyTable::byCode(combination.keyCode);
    if (!key)
        return failure(HotkeyStatus::unknownKey, QString("no X key for key code %1").arg(combination.keyCode));
    const auto keycode = xcb_keycode_t(key->xKeycode);

    uint16_t modifiers = 0;
    if (combination.modifiers & HotkeyModifier::command)
        modifiers |= m_bits.super;
    if (combination.modifiers & HotkeyModifier::shift)
        modifiers |= XCB_MOD_MASK_SHIFT;
    if (combination.modifiers & HotkeyModifier::option)
        modifiers |= m_bits.alt;
    if (combination.modifiers & HotkeyModifier::control)
        modifiers |= XCB_MOD_MASK_CONTROL;

    // Send every variant, then collect the answers: one round trip.
    QList<xcb_void_cookie_t> cookies;
    for (uint16_t variant : lockVariants()) {
        cookies << xcb_grab_key_checked(m_connection, 0, m_root, modifiers | variant, keycode,
                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    }
    std::optional<HotkeyStatus> refused;
    for (const xcb_void_cookie_t& cookie : cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
            if (!refused)
                refused = fromXError(*error);
            std::free(error);
        }
    }
    m_grab = Grab{keycode, modifiers};
    m_lastReleaseTime.reset();
    if (refused) {
        // All or none: a combination that works only with NumLock off is not held.
        ungrab();
        return *refused;
    }
    return {};
}

void X11HotkeyBackend::ungrab()
{
    if (!m_grab)
        return;
    // Ungrabbing a variant another client holds touches only our own grabs.
    QList<xcb_void_cookie_t> cookies;
    for (uint16_t variant : lockVariants())
        cookies << xcb_ungrab_key_checked(m_connection, m_grab->keycode, m_root, m_grab->modifiers | variant);
    // Wait until the server has done it, so that the combination is free for
    // other clients as soon as this returns.
    for (const xcb_void_cookie_t& cookie : cookies)
        std::free(xcb_request_check(m_connection, cookie));
    m_grab.reset();
}

QList<uint16_t> X11HotkeyBackend::lockVariants() const
{
    QList<uint16_t> variants = {0, XCB_MOD_MASK_LOCK};
    if (m_bits.numLock)
        variants << m_bits.numLock << uint16_t(m_bits.numLock | XCB_MOD_MASK_LOCK);
    return variants;
}

X11HotkeyBackend::ModifierBits X11HotkeyBackend::readModifierMapping() const
{
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(m_connection, xcb_get_modifier_mapping(m_connection), nullptr);
    if (!reply)
        return m_bits;
    std::optional<uint16_t> super, alt, numLock;
    const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply);
    const int perModifier = reply->keycodes_per_modifier;
    // Shift, Lock and Control are fixed; Mod1..Mod5 are whatever keys sit there.
    for (int modifier = 3; modifier < 8; ++modifier) {
        const auto bit = uint16_t(1 << modifier);
        for (int i = 0; i < perModifier; ++i) {
            const xcb_keycode_t keycode = keycodes[modifier * perModifier + i];
            if (keycode == XCB_NO_SYMBOL)
                continue;
            for (int column = 0; column < 4; ++column) {
                const xcb_keysym_t sym = xcb_key_symbols_get_keysym(m_symbols, keycode, column);
                if ((sym == XK_Super_L || sym == XK_Super_R) && !super)
                    super = bit;
                else if ((sym == XK_Alt_L || sym == XK_Alt_R) && !alt)
                    alt = bit;
                else if (sym == XK_Num_Lock && !numLock)
                    numLock = bit;
            }
        }
    }
    std::free(reply);
    return {super.value_or(XCB_MOD_MASK_4), alt.value_or(XCB_MOD_MASK_1), numLock.value_or(0)};
}

bool X11HotkeyBackend::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    switch (event->response_type & ~0x80) {
    case XCB_KEY_PRESS: {
        const auto& press = *reinterpret_cast<xcb_key_press_event_t*>(event);
        if (!isOurKey(press.detail, press.event))
            return false;
        handlePress(press);
        return true;
    }
    case XCB_KEY_RELEASE: {
        const auto& release = *reinterpret_cast<xcb_key_release_event_t*>(event);
        if (!isOurKey(release.detail, release.event))
            return false;
        handleRelease(release);
        return true;
    }
    case XCB_MAPPING_NOTIFY:
        // Qt follows the new mapping too.
        handleMappingChange(*reinterpret_cast<xcb_mapping_notify_event_t*>(event));
        return false;
    default:
        return false;
    }
}

bool X11HotkeyBackend::isOurKey(xcb_keycode_t keycode, xcb_window_t window) const
{
    // The grab reports to the root window (owner_events off), where no Qt
    // window gets key events of its own.
    return m_grab && keycode == m_grab->keycode && window == m_root;
}

void X11HotkeyBackend::handlePress(const xcb_key_press_event_t& event)
{
    const uint16_t ignored = XCB_MOD_MASK_LOCK | m_bits.numLock;
    if ((event.state & kCoreModifiers & ~ignored) != m_grab->modifiers)
        return;   // the key again while the grab is active, with other modifiers
    // A held key repeats as release+press pairs that share one X timestamp.
    if (m_lastReleaseTime && *m_lastReleaseTime == event.time)
        return;
    emit pressed();
}

void X11HotkeyBackend::handleRelease(const xcb_key_release_event_t& event)
{
    m_lastReleaseTime = event.time;
}

void X11HotkeyBackend::handleMappingChange(xcb_mapping_notify_event_t& event)
{
    if (event.request == XCB_MAPPING_POINTER)
        return;
    xcb_refresh_keyboard_mapping(m_symbols, &event);
    const ModifierBits bits = readModifierMapping();
    // The key's position does not move with the mapping (another layout, a
    // key given another symbol): a held grab stays unless the modifier bits
    // it was made with changed, so that no press is lost meanwhile.
    if (m_grab && bits == m_bits)
        return;
    // The old grab is released with the modifier bits it was made with.
    ungrab();
    m_bits = bits;
    if (!m_wanted)
        return;
    const HotkeyStatus status = grab(*m_wanted);
    if (!status.isOk()) {
        qWarning("X11HotkeyBackend: the hot key could not be grabbed again after a keyboard mapping change: %s",
                 qPrintable(status.description));
    }
}
