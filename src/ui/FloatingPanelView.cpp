#include "ui/FloatingPanelView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>

#include "platform/Graphemes.h"
#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "ui/Dot.h"
#include "ui/ElapsedTime.h"
#include "ui/PlainText.h"
#include "ui/ProgressText.h"
#include "ui/RoundedFill.h"
#include "ui/Spinner.h"
#include "ui/Style.h"

namespace {

const QColor kBackground(30, 30, 30, 220);

// Spacing and horizontal padding of the bars: the quiet ones (idle,
// confirming) and the ones with a button group.
constexpr int kQuietSpacing = 8;
constexpr int kQuietPadding = 16;
constexpr int kBusySpacing = 12;
constexpr int kBusyPadding = 12;

constexpr int kSymbolSize = 14;
constexpr int kPauseSymbolSize = 10;
constexpr int kDotSize = 8;
constexpr qreal kGroupRadius = 6;
constexpr QSize kDividerSize(1, 16);

void setText(QLabel& label, const QString& text)
{
    if (label.text() != text)
        label.setText(text);
}

void setText(QAbstractButton& button, const QString& text)
{
    if (button.text() != text)
        button.setText(text);
}

// A button of the panel: it never takes the focus from the application the
// user dictates into, and has no bezel of its own.
template <typename Button>
Button* panelButton(const QString& name, const char* styleSheet)
{
    auto* button = new Button;
    button->setObjectName(name);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QString::fromLatin1(styleSheet));
    return button;
}

// A row of `widgets`, `spacing` apart and centred vertically.
QWidget* row(const std::vector<QWidget*>& widgets, int spacing, int padding = 0)
{
    auto* bar = new QWidget;
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(padding, 0, padding, 0);
    layout->setSpacing(spacing);
    for (QWidget* widget : widgets)
        layout->addWidget(widget, 0, Qt::AlignVCenter);
    return bar;
}

// The waiting text as the confirming bar shows it: on one line, cut after
// the first characters the user sees (an emoji or an accented letter is one).
QString preview(const QString& text)
{
    static const QRegularExpression lineBreaks(
        QStringLiteral("\\r\\n|[\\r\\n\\x{000B}\\x{000C}\\x{0085}\\x{2028}\\x{2029}]"));
    QString oneLine = text;
    oneLine.replace(lineBreaks, QStringLiteral(" "));
    if (Graphemes::count(oneLine) <= FloatingPanelView::kPreviewLength)
        return oneLine;
    return Graphemes::left(oneLine, FloatingPanelView::kPreviewLength) + QStringLiteral("...");
}

}  // namespace

FloatingPanelView::FloatingPanelView(SessionManager& session, QWidget* parent)
    : QWidget(parent), m_session(session), m_layout(new QHBoxLayout(this))
{
    setObjectName(QStringLiteral("floatingPanelView"));
    setFocusPolicy(Qt::NoFocus);
    setFixedHeight(kHeight);
    m_layout->setContentsMargins(0, 0, 0, 0);

    connect(&session, &SessionManager::stateChanged, this, &FloatingPanelView::showBar);
    connect(&session, &SessionManager::errorMessageChanged, this, &FloatingPanelView::showWarning);
    connect(&session.audioRecorder(), &AudioRecorder::elapsedTimeChanged, this,
            &FloatingPanelView::showTime);
    connect(&session.orchestrator(), &TranscriptionOrchestrator::progressChanged, this,
            &FloatingPanelView::showProgress);
    connect(&session.locale(), &LocaleManager::languageChanged, this, &FloatingPanelView::showTexts);
    connect(&session.preferences(), &Preferences::changed, this, [this](const QString& key) {
        if (key == QLatin1String(PrefKey::shortcut))
            showShortcut();
    });
    showBar();
}

QPainterPath FloatingPanelView::backgroundShape(const QRectF& rect)
{
    QPainterPath path;
    path.addRoundedRect(rect, kCornerRadius, kCornerRadius);
    return path;
}

void FloatingPanelView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(backgroundShape(QRectF(rect())), kBackground);
}

