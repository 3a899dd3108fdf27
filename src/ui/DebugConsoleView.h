#pragma once

#include <QWidget>

class Logger;
class LogTextView;
class QLabel;
class QPushButton;

// The debug tab: the logger's newest entries, live, with their count, a
// button that copies them all and one that empties the list. Its three texts
// show as written in every interface language.
class DebugConsoleView : public QWidget
{
    Q_OBJECT
public:
    explicit DebugConsoleView(Logger& logger, QWidget* parent = nullptr);

    // "%lld entries" with `count`.
    static QString countText(qsizetype count);

private:
    // Many lines logged at once come as many changes; they are shown together
    // once the event loop has delivered them.
    void scheduleRebuild();
    void rebuild();
    void copyAll() const;

    Logger& m_logger;
    QLabel* m_count;
    QPushButton* m_copyAll;
    QPushButton* m_clear;
    LogTextView* m_text;
    bool m_rebuildScheduled = false;
};
