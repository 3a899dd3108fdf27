#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "store/GlossaryItem.h"
#include "store/Recording.h"
#include "store/Slice.h"

// The rows of the backend's tables as local records and back.
namespace BackendRows {

// A pulled row as a record of `userId`, with what the sync engine judges it by.
template <typename Record>
struct Pulled
{
    Record record;
    // False when "updated_at" was missing or unreadable: the record carries
    // the pull's time instead.
    bool hasUpdateTime = false;
    // "user_id" when it is text.
    std::optional<QString> ownerId;
};

// None for a row the engine skips: an id (or recording id) that is not UUID
// text, a missing required key, a status outside its list. Ids come back in
// lower case; values of the wrong form take their defaults, missing times
// `now`.
std::optional<Pulled<GlossaryItem>> glossaryItem(const QJsonObject& row, const QString& userId,
                                                 const QDateTime& now);
std::optional<Pulled<Recording>> recording(const QJsonObject& row, const QString& userId,
                                           const QDateTime& now);
std::optional<Pulled<Slice>> slice(const QJsonObject& row, const QString& userId, const QDateTime& now);

// The object a push sends. No owner: the backend gives each row its owner.
QJsonObject toJson(const GlossaryItem& item);
QJsonObject toJson(const Recording& recording);
QJsonObject toJson(const Slice& slice);

// 8-4-4-4-12 hexadecimal digits, either case.
bool isUuidText(const QString& text);

}