void FloatingPanelView::showBar()
{
    if (m_bar) {
        m_layout->removeWidget(m_bar);
        m_bar->hide();
        m_bar->deleteLater();
    }
    m_shortcut = m_warning = m_time = m_progress = nullptr;
    m_localised.clear();

    switch (m_session.state()) {
    case SessionState::idle: m_bar = idleBar(); break;
    case SessionState::recording: m_bar = recordingBar(false); break;
    case SessionState::paused: m_bar = recordingBar(true); break;
    case SessionState::processing: m_bar = processingBar(); break;
    case SessionState::confirming: m_bar = confirmingBar(); break;
    }
    m_bar->setObjectName(QStringLiteral("%1Bar").arg(toText(m_session.state())));
    m_layout->addWidget(m_bar, 0, Qt::AlignCenter);
    showTexts();
    // A widget added to a shown one stays hidden until told.
    m_bar->show();
}

QWidget* FloatingPanelView::idleBar()
{
    QLabel* ready = textLabel(Style::font(Style::TextSize::body, QFont::Medium), Style::white(0.8),
                              QStringLiteral("panelReadyText"));
    m_localised.push_back([this, ready] { setText(*ready, m_session.locale().text("float.ready")); });
    m_shortcut = textLabel(Style::font(Style::TextSize::caption), Style::white(0.4),
                           QStringLiteral("panelShortcut"));
    // A failed dictation leaves its message while idle: without a sign here
    // the user would take "Ready" for success.
    m_warning = Symbols::label(Symbol::exclamationmarkTriangleFill, Style::red, kSymbolSize,
                            QStringLiteral("panelWarning"));
    return row({Symbols::label(Symbol::micFill, Style::white(0.8), kSymbolSize,
                            QStringLiteral("panelMicSymbol")),
                ready, m_shortcut, m_warning},
               kQuietSpacing, kQuietPadding);
}

QWidget* FloatingPanelView::recordingBar(bool paused)
{
    QWidget* mark = paused ? static_cast<QWidget*>(Symbols::label(Symbol::pauseFill, Style::yellow,
                                                               kPauseSymbolSize,
                                                               QStringLiteral("panelPausedSymbol")))
                           : new Dot(kDotSize, Style::red);
    if (!paused)
        mark->setObjectName(QStringLiteral("panelRecordingDot"));
    m_time = textLabel(Style::monospaced(int(Style::TextSize::body), QFont::Medium), Style::white(1),
                       QStringLiteral("panelTime"));
    QPushButton* middle =
        paused ? capsuleButton("status.resume", ButtonRole::secondary, QStringLiteral("panelResume"),
                               &SessionManager::resumeRecording)
               : capsuleButton("status.pause", ButtonRole::secondary, QStringLiteral("panelPause"),
                               &SessionManager::pauseRecording);
    QWidget* buttons = buttonGroup(
        {capsuleButton("status.cancel", ButtonRole::cancel, QStringLiteral("panelCancel"),
                       &SessionManager::cancelRecording),
         middle,
         capsuleButton("status.done", ButtonRole::primary, QStringLiteral("panelDone"),
                       &SessionManager::stopRecording)});
    return row({row({mark, m_time}, 6), buttons}, kBusySpacing, kBusyPadding);
}

QWidget* FloatingPanelView::processingBar()
{
    auto* spinner = new Spinner(Style::white(0.8));
    spinner->setObjectName(QStringLiteral("panelSpinner"));
    m_progress = textLabel(Style::font(Style::TextSize::body), Style::white(0.7),
                           QStringLiteral("panelProgress"));
    QWidget* buttons = buttonGroup({capsuleButton("status.cancel", ButtonRole::cancel,
                                                  QStringLiteral("panelCancel"),
                                                  &SessionManager::cancelProcessing)});
    return row({row({spinner, m_progress}, 8), buttons}, kBusySpacing, kBusyPadding);
}

