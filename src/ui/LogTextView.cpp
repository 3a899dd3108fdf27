#include "ui/LogTextView.h"

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include "ui/Style.h"

LogTextView::LogTextView(QWidget* parent)
    : QTextEdit(parent)
{
    setObjectName(QStringLiteral("logText"));
    setFrameShape(QFrame::NoFrame);   // the console's divider stands above it
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Every rebuild would otherwise pile the replaced text up on the undo stack.
    setUndoRedoEnabled(false);
    setFont(Style::monospaced(kFontPixels));
    document()->setDocumentMargin(kInset);

    // The user's last scroll decides whether the view follows the end; the
    // range grows when entries arrive and as a long text is laid out.
    QScrollBar* bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this] { m_followsEnd = isScrolledToEnd(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar] {
        if (m_followsEnd)
            bar->setValue(bar->maximum());
    });
}

QString LogTextView::tag(LogLevel level)
{
    return toText(level).leftJustified(5, QLatin1Char(' ')) + QStringLiteral("  ");
}

QColor LogTextView::tagColour(LogLevel level)
{
    switch (level) {
    case LogLevel::info: return Style::green;
    case LogLevel::warning: return Style::orange;
    case LogLevel::error: return Style::red;
    case LogLevel::debug: return Style::blue;
    }
    return Style::blue;
}

bool LogTextView::isScrolledToEnd() const
{
    const QScrollBar* bar = verticalScrollBar();
    return bar->maximum() - bar->value() <= kEndSlack;
}

void LogTextView::showEntries(const QList<Logger::LogEntry>& entries)
{
    QTextCharFormat tagFormat;
    tagFormat.setFontWeight(QFont::Bold);
    // The line keeps the view's own text colour, which follows the palette.
    const QTextCharFormat lineFormat;

    // Inserted as text, never parsed: log lines carry outside text.
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    for (const Logger::LogEntry& entry : entries) {
        tagFormat.setForeground(tagColour(entry.level));
        cursor.insertText(tag(entry.level), tagFormat);
        cursor.insertText(entry.formatted() + QLatin1Char('\n'), lineFormat);
    }
    cursor.endEditBlock();
    // All of it at once: text put into an empty document is otherwise laid
    // out in steps on a timer, and its end moves for a while.
    document()->documentLayout()->documentSize();
}
