#include "session/TextInjector.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QThread>

#include "platform/Accessibility.h"
#include "platform/Graphemes.h"
#include "platform/KeySynthesizer.h"
#include "store/Logger.h"

namespace {

QString nameOr(const DesktopApplication& application, const QString& fallback)
{
    return application.name.isEmpty() ? fallback : application.name;
}

QString count(const QString& text)
{
    return QString::number(Graphemes::count(text));
}

void waitOnThisThread(std::chrono::milliseconds duration)
{
    QThread::msleep(static_cast<unsigned long>(duration.count()));
}

}

TextInjector::TextInjector(Logger& logger, QObject* parent)
    : TextInjector(logger, DesktopWindows::createDefault(), Accessibility::createDefault(),
                   KeySynthesizer::createDefault(), TextInjectorTiming{}, parent)
{
}

TextInjector::TextInjector(Logger& logger, std::unique_ptr<DesktopWindows> windows,
                           std::unique_ptr<Accessibility> accessibility,
                           std::unique_ptr<KeySynthesizer> keys, TextInjectorTiming timing,
                           QObject* parent)
    : QObject(parent)
    , m_logger(logger)
    , m_windows(std::move(windows))
    , m_accessibility(std::move(accessibility))
    , m_keys(std::move(keys))
    , m_timing(timing)
{
    m_restoreTimer.setSingleShot(true);
    connect(&m_restoreTimer, &QTimer::timeout, this, &TextInjector::restoreClipboard);
}

TextInjector::~TextInjector() = default;

void TextInjector::captureTarget()
{
    m_targetApp = frontmostOtherApplication();
    m_logger.info(QStringLiteral("TextInjector: captured target app: ")
                  + (m_targetApp ? nameOr(*m_targetApp, QStringLiteral("nil")) : QStringLiteral("nil")));
    logCursorContext();
}

void TextInjector::logCursorContext()
{
    const auto element = getFocusedElement();
    if (!element) {
        m_logger.debug(QStringLiteral("TextInjector context: no focused element"));
        return;
    }
    m_logger.debug(QStringLiteral("TextInjector context: role=") + element->role());
    // A password field's content is never read, let alone logged.
    if (element->isPasswordField()) {
        m_logger.debug(QStringLiteral("TextInjector context: password field, value not read"));
        return;
    }

    if (const auto value = element->value()) {
        const int length = Graphemes::count(*value);
        const QString shown = length > kContextValueLimit
            ? Graphemes::left(*value, kContextValueLimit) + QStringLiteral("...") : *value;
        m_logger.debug(QStringLiteral("TextInjector context: value(%1 chars)=%2")
                           .arg(QString::number(length), shown));
    } else {
        m_logger.debug(QStringLiteral("TextInjector context: value not readable"));
    }
    if (const auto selected = element->selectedText()) {
        m_logger.debug(QStringLiteral("TextInjector context: selectedText=")
                       + (selected->isEmpty() ? QStringLiteral("(empty)") : *selected));
    }
}

bool TextInjector::inject(const QString& text)
{
    if (m_targetApp && !bringTargetToFront())
        return false;

    const auto element = getFocusedElement();
    if (!element) {
        m_logger.warning(QStringLiteral("TextInjector: no focused element, using ⌘V paste"));
        return pasteToCursor(text);
    }
    m_logger.info(QStringLiteral("TextInjector: focused element role: ") + element->role());
    // A password field's value is never read, so a write there cannot be checked.
    if (element->isPasswordField()) {
        m_logger.info(QStringLiteral("TextInjector: password field, using ⌘V paste"));
        return pasteToCursor(text);
    }

    const auto before = element->value();
    if (!before) {
        m_logger.info(QStringLiteral("TextInjector: AX not readable, using ⌘V paste"));
        return pasteToCursor(text);
    }
    m_logger.info(QStringLiteral("TextInjector: AX readable, current text length: ") + count(*before));

    if (const int code = element->replaceSelection(text); code != 0) {
        m_logger.info(QStringLiteral("TextInjector: AX write failed (%1), falling back to ⌘V").arg(code));
        return pasteToCursor(text);
    }
    waitOnThisThread(m_timing.readBackWait);
    if (element->value().value_or(QString()) != *before) {
        m_logger.info(QStringLiteral("TextInjector: AX inject verified, ") + count(text)
                      + QStringLiteral(" chars inserted"));
        return true;
    }
    m_logger.warning(QStringLiteral("TextInjector: AX returned success but text unchanged, falling back to ⌘V"));
    return pasteToCursor(text);
}

