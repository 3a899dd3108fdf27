#include "ui/RecordingStatusBar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "ui/Dot.h"
#include "ui/ElapsedTime.h"
#include "ui/FittedTextView.h"
#include "ui/PlainLabel.h"
#include "ui/PlainText.h"
#include "ui/ProgressText.h"
#include "ui/Spinner.h"
#include "ui/Style.h"
#include "ui/Symbol.h"

namespace {

constexpr int kDotSize = 8;
constexpr int kSymbolSize = 13;
constexpr int kTargetTextSize = 12;
constexpr int kProcessingCancelTextSize = 12;
constexpr int kButtonRowSpacing = 10;

PlainLabel* textLabel(const QFont& font, const QColor& colour, const QString& name, QWidget* parent,
                      int lines = 1)
{
    auto* label = new PlainLabel(lines, parent);
    label->setObjectName(name);
    label->setFont(font);
    Style::setTextColour(*label, colour);
    return label;
}

}  // namespace

RecordingStatusBar::RecordingStatusBar(SessionManager& session, QWidget* parent)
    : QWidget(parent), m_session(session), m_layout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("statusStrip"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    m_layout->setContentsMargins(16, 10, 16, 10);
    m_layout->setSpacing(8);

    m_errorLine = new QWidget(this);
    m_errorLine->setObjectName(QStringLiteral("statusErrorLine"));
    auto* errorRow = new QHBoxLayout(m_errorLine);
    errorRow->setContentsMargins(0, 0, 0, 0);
    errorRow->addWidget(Symbols::label(Symbol::exclamationmarkTriangleFill, Style::red,
                                    static_cast<int>(Style::TextSize::caption) + 1,
                                    QStringLiteral("statusErrorSymbol"), m_errorLine),
                        0, Qt::AlignTop);
    // Three lines at most: a service's error can be long; the tooltip has it all.
    m_errorText = textLabel(Style::font(Style::TextSize::caption), Style::red,
                            QStringLiteral("statusError"), m_errorLine, 3);
    // Its first line beside the symbol, however tall the row.
    m_errorText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    errorRow->addWidget(m_errorText, 1);
    m_layout->addWidget(m_errorLine);

    connect(&session, &SessionManager::stateChanged, this, &RecordingStatusBar::showState);
    connect(&session, &SessionManager::errorMessageChanged, this, &RecordingStatusBar::showError);
    connect(&session.audioRecorder(), &AudioRecorder::elapsedTimeChanged, this,
            &RecordingStatusBar::showElapsed);
    connect(&session.orchestrator(), &TranscriptionOrchestrator::progressChanged, this,
            &RecordingStatusBar::showProgress);
    showState();
    showError();
}

bool RecordingStatusBar::hasContent() const
{
    return m_session.state() != SessionState::idle || m_session.errorMessage().has_value();
}

void RecordingStatusBar::showState()
{
    const SessionState state = m_session.state();
    if (m_shownState == state)
        return;
    m_shownState = state;
    // The old bar may hold the button whose click changed the state: it goes
    // once that click has been handled.
    if (m_bar) {
        m_bar->hide();
        m_layout->removeWidget(m_bar);
        m_bar->deleteLater();
    }
    m_elapsed = nullptr;
    m_progress = nullptr;
    m_bar = buildBar(state);
    if (m_bar) {
        m_layout->insertWidget(0, m_bar);
        m_bar->show();   // now, not once the layout gets round to it
    }
    showElapsed();
    showProgress();
}

void RecordingStatusBar::showElapsed()
{
    if (m_elapsed)
        m_elapsed->setFullText(ElapsedTime::formatted(m_session.audioRecorder().elapsedTime()));
}

void RecordingStatusBar::showProgress()
{
    if (m_progress)
        m_progress->setFullText(ProgressText::of(m_session));
}

void RecordingStatusBar::showError()
{
    const std::optional<QString>& message = m_session.errorMessage();
    m_errorLine->setVisible(message.has_value());
    const QString text = message.value_or(QString());
    if (text == m_errorText->fullText())
        return;
    m_errorText->setFullText(text);
    m_errorText->setToolTip(PlainText::toolTip(text));
}

QWidget* RecordingStatusBar::buildBar(SessionState state)
{
    switch (state) {
    case SessionState::idle: return nullptr;
    case SessionState::recording: return buildRecordingBar(false);
    case SessionState::paused: return buildRecordingBar(true);
    case SessionState::processing: return buildProcessingBar();
    case SessionState::confirming: return buildConfirmingBar();
    }
    return nullptr;
}

