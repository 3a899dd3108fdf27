#include "store/Slice.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<SliceStatus, const char*>, 5> kTexts{{
    {SliceStatus::pending, "pending"},
    {SliceStatus::processing, "processing"},
    {SliceStatus::completed, "completed"},
    {SliceStatus::failed, "failed"},
    {SliceStatus::lost, "lost"},
}};
}

QString toText(SliceStatus status)
{
    for (const auto& [value, text] : kTexts)
        if (value == status)
            return QString::fromLatin1(text);
    return {};
}

std::optional<SliceStatus> sliceStatusFromText(const QString& text)
{
    for (const auto& [value, name] : kTexts)
        if (text == QLatin1String(name))
            return value;
    return std::nullopt;
}
