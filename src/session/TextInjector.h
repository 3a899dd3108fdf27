#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <memory>
#include <optional>

#include "platform/AccessibleElement.h"
#include "platform/ClipboardReader.h"
#include "platform/DesktopWindows.h"
#include "session/ClipboardSnapshot.h"

class Accessibility;
class KeySynthesizer;
class Logger;
struct UnansweredRequest;

// The application (and its window title) a waiting text is meant for.
struct InjectionTarget
{
    QString appName;
    QString detail;

    bool operator==(const InjectionTarget&) const = default;
};

// The injector's waits; tests shrink them.
struct TextInjectorTiming
{
    // After asking the window manager to raise the target.
    std::chrono::milliseconds activationWait = std::chrono::milliseconds(500);
    // After the accessibility write, before reading the field back.
    std::chrono::milliseconds readBackWait = std::chrono::milliseconds(50);
    // From the paste to putting the clipboard's earlier content back.
    std::chrono::milliseconds clipboardRestoreDelay = std::chrono::milliseconds(500);
};

// Puts a dictation's text into the application that had focus when the
// recording began: brings it back to the front, writes the text into its
// focused field through accessibility and checks it by reading the field back,
// else pastes it through the clipboard with a synthetic paste shortcut and
// afterwards puts back what the clipboard held. Main thread only; blocks it
// during its waits.
class TextInjector : public QObject
{
    Q_OBJECT
public:
    // Characters of a field's value shown in the context log line.
    static constexpr int kContextValueLimit = 200;

    TextInjector(Logger& logger, std::unique_ptr<DesktopWindows> windows,
                 std::unique_ptr<Accessibility> accessibility,
                 std::unique_ptr<KeySynthesizer> keys,
                 std::unique_ptr<ClipboardReader> clipboardReader = {},
                 TextInjectorTiming timing = {}, QObject* parent = nullptr);
    ~TextInjector() override;

    // Remembers the frontmost application (never this process itself) as the
    // target and logs what its focused field holds.
    void captureTarget();
    // The two halves of captureTarget(). Reading the field asks the target
    // over the accessibility bus, which may take until its deadline (and until
    // the hot key is let go): a recording starts between the two, so that no
    // word is lost to that wait.
    void rememberTarget();
    void logCursorContext();
    // True when the text was written or pasted. False when it was not: the
    // target could not be brought back to the front, or the paste's key
    // events could not be posted. Control characters other than line feed
    // and tab (and DEL) are left out of what the target receives.
    bool inject(const QString& text);
    // The target (or, without one, the frontmost application) and its
    // focused window's title; none when there is neither.
    std::optional<InjectionTarget> getCurrentTarget() const;
    void copyToClipboard(const QString& text);

    // The desktop backend it brings targets to the front with.
    DesktopWindows& windows() { return *m_windows; }

    const std::optional<DesktopApplication>& targetApp() const { return m_targetApp; }
    void clearTargetApp() { m_targetApp.reset(); }

private:
    // The frontmost application unless it is this process.
    std::optional<DesktopApplication> frontmostOtherApplication() const;
    // The target once it is frontmost; none when it could not be brought there.
    std::optional<DesktopApplication> bringTargetToFront();
    bool pasteToCursor(const QString& text);
    void restoreClipboard();
    // Takes back what a write put into the field when it is not what was asked.
    void undoWrite(AccessibleElement& element, const QString& before, TextSpan span,
                   const QString& after);
    void logUnanswered(const UnansweredRequest& request);
    // The focused element of `application`, the frontmost one.
    std::unique_ptr<AccessibleElement> getFocusedElement(const std::optional<DesktopApplication>& application) const;

    Logger& m_logger;
    std::unique_ptr<DesktopWindows> m_windows;
    std::unique_ptr<Accessibility> m_accessibility;
    std::unique_ptr<KeySynthesizer> m_keys;
    const TextInjectorTiming m_timing;
    std::optional<DesktopApplication> m_targetApp;

    // What a paste replaced, until it is put back.
    struct PendingRestore
    {
        ClipboardSnapshot previous;
        QString pasted;
    };
    std::optional<PendingRestore> m_pendingRestore;
    QTimer m_restoreTimer;
    // Reads another program's clipboard for the snapshot, within limits;
    // without one the toolkit reads it.
    const std::unique_ptr<ClipboardReader> m_clipboardReader;
};