QWidget* RecordingStatusBar::buildRecordingBar(bool paused)
{
    auto* bar = new QWidget(this);
    bar->setObjectName(paused ? QStringLiteral("statusPausedBar") : QStringLiteral("statusRecordingBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    if (paused) {
        row->addWidget(Symbols::label(Symbol::pauseFill, Style::yellow, kSymbolSize,
                                   QStringLiteral("statusPausedSymbol"), bar));
    } else {
        auto* dot = new Dot(kDotSize, Style::red, bar);
        dot->setObjectName(QStringLiteral("statusDot"));
        row->addWidget(dot);
    }
    m_elapsed = textLabel(Style::monospaced(static_cast<int>(Style::TextSize::body)),
                          Style::secondary(palette()), QStringLiteral("statusElapsed"), bar);
    row->addWidget(m_elapsed);
    row->addStretch(1);
    row->addWidget(button("status.cancel", QStringLiteral("statusCancel"), Emphasis::bordered,
                          &SessionManager::cancelRecording));
    if (paused)
        row->addWidget(button("status.resume", QStringLiteral("statusResume"), Emphasis::bordered,
                              &SessionManager::resumeRecording));
    else
        row->addWidget(button("status.pause", QStringLiteral("statusPause"), Emphasis::bordered,
                              &SessionManager::pauseRecording));
    row->addWidget(button("status.done", QStringLiteral("statusDone"), Emphasis::prominent,
                          &SessionManager::stopRecording));
    return bar;
}

QWidget* RecordingStatusBar::buildProcessingBar()
{
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("statusProcessingBar"));
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    auto* spinner = new Spinner(Style::secondary(palette()), bar);
    spinner->setObjectName(QStringLiteral("statusSpinner"));
    row->addWidget(spinner);
    m_progress = textLabel(Style::font(Style::TextSize::body), Style::secondary(palette()),
                           QStringLiteral("statusProgress"), bar);
    row->addWidget(m_progress);
    row->addStretch(1);
    QPushButton* cancel = button("status.cancel", QStringLiteral("statusCancel"), Emphasis::bordered,
                                 &SessionManager::cancelProcessing);
    cancel->setFont(Style::font(kProcessingCancelTextSize));
    row->addWidget(cancel);
    return bar;
}

QWidget* RecordingStatusBar::buildConfirmingBar()
{
    auto* bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("statusConfirmingBar"));
    auto* rows = new QVBoxLayout(bar);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(8);
    const LocaleManager& locale = m_session.locale();

    auto* targetRow = new QHBoxLayout;
    // One line: the name may be a long window title.
    PlainLabel* target = textLabel(Style::font(kTargetTextSize), Style::secondary(palette()),
                                   QStringLiteral("statusTarget"), bar);
    if (const std::optional<InjectionTarget>& injectionTarget = m_session.injectionTarget())
        target->setFullText(locale.text("status.injectTo", injectionTarget->appName));
    targetRow->addWidget(target, 1);
    PlainLabel* count = textLabel(Style::font(Style::TextSize::caption), Style::secondary(palette()),
                                  QStringLiteral("statusCount"), bar);
    count->setFullText(locale.text("status.chars", m_session.characterCount()));
    targetRow->addWidget(count);
    rows->addLayout(targetRow);

    if (const std::optional<QString>& cleanedText = m_session.cleanedText()) {
        auto* text = new FittedTextView(kTextAreaMaximumHeight, bar);
        text->setObjectName(QStringLiteral("statusText"));
        text->setFont(Style::font(Style::TextSize::body));
        text->setFullText(*cleanedText);
        rows->addWidget(text);
    }

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(kButtonRowSpacing);
    buttonRow->addStretch(1);
    QPushButton* inject = button("status.inject", QStringLiteral("statusInject"), Emphasis::prominent,
                                 &SessionManager::injectText);
    inject->setIcon(Symbols::icon(Symbol::textCursor, inject->palette().color(QPalette::ButtonText)));
    buttonRow->addWidget(inject);
    QPushButton* copy = button("status.copy", QStringLiteral("statusCopy"), Emphasis::bordered,
                               &SessionManager::copyText);
    copy->setIcon(Symbols::icon(Symbol::docOnDoc, copy->palette().color(QPalette::ButtonText)));
    buttonRow->addWidget(copy);
    buttonRow->addWidget(button("status.cancel", QStringLiteral("statusCancel"), Emphasis::bordered,
                                &SessionManager::cancelInjection));
    buttonRow->addStretch(1);
    rows->addLayout(buttonRow);
    return bar;
}

QPushButton* RecordingStatusBar::button(const char* key, const QString& name, Emphasis emphasis,
                                        void (SessionManager::*operation)())
{
    auto* button = new QPushButton(m_session.locale().text(key));
    button->setObjectName(name);
    button->setFont(Style::font(Style::TextSize::smallControl));
    // A click must not take the focus from where the user types.
    button->setFocusPolicy(Qt::TabFocus);
    button->setAutoDefault(false);
    if (emphasis == Emphasis::prominent) {
        QPalette filled = button->palette();
        filled.setColor(QPalette::Button, Style::accent(filled));
        filled.setColor(QPalette::ButtonText, filled.color(QPalette::HighlightedText));
        button->setPalette(filled);
    }
    SessionManager& session = m_session;
    connect(button, &QPushButton::clicked, this, [&session, operation] { (session.*operation)(); });
    return button;
}
