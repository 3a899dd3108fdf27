#include "store/Recording.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<RecordingStatus, const char*>, 6> kTexts{{
    {RecordingStatus::recording, "recording"},
    {RecordingStatus::paused, "paused"},
    {RecordingStatus::recorded, "recorded"},
    {RecordingStatus::transcribed, "transcribed"},
    {RecordingStatus::completed, "completed"},
    {RecordingStatus::failed, "failed"},
}};
}

QString toText(RecordingStatus status)
{
    for (const auto& [value, text] : kTexts)
        if (value == status)
            return QString::fromLatin1(text);
    return {};
}

std::optional<RecordingStatus> recordingStatusFromText(const QString& text)
{
    for (const auto& [value, name] : kTexts)
        if (text == QLatin1String(name))
            return value;
    return std::nullopt;
}
