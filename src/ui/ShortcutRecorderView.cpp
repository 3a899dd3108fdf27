#include "ui/ShortcutRecorderView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QStringList>

#include "platform/KeyTable.h"
#include "platform/Preferences.h"
#include "ui/PlainLabel.h"
#include "ui/Style.h"

ShortcutRecorderView::ShortcutRecorderView(Preferences& preferences, QWidget* parent)
    : QWidget(parent)
    , m_preferences(preferences)
    , m_label(new PlainLabel(1, this))
{
    setObjectName(QStringLiteral("shortcutRecorder"));
    setFocusPolicy(Qt::ClickFocus);
    setMinimumHeight(kHeight);
    setMaximumWidth(kWidth);
    m_label->setObjectName(QStringLiteral("shortcutRecorderText"));
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setFont(Style::font(Style::TextSize::body));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kInset, 0, kInset, 0);
    layout->addWidget(m_label);

    connect(&m_preferences, &Preferences::changed, this, [this](const QString& key) {
        if (key == QLatin1String(PrefKey::shortcut))
            updateDisplay();
    });
    updateDisplay();
}

QSize ShortcutRecorderView::sizeHint() const
{
    return {kWidth, kHeight};
}

bool ShortcutRecorderView::event(QEvent* event)
{
    if (m_recording && event->type() == QEvent::ShortcutOverride) {
        // The window's shortcuts must not act on the combination being recorded.
        event->accept();
        return true;
    }
    if (m_recording && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Tab and Shift+Tab would move the focus away instead.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QWidget::event(event);
}

void ShortcutRecorderView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    startRecording();
}

void ShortcutRecorderView::keyPressEvent(QKeyEvent* event)
{
    if (!m_recording) {
        QWidget::keyPressEvent(event);
        return;
    }
    // Every key is the recorder's while it records, also those it ignores.
    event->accept();
    if (event->key() == Qt::Key_Escape) {
        stopRecording();
        return;
    }
    const std::optional<QString> text = shortcutText(*event);
    if (!text)
        return;
    // The keyboard is given back before anyone reacts to the new shortcut.
    stopRecording();
    m_preferences.setValue(PrefKey::shortcut, *text);
}

void ShortcutRecorderView::focusOutEvent(QFocusEvent* event)
{
    stopRecording();
    QWidget::focusOutEvent(event);
}

void ShortcutRecorderView::hideEvent(QHideEvent* event)
{
    stopRecording();
    QWidget::hideEvent(event);
}

void ShortcutRecorderView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_recording ? Style::orange : Style::separator(palette()), 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
}

void ShortcutRecorderView::startRecording()
{
    if (m_recording)
        return;
    m_recording = true;
    grabKeyboard();
    updateDisplay();
}

void ShortcutRecorderView::stopRecording()
{
    if (!m_recording)
        return;
    m_recording = false;
    releaseKeyboard();
    updateDisplay();
}

void ShortcutRecorderView::updateDisplay()
{
    const QString stored = m_preferences.shortcut();
    const QString shown = m_recording ? QString::fromUtf8(kRecordingText)
        : stored.isEmpty()            ? QString::fromUtf8(kEmptyText)
                                      : stored;
    m_label->setFullText(shown);
    Style::setTextColour(*m_label, m_recording ? Style::orange : palette().color(QPalette::WindowText));
    setAccessibleName(shown);
    update();
}

std::optional<QString> ShortcutRecorderView::shortcutText(const QKeyEvent& event)
{
    QStringList pieces;
    for (const ShortcutModifier& modifier : KeyTable::modifiers()) {
        if (event.modifiers() & modifier.flag)
            pieces << QString(modifier.glyph);
    }
    if (pieces.isEmpty())
        return std::nullopt;
    const ShortcutKey* key = KeyTable::recordableAt(int(event.nativeScanCode()));
    if (!key)
        return std::nullopt;
    pieces << key->name;
    return pieces.join(' ');
}
