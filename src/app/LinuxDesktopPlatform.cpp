#include "app/LinuxDesktopPlatform.h"

#include "platform/atspi/AtspiAccessibility.h"
#include "platform/ffmpeg/FfmpegAudioFileProbe.h"
#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "platform/qt/MessageBoxAlertPresenter.h"
#include "platform/qt/QtAudioCapture.h"
#include "platform/x11/LinuxPermissionProvider.h"
#include "platform/x11/X11ClipboardReader.h"
#include "platform/x11/X11DesktopWindows.h"
#include "platform/x11/X11HotkeyBackend.h"
#include "platform/x11/X11KeySynthesizer.h"
#include "platform/x11/X11WindowHints.h"
#include "ui/FloatingPanelController.h"

SessionPlatform linuxDesktopPlatform()
{
    SessionPlatform platform;
    platform.audioCapture = [] { return std::make_unique<QtAudioCapture>(); };
    platform.audioFileWriter = [] { return std::make_unique<FfmpegAudioFileWriter>(); };
    platform.hotkeys = std::make_unique<X11HotkeyBackend>();
    platform.windows = std::make_unique<X11DesktopWindows>();
    platform.accessibility = std::make_unique<AtspiAccessibility>();
    platform.keys = std::make_unique<X11KeySynthesizer>();
    platform.clipboardReader = std::make_unique<X11ClipboardReader>();
    platform.permissions = std::make_unique<LinuxPermissionProvider>();
    platform.alerts = std::make_unique<MessageBoxAlertPresenter>();
    platform.leftoverAudio = finishLeftoverAudioFile;
    platform.floatingPanel = [](SessionManager& session) {
        return std::make_unique<FloatingPanelController>(session, x11WindowHints());
    };
    return platform;
}
