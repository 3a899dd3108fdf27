#include "ui/ProgressText.h"

#include "session/SessionManager.h"
#include "store/LocaleManager.h"

namespace ProgressText {

QString of(SessionManager& session)
{
    const TranscriptionOrchestrator::Progress progress = session.orchestrator().progress();
    // The counts may be a retry's from the history, running beside this one.
    const bool ours = session.currentRecording() && session.currentRecording()->id == progress.recordingId;
    if (ours && progress.total > 0)
        return session.locale().text("status.transcribing", progress.completed, progress.total);
    return session.locale().text("status.processing");
}

}
