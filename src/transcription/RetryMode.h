#pragma once

// How a stored recording is processed again from the recordings screen.
enum class RetryMode {
    // Transcribe the slices that have no text and nobody is working on (failed
    // ones, and pending or processing ones left behind), then finalise.
    retryFailed,
    // Reset and transcribe every slice again, reset the recording's texts, then
    // finalise. Only for a recording whose every slice still has its audio.
    regenerate,
};
