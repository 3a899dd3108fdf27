#include "store/Recording.h"

#include "store/EnumTexts.h"

namespace {
constexpr EnumTexts<RecordingStatus, 6> kTexts{{{
    {RecordingStatus::recording, "recording"},
    {RecordingStatus::paused, "paused"},
    {RecordingStatus::recorded, "recorded"},
    {RecordingStatus::transcribed, "transcribed"},
    {RecordingStatus::completed, "completed"},
    {RecordingStatus::failed, "failed"},
}}};
}

QString toText(RecordingStatus status)
{
    return kTexts.text(status);
}

std::optional<RecordingStatus> recordingStatusFromText(const QString& text)
{
    return kTexts.value(text);
}
