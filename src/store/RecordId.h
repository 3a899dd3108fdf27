#pragma once

#include <QString>

// A new record identifier: a random UUID as 36 lower-case characters.
QString newRecordId();
