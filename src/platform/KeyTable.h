#pragma once

#include <QChar>
#include <QList>
#include <QString>
#include <Qt>

// A key a shortcut text can name. Keys are named by their position on the
// keyboard, not by the character the current layout gives them: the key at
// the US A position is "A" on every layout.
struct ShortcutKey
{
    QString name;       // as the shortcut text writes it
    int code = 0;       // the virtual key code the name stands for
    int xKeycode = 0;   // the X key code of the position (evdev code + 8)
    // Escape can be held as a hot key, but the recorder takes it as "cancel".
    bool recordable = true;
};

// A modifier of a shortcut: its glyph in the text, its mask in a hot-key
// combination (HotkeyModifier) and the toolkit's flag for it.
struct ShortcutModifier
{
    QChar glyph;
    int mask = 0;
    Qt::KeyboardModifier flag = Qt::NoModifier;
};

// The one table of shortcut keys and modifiers, shared by the recorder that
// writes shortcut texts, the hot-key manager that reads them and the X11
// key grab.
namespace KeyTable {

// Every key, Escape included.
const QList<ShortcutKey>& keys();
// The four modifiers in the order a shortcut text writes them: ⌃ ⌥ ⇧ ⌘.
const QList<ShortcutModifier>& modifiers();

// Exact, case-sensitive; null when no key has that name.
const ShortcutKey* byName(const QString& name);
const ShortcutKey* byCode(int code);
// The recordable key at an X key code; null for any other position.
const ShortcutKey* recordableAt(int xKeycode);

}
