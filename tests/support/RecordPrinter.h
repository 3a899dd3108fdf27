#pragma once

#include <optional>
#include <string>

#include "store/GlossaryItem.h"
#include "store/Recording.h"
#include "store/Slice.h"

// Every field of a record in one line, so that a mismatch shows which field
// differs.
std::string describe(const Recording& r);
std::string describe(const Slice& s);
std::string describe(const GlossaryItem& g);

template <typename Record>
std::string describe(const std::optional<Record>& record)
{
    return record ? describe(*record) : std::string("none");
}
