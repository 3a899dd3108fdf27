#pragma once

#include <QString>

class SessionManager;

namespace ProgressText {

// What the bars say while the controller's recording is processed: its slices
// transcribed of all, once the orchestrator counts them, else that
// processing goes on.
QString of(SessionManager& session);

}
