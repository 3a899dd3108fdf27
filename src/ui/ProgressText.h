#pragma once

#include <QString>

class SessionManager;

namespace ProgressText {

// What the bars say while a recording is processed: the slices transcribed of
// all, once the orchestrator counts them, else that processing goes on.
QString of(SessionManager& session);

}
