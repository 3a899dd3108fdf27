#pragma once

#include <functional>
#include <memory>

// The microphone authorisation the platform reports, with its numeric values.
enum class MicrophoneAuthorization {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

// The two permissions dictation needs, as the platform reports them: access
// to the microphone and trust for accessibility (writing into and posting
// keys to other applications), plus the places where the user grants them.
// Called on the main thread.
class PermissionProvider
{
public:
    using AccessAnswer = std::function<void(bool granted)>;

    virtual ~PermissionProvider();
    PermissionProvider(const PermissionProvider&) = delete;
    PermissionProvider& operator=(const PermissionProvider&) = delete;

    virtual MicrophoneAuthorization microphoneAuthorization() const = 0;
    // Asks the user for microphone access. `answer` is called once, on any
    // thread, possibly before this returns. A request may be made while an
    // earlier one is still unanswered.
    virtual void requestMicrophoneAccess(AccessAnswer answer) = 0;

    // Whether the process is trusted for accessibility; with `prompt` the
    // platform may also show its own trust prompt when it is not.
    virtual bool isAccessibilityTrusted(bool prompt) = 0;

    // Open the platform's microphone and accessibility settings. Return
    // false when there is nothing that could be opened.
    virtual bool openMicrophoneSettings() = 0;
    virtual bool openAccessibilitySettings() = 0;

protected:
    PermissionProvider() = default;
};
