#include "ui/DebugConsoleView.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include "store/Logger.h"
#include "ui/LogTextView.h"
#include "ui/Style.h"

namespace {

QPushButton* plainButton(const QString& name, const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setFlat(true);
    button->setFont(Style::font(Style::TextSize::caption));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

}

DebugConsoleView::DebugConsoleView(Logger& logger, QWidget* parent)
    : QWidget(parent)
    , m_logger(logger)
    , m_count(new QLabel(this))
    , m_copyAll(plainButton(QStringLiteral("copyAllButton"), QStringLiteral("Copy All"), this))
    , m_clear(plainButton(QStringLiteral("clearButton"), QStringLiteral("Clear"), this))
    , m_text(new LogTextView(this))
{
    setObjectName(QStringLiteral("debugConsole"));

    m_count->setObjectName(QStringLiteral("entryCount"));
    m_count->setTextFormat(Qt::PlainText);
    m_count->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*m_count, Style::secondary(palette()));

    auto* header = new QHBoxLayout;
    header->setContentsMargins(12, 6, 12, 6);
    header->addWidget(m_count);
    header->addStretch();
    header->addWidget(m_copyAll);
    header->addWidget(m_clear);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(header);
    layout->addWidget(Style::divider(QStringLiteral("divider"), this));
    layout->addWidget(m_text, 1);

    connect(m_copyAll, &QPushButton::clicked, this, &DebugConsoleView::copyAll);
    connect(m_clear, &QPushButton::clicked, this, [this] { m_logger.setEntries({}); });
    connect(&m_logger, &Logger::entriesChanged, this, &DebugConsoleView::scheduleRebuild);
    rebuild();
}

QString DebugConsoleView::countText(qsizetype count)
{
    return QString::number(count) + QStringLiteral(" entries");
}

void DebugConsoleView::scheduleRebuild()
{
    if (m_rebuildScheduled)
        return;
    m_rebuildScheduled = true;
    QMetaObject::invokeMethod(this, &DebugConsoleView::rebuild, Qt::QueuedConnection);
}

void DebugConsoleView::rebuild()
{
    m_rebuildScheduled = false;
    const QList<Logger::LogEntry>& entries = m_logger.entries();
    const QString count = countText(entries.size());
    if (m_count->text() != count)
        m_count->setText(count);
    m_text->showEntries(entries);
}

void DebugConsoleView::copyAll() const
{
    QStringList lines;
    lines.reserve(m_logger.entries().size());
    for (const Logger::LogEntry& entry : m_logger.entries())
        lines << entry.formatted();
    QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}
