#pragma once

#include <QLatin1String>
#include <QString>
#include <array>
#include <cstddef>
#include <optional>
#include <utility>

// A fixed table between the values of an enumeration and the texts the store
// and the log lines write for them.
template <typename E, std::size_t N>
struct EnumTexts
{
    std::array<std::pair<E, const char*>, N> entries;

    // The value's text; empty for a value the table lacks.
    QString text(E value) const
    {
        for (const auto& [entry, name] : entries)
            if (entry == value)
                return QString::fromLatin1(name);
        return {};
    }

    // The value `text` names exactly; none for any other text.
    std::optional<E> value(const QString& text) const
    {
        for (const auto& [entry, name] : entries)
            if (text == QLatin1String(name))
                return entry;
        return std::nullopt;
    }
};
