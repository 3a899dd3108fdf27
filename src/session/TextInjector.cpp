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

// The text as another program may receive it. C0 control characters other
// than line feed and tab, and DEL, act there as commands rather than text
// (an escape sequence in a terminal, a carriage return that submits a form),
// so they are dropped.
QString withoutControlCharacters(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if ((unit < 0x20 && unit != u'\n' && unit != u'\t') || unit == 0x7f)
            continue;
        kept.append(c);
    }
    return kept;
}

}

TextInjector::TextInjector(Logger& logger, std::unique_ptr<DesktopWindows> windows,
                           std::unique_ptr<Accessibility> accessibility,
                           std::unique_ptr<KeySynthesizer> keys,
                           std::unique_ptr<ClipboardReader> clipboardReader,
                           TextInjectorTiming timing, QObject* parent)
    : QObject(parent)
    , m_logger(logger)
    , m_windows(std::move(windows))
    , m_accessibility(std::move(accessibility))
    , m_keys(std::move(keys))
    , m_timing(timing)
    , m_clipboardReader(std::move(clipboardReader))
{
    m_restoreTimer.setSingleShot(true);
    connect(&m_restoreTimer, &QTimer::timeout, this, &TextInjector::restoreClipboard);
    m_accessibility->setUnansweredHandler(
        [this](const UnansweredRequest& request) { logUnanswered(request); });
}

TextInjector::~TextInjector() = default;

void TextInjector::captureTarget()
{
    rememberTarget();
    logCursorContext();
}

void TextInjector::rememberTarget()
{
    m_targetApp = frontmostOtherApplication();
    m_logger.info(QStringLiteral("TextInjector: captured target app: ")
                  + (m_targetApp ? nameOr(*m_targetApp, QStringLiteral("nil")) : QStringLiteral("nil")));
}

void TextInjector::logCursorContext()
{
    const auto element = getFocusedElement(m_targetApp);
    if (!element) {
        m_logger.debug(QStringLiteral("TextInjector context: no focused element"));
        return;
    }
    const auto field = element->snapshot();
    m_logger.debug(QStringLiteral("TextInjector context: role=") + field.role);
    // A password field's content is never read, let alone logged.
    if (field.password) {
        m_logger.debug(QStringLiteral("TextInjector context: password field, value not read"));
        return;
    }

    const auto& value = field.value;
    if (!value) {
        m_logger.debug(QStringLiteral("TextInjector context: value not readable"));
        return;
    }
    const int length = Graphemes::count(*value);
    const QString shown = length > kContextValueLimit
        ? Graphemes::left(*value, kContextValueLimit) + QStringLiteral("...") : *value;
    m_logger.debug(QStringLiteral("TextInjector context: value(%1 chars)=%2")
                       .arg(QString::number(length), shown));
    if (const auto& span = field.selection) {
        const QString selected = value->mid(span->start, span->end - span->start);
        m_logger.debug(QStringLiteral("TextInjector context: selectedText=")
                       + (selected.isEmpty() ? QStringLiteral("(empty)") : selected));
    }
}

bool TextInjector::inject(const QString& received)
{
    const QString text = withoutControlCharacters(received);
    // The frontmost application: the target, once activated, is known to be.
    const auto front = m_targetApp ? bringTargetToFront() : frontmostOtherApplication();
    if (m_targetApp && !front)
        return false;

    const auto element = getFocusedElement(front);
    if (!element) {
        m_logger.warning(QStringLiteral("TextInjector: no focused element, using ⌘V paste"));
        return pasteToCursor(text);
    }
    // Read in one go; the read-back after the write is a fresh read.
    const auto field = element->snapshot();
    m_logger.info(QStringLiteral("TextInjector: focused element role: ") + field.role);
    // A password field's value is never read, so a write there cannot be checked.
    if (field.password) {
        m_logger.info(QStringLiteral("TextInjector: password field, using ⌘V paste"));
        return pasteToCursor(text);
    }

    const auto& before = field.value;
    const auto& span = field.selection;
    if (!before || !span) {
        m_logger.info(QStringLiteral("TextInjector: AX not readable, using ⌘V paste"));
        return pasteToCursor(text);
    }
    m_logger.info(QStringLiteral("TextInjector: AX readable, current text length: ") + count(*before));

    const int code = element->replaceText(*span, text);
    if (code != 0)
        m_logger.info(QStringLiteral("TextInjector: AX write failed (%1), falling back to ⌘V").arg(code));
    waitOnThisThread(m_timing.readBackWait);
    // Written as asked: the new words where the selection or caret was, the
    // rest of the field as it was.
    const auto after = element->value();
    if (code == 0 && after == before->left(span->start) + text + before->mid(span->end)) {
        m_logger.info(QStringLiteral("TextInjector: AX inject verified, ") + count(text)
                      + QStringLiteral(" chars inserted"));
        return true;
    }
    if (code == 0 && !after)
        m_logger.warning(QStringLiteral("TextInjector: AX write not verifiable (value not readable), falling back to ⌘V"));
    else if (code == 0 && *after == *before)
        m_logger.warning(QStringLiteral("TextInjector: AX returned success but text unchanged, falling back to ⌘V"));
    else if (code == 0)
        m_logger.warning(QStringLiteral("TextInjector: AX write left a different text, falling back to ⌘V"));
    if (after && *after != *before)
        undoWrite(*element, *before, *span, *after);
    return pasteToCursor(text);
}

