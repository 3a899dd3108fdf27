// Without an X display (the offscreen platform) the key grab cannot work:
// it must say so rather than crash or pretend.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/x11/X11HotkeyBackend.h"
#include "session/HotkeyManager.h"
#include "support/LogCapture.h"
#include "support/QStringPrinter.h"

TEST(X11HotkeyBackendOffscreen, RegistrationFailsWithTheNoDisplayStatus)
{
    X11HotkeyBackend backend;
    const HotkeyStatus status = backend.registerHotkey(14, HotkeyModifier::command | HotkeyModifier::shift);
    EXPECT_EQ(status.code, HotkeyStatus::noDisplay);
    EXPECT_EQ(status.description, "no X11 connection: the application does not run on an X display");
    EXPECT_FALSE(backend.isRegistered());
    backend.unregisterHotkey();   // nothing to release, nothing to crash on
}

TEST(X11HotkeyBackendOffscreen, TheManagerReportsTheFailedRegistration)
{
    LogCapture log;
    HotkeyManager manager(log.logger, std::make_unique<X11HotkeyBackend>());
    EXPECT_EQ(manager.registerHotkey("\u2318 \u21e7 E", [] {}),
              "Failed to register hotkey '\u2318 \u21e7 E'. It may be in use by another application.");
    EXPECT_THAT(log.lines(), testing::ElementsAre("ERROR HotkeyManager: failed to register hotkey '\u2318 \u21e7 E', "
                                                  "status: -1"));
}
