#pragma once

#include <QList>
#include <QTextEdit>

#include "store/Logger.h"

// The console's text: every log entry as one line, its level first as a bold
// coloured tag, then the entry's own line. Read-only and selectable; while
// the user is at the end it follows new entries, elsewhere it stays put.
class LogTextView : public QTextEdit
{
    Q_OBJECT
public:
    static constexpr int kFontPixels = 11;
    static constexpr int kInset = 8;
    // Within this many pixels of the end counts as at the end.
    static constexpr int kEndSlack = 20;

    explicit LogTextView(QWidget* parent = nullptr);

    // Replaces the whole text with `entries`, in one edit.
    void showEntries(const QList<Logger::LogEntry>& entries);

    // The tag's text: the level padded to 5, then two spaces.
    static QString tag(LogLevel level);

private:
    static QColor tagColour(LogLevel level);
    bool isScrolledToEnd() const;

    bool m_followsEnd = true;
};