bool TextInjector::bringTargetToFront()
{
    const DesktopApplication target = *m_targetApp;
    const QString name = nameOr(target, QStringLiteral("unknown"));
    m_logger.info(QStringLiteral("TextInjector: activating %1 (pid: %2)")
                      .arg(name, QString::number(target.pid)));
    // Pasting now would put the text into whatever window has focus instead.
    if (!m_windows->activate(target)) {
        m_logger.warning(QStringLiteral("TextInjector: could not activate %1, text not inserted").arg(name));
        return false;
    }
    waitOnThisThread(m_timing.activationWait);

    const auto front = m_windows->frontmostApplication();
    m_logger.info(QStringLiteral("TextInjector: after activate, frontmost is %1 (pid: %2)")
                      .arg(front ? nameOr(*front, QStringLiteral("nil")) : QStringLiteral("nil"),
                           QString::number(front ? front->pid : -1)));
    if (!front || !front->isSameApplication(target)) {
        m_logger.warning(QStringLiteral("TextInjector: %1 is not frontmost, text not inserted").arg(name));
        return false;
    }
    return true;
}

bool TextInjector::pasteToCursor(const QString& text)
{
    QClipboard& clipboard = *QGuiApplication::clipboard();
    // While an earlier paste still waits for its restore, the clipboard holds
    // our own text: what the user had is the snapshot that paste took.
    const ClipboardSnapshot previous =
        m_pendingRestore && clipboard.text() == m_pendingRestore->pasted
        ? m_pendingRestore->previous : ClipboardSnapshot::take(clipboard);
    m_restoreTimer.stop();
    m_pendingRestore.reset();

    clipboard.setText(text);
    if (!m_keys->postPaste()) {
        m_logger.warning(QStringLiteral("TextInjector: the ⌘V key events could not be posted"));
        if (!previous.isEmpty())
            previous.restore(clipboard);   // nothing is going to read the text
        return false;
    }
    // With nothing to put back, the pasted text stays on the clipboard.
    if (!previous.isEmpty()) {
        m_pendingRestore = PendingRestore{previous, text};
        m_restoreTimer.start(m_timing.clipboardRestoreDelay);
    }
    m_logger.info(QStringLiteral("TextInjector: injected ") + count(text)
                  + QStringLiteral(" chars via ⌘V paste"));
    return true;
}

void TextInjector::restoreClipboard()
{
    if (!m_pendingRestore)
        return;
    const PendingRestore pending = std::move(*m_pendingRestore);
    m_pendingRestore.reset();
    QClipboard& clipboard = *QGuiApplication::clipboard();
    // Whatever was copied since the paste is newer than what we would put back.
    if (clipboard.text() != pending.pasted)
        return;
    pending.previous.restore(clipboard);
}

std::optional<InjectionTarget> TextInjector::getCurrentTarget() const
{
    const auto application = m_targetApp ? m_targetApp : m_windows->frontmostApplication();
    if (!application)
        return std::nullopt;
    return InjectionTarget{nameOr(*application, QStringLiteral("Unknown")),
                           m_windows->focusedWindowTitle(*application)};
}

void TextInjector::copyToClipboard(const QString& text)
{
    // The user asked for this content: no pending restore may replace it.
    m_restoreTimer.stop();
    m_pendingRestore.reset();
    QGuiApplication::clipboard()->setText(text);
    m_logger.info(QStringLiteral("TextInjector: copied ") + count(text)
                  + QStringLiteral(" characters to clipboard"));
}

std::optional<DesktopApplication> TextInjector::frontmostOtherApplication() const
{
    auto application = m_windows->frontmostApplication();
    if (application && application->pid == QCoreApplication::applicationPid())
        return std::nullopt;
    return application;
}

std::unique_ptr<AccessibleElement> TextInjector::getFocusedElement() const
{
    // After a successful activation the target is the frontmost application.
    const auto application = frontmostOtherApplication();
    if (!application || application->pid <= 0)
        return nullptr;
    return m_accessibility->focusedElement(application->pid);
}