void TextInjector::undoWrite(AccessibleElement& element, const QString& before, TextSpan span,
                             const QString& after)
{
    // When the text around the selection is as it was, what lies between is
    // what the write put there (the application read the text's length in
    // another unit: padded it or cut it). Put the earlier selection back in
    // its place and select it again, so that the paste replaces it as the
    // user meant. Otherwise the application changed more than that and
    // nothing can be told apart.
    const QString head = before.left(span.start);
    const QString tail = before.mid(span.end);
    if (after.size() < head.size() + tail.size() || !after.startsWith(head) || !after.endsWith(tail)) {
        m_logger.warning(QStringLiteral("TextInjector: AX write changed the text beyond the selection, not undone"));
        return;
    }
    const TextSpan written{span.start, after.size() - tail.size()};
    const bool undone =
        element.replaceText(written, before.mid(span.start, span.end - span.start)) == 0
        && element.select(span) == 0 && element.value() == before;
    if (undone)
        m_logger.info(QStringLiteral("TextInjector: AX write undone, the field holds its earlier text again"));
    else
        m_logger.warning(QStringLiteral("TextInjector: AX write could not be undone"));
}

void TextInjector::logUnanswered(const UnansweredRequest& request)
{
    if (request.earlierStillPending) {
        m_logger.info(QStringLiteral("TextInjector: AX still waits for an earlier answer, %1 skipped")
                          .arg(request.request));
        return;
    }
    m_logger.warning(QStringLiteral("TextInjector: AX gave no answer within %1 ms (%2)")
                         .arg(QString::number(request.deadline.count()), request.request));
}

std::optional<DesktopApplication> TextInjector::bringTargetToFront()
{
    const DesktopApplication target = *m_targetApp;
    const QString name = nameOr(target, QStringLiteral("unknown"));
    m_logger.info(QStringLiteral("TextInjector: activating %1 (pid: %2)")
                      .arg(name, QString::number(target.pid)));
    // Pasting now would put the text into whatever window has focus instead.
    if (!m_windows->activate(target)) {
        m_logger.warning(QStringLiteral("TextInjector: could not activate %1, text not inserted").arg(name));
        return std::nullopt;
    }
    waitOnThisThread(m_timing.activationWait);

    const auto front = m_windows->frontmostApplication();
    m_logger.info(QStringLiteral("TextInjector: after activate, frontmost is %1 (pid: %2)")
                      .arg(front ? nameOr(*front, QStringLiteral("nil")) : QStringLiteral("nil"),
                           QString::number(front ? front->pid : -1)));
    if (!front || !front->isSameApplication(target)) {
        m_logger.warning(QStringLiteral("TextInjector: %1 is not frontmost, text not inserted").arg(name));
        return std::nullopt;
    }
    return front;
}

bool TextInjector::pasteToCursor(const QString& text)
{
    QClipboard& clipboard = *QGuiApplication::clipboard();
    // While an earlier paste still waits for its restore, the clipboard holds
    // our own text: what the user had is the snapshot that paste took.
    const ClipboardSnapshot previous =
        m_pendingRestore && clipboard.text() == m_pendingRestore->pasted
        ? m_pendingRestore->previous : ClipboardSnapshot::take(clipboard, m_clipboardReader.get(), m_logger);
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

std::unique_ptr<AccessibleElement> TextInjector::getFocusedElement(
    const std::optional<DesktopApplication>& application) const
{
    if (!application || application->pid <= 0)
        return nullptr;
    return m_accessibility->focusedElement(application->pid);
}
