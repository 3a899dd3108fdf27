#pragma once

#include <QMetaType>
#include <optional>

#include "sync/BackendSession.h"

// One element of the auth-state stream.
struct AuthStateChange
{
    enum class Event { initialSession, signedIn, signedOut, tokenRefreshed };

    Event event = Event::initialSession;
    std::optional<BackendSession> session;   // none for signedOut, and for an initial element without one
};

Q_DECLARE_METATYPE(AuthStateChange)
