#include "platform/KeyTable.h"

#include <algorithm>

#include "platform/HotkeyBackend.h"

namespace KeyTable {

const QList<ShortcutKey>& keys()
{
    static const QList<ShortcutKey> table = {
        {"Space", 49, 65}, {"Return", 36, 36}, {"Tab", 48, 23},
        {"Delete", 51, 22},        // the backspace key
        {"Fwd Delete", 117, 119},  // the delete key; the one name with a space
        {"Escape", 53, 9, false},
        {"\u2191", 126, 111}, {"\u2193", 125, 116}, {"\u2190", 123, 113}, {"\u2192", 124, 114},
        {"A", 0, 38}, {"B", 11, 56}, {"C", 8, 54}, {"D", 2, 40}, {"E", 14, 26}, {"F", 3, 41},
        {"G", 5, 42}, {"H", 4, 43}, {"I", 34, 31}, {"J", 38, 44}, {"K", 40, 45}, {"L", 37, 46},
        {"M", 46, 58}, {"N", 45, 57}, {"O", 31, 32}, {"P", 35, 33}, {"Q", 12, 24}, {"R", 15, 27},
        {"S", 1, 39}, {"T", 17, 28}, {"U", 32, 30}, {"V", 9, 55}, {"W", 13, 25}, {"X", 7, 53},
        {"Y", 16, 29}, {"Z", 6, 52},
        {"0", 29, 19}, {"1", 18, 10}, {"2", 19, 11}, {"3", 20, 12}, {"4", 21, 13},
        {"5", 23, 14}, {"6", 22, 15}, {"7", 26, 16}, {"8", 28, 17}, {"9", 25, 18},
        {"F1", 122, 67}, {"F2", 120, 68}, {"F3", 99, 69}, {"F4", 118, 70}, {"F5", 96, 71},
        {"F6", 97, 72}, {"F7", 98, 73}, {"F8", 100, 74}, {"F9", 101, 75}, {"F10", 109, 76},
        {"F11", 103, 95}, {"F12", 111, 96},
    };
    return table;
}

const QList<ShortcutModifier>& modifiers()
{
    static const QList<ShortcutModifier> table = {
        {QChar(0x2303), HotkeyModifier::control, Qt::ControlModifier},   // ⌃
        {QChar(0x2325), HotkeyModifier::option, Qt::AltModifier},        // ⌥
        {QChar(0x21e7), HotkeyModifier::shift, Qt::ShiftModifier},       // ⇧
        {QChar(0x2318), HotkeyModifier::command, Qt::MetaModifier},      // ⌘: Super
    };
    return table;
}

namespace {

template <typename Matches>
const ShortcutKey* find(Matches matches)
{
    const auto found = std::find_if(keys().cbegin(), keys().cend(), matches);
    return found == keys().cend() ? nullptr : &*found;
}

}

const ShortcutKey* byName(const QString& name)
{
    return find([&](const ShortcutKey& key) { return key.name == name; });
}

const ShortcutKey* byCode(int code)
{
    return find([&](const ShortcutKey& key) { return key.code == code; });
}

const ShortcutKey* recordableAt(int xKeycode)
{
    return find([&](const ShortcutKey& key) { return key.recordable && key.xKeycode == xKeycode; });
}

}
