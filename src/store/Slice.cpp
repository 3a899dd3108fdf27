#include "store/Slice.h"

#include "store/EnumTexts.h"

namespace {
constexpr EnumTexts<SliceStatus, 5> kTexts{{{
    {SliceStatus::pending, "pending"},
    {SliceStatus::processing, "processing"},
    {SliceStatus::completed, "completed"},
    {SliceStatus::failed, "failed"},
    {SliceStatus::lost, "lost"},
}}};
}

QString toText(SliceStatus status)
{
    return kTexts.text(status);
}

std::optional<SliceStatus> sliceStatusFromText(const QString& text)
{
    return kTexts.value(text);
}