QWidget* FloatingPanelView::confirmingBar()
{
    QLabel* title = textLabel(Style::font(Style::TextSize::body, QFont::Medium), Style::white(1),
                              QStringLiteral("panelDoneTitle"));
    m_localised.push_back([this, title] { setText(*title, m_session.locale().text("status.done")); });
    std::vector<QWidget*> widgets{Symbols::label(Symbol::checkmarkCircleFill, Style::green, kSymbolSize,
                                              QStringLiteral("panelDoneSymbol")),
                                  title};
    if (const std::optional<QString>& text = m_session.cleanedText()) {
        QLabel* shown = textLabel(Style::font(12), Style::white(0.6), QStringLiteral("panelPreview"));
        shown->setText(preview(*text));
        widgets.push_back(shown);
    }
    // No insert button here: inserting again is the main window's.
    widgets.push_back(symbolButton(Symbol::docOnDoc, 0.8, "status.copy", QStringLiteral("panelCopy"),
                                   &SessionManager::copyText));
    widgets.push_back(symbolButton(Symbol::xmark, 0.6, "status.cancel", QStringLiteral("panelDismiss"),
                                   &SessionManager::cancelInjection));
    return row(widgets, kQuietSpacing, kQuietPadding);
}

QWidget* FloatingPanelView::buttonGroup(const std::vector<QPushButton*>& buttons)
{
    auto* group = new RoundedFill(Style::white(0.15), kGroupRadius);
    group->setObjectName(QStringLiteral("panelButtons"));
    auto* layout = new QHBoxLayout(group);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QPushButton* button : buttons) {
        if (layout->count() > 0) {
            auto* divider = new RoundedFill(Style::white(0.2), 0);
            divider->setObjectName(QStringLiteral("panelDivider"));
            divider->setFixedSize(kDividerSize);
            layout->addWidget(divider, 0, Qt::AlignVCenter);
        }
        layout->addWidget(button);
    }
    return group;
}

QPushButton* FloatingPanelView::capsuleButton(const char* key, ButtonRole role, const QString& name,
                                              void (SessionManager::*operation)())
{
    // The group behind the buttons is their background.
    auto* button = panelButton<QPushButton>(
        name, "QPushButton { border: none; background: transparent; padding: 6px 10px; }");
    const bool primary = role == ButtonRole::primary;
    button->setFont(Style::font(12, primary ? QFont::DemiBold : QFont::Normal));
    Style::setTextColour(*button, Style::white(primary ? 1.0 : 0.8));
    connect(button, &QPushButton::clicked, &m_session, operation);
    m_localised.push_back([this, button, key] { setText(*button, m_session.locale().text(key)); });
    return button;
}

QAbstractButton* FloatingPanelView::symbolButton(Symbol symbol, qreal opacity, const char* key,
                                                 const QString& name,
                                                 void (SessionManager::*operation)())
{
    auto* button = panelButton<QToolButton>(
        name, "QToolButton { border: none; background: transparent; padding: 2px; }");
    button->setIcon(Symbols::icon(symbol, Style::white(opacity)));
    button->setIconSize(QSize(kSymbolSize, kSymbolSize));
    connect(button, &QToolButton::clicked, &m_session, operation);
    m_localised.push_back([this, button, key] {
        const QString text = m_session.locale().text(key);
        if (button->accessibleName() != text)
            PlainText::setToolTipAndName(*button, text);
    });
    return button;
}

QLabel* FloatingPanelView::textLabel(const QFont& font, const QColor& colour, const QString& name)
{
    auto* label = new QLabel;
    label->setObjectName(name);
    // Some of it comes from outside (the waiting text): never markup.
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    Style::setTextColour(*label, colour);
    return label;
}

void FloatingPanelView::showTexts()
{
    for (const auto& localise : m_localised)
        localise();
    showShortcut();
    showWarning();
    showTime();
    showProgress();
}

void FloatingPanelView::showTime()
{
    if (m_time)
        setText(*m_time, ElapsedTime::formatted(m_session.audioRecorder().elapsedTime()));
}

void FloatingPanelView::showProgress()
{
    if (!m_progress)
        return;
    setText(*m_progress, ProgressText::of(m_session));
}

void FloatingPanelView::showWarning()
{
    if (!m_warning)
        return;
    const QString message = m_session.errorMessage().value_or(QString());
    if (m_warning->accessibleName() != message)
        PlainText::setToolTipAndName(*m_warning, message);
    m_warning->setVisible(!message.isEmpty());
}

void FloatingPanelView::showShortcut()
{
    if (m_shortcut)
        setText(*m_shortcut, m_session.shortcut());
}
