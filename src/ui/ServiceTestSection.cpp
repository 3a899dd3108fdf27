#include "ui/ServiceTestSection.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/Preferences.h"
#include "session/SessionManager.h"
#include "store/LocaleManager.h"
#include "ui/Dot.h"
#include "ui/PlainLabel.h"
#include "ui/Spinner.h"
#include "ui/Style.h"

namespace {

constexpr int kItemSpacing = 4;
constexpr int kButtonRowSpacing = 10;
constexpr int kRowSpacing = 6;
constexpr int kDotDiameter = 8;
constexpr int kLatencyPixels = 10;

QColor statusColour(APITester::TestResult::Status status)
{
    switch (status) {
    case APITester::TestResult::Status::success: return Style::green;
    case APITester::TestResult::Status::failure: return Style::red;
    case APITester::TestResult::Status::pending: break;
    }
    return ServiceTestSection::kPendingColour;
}

}  // namespace

ServiceTestSection::ServiceTestSection(SessionManager& session, QWidget* parent)
    : QWidget(parent)
    , m_session(session)
    , m_tester(session.http(), session.httpTiming())
    , m_button(new QPushButton(session.locale().text(QStringLiteral("settings.testAll")), this))
    , m_spinner(new Spinner(Style::secondary(palette()), this))
    , m_rows(new QVBoxLayout)
{
    setObjectName(QStringLiteral("serviceTestSection"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kItemSpacing);

    m_button->setObjectName(QStringLiteral("serviceTestButton"));
    m_button->setFont(Style::font(Style::TextSize::smallControl));
    m_button->setAutoDefault(false);
    QPalette filled = m_button->palette();
    filled.setColor(QPalette::Button, Style::accent(filled));
    filled.setColor(QPalette::ButtonText, filled.color(QPalette::HighlightedText));
    m_button->setPalette(filled);
    connect(m_button, &QPushButton::clicked, this, &ServiceTestSection::runAll);
    m_spinner->setObjectName(QStringLiteral("serviceTestSpinner"));

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(kButtonRowSpacing);
    buttonRow->addWidget(m_button, 0, Qt::AlignVCenter);
    buttonRow->addWidget(m_spinner, 0, Qt::AlignVCenter);
    buttonRow->addStretch(1);
    column->addLayout(buttonRow);

    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(kItemSpacing);
    column->addLayout(m_rows);

    connect(&m_tester, &APITester::isRunningChanged, this, &ServiceTestSection::showRunning);
    connect(&m_tester, &APITester::resultsChanged, this, &ServiceTestSection::showResults);
    showRunning();
    showResults();
}

QString ServiceTestSection::latencyText(double seconds)
{
    return QString::asprintf("%.1fs", seconds);
}

void ServiceTestSection::runAll()
{
    // The keys as stored now, empty ones included: the tester decides.
    const Preferences& preferences = m_session.preferences();
    m_tester.runAll(preferences.apiKey(), preferences.dashScopeApiKey(), preferences.deepSeekApiKey());
}

void ServiceTestSection::showRunning()
{
    m_button->setEnabled(!m_tester.isRunning());
    m_spinner->setVisible(m_tester.isRunning());
}

void ServiceTestSection::showResults()
{
    // A row's id changes with each of its values: every row is drawn anew.
    while (QLayoutItem* item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const APITester::TestResult& result : m_tester.results()) {
        QWidget* row = buildRow(result);
        m_rows->addWidget(row);
        // At once, not at the layout's next pass: the rows are what was published.
        row->show();
    }
}

QWidget* ServiceTestSection::buildRow(const APITester::TestResult& result)
{
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("serviceTestRow"));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(kRowSpacing);

    auto* dot = new Dot(kDotDiameter, statusColour(result.status), row);
    dot->setObjectName(QStringLiteral("serviceTestDot"));
    line->addWidget(dot, 0, Qt::AlignVCenter);

    auto* model = new PlainLabel(1, row);
    model->setObjectName(QStringLiteral("serviceTestModel"));
    model->setFont(Style::font(Style::TextSize::caption, QFont::Medium));
    model->setFixedWidth(kModelWidth);
    model->setFullText(result.model);
    line->addWidget(model, 0, Qt::AlignVCenter);

    auto* message = new PlainLabel(kMessageLines, row);
    message->setObjectName(QStringLiteral("serviceTestMessage"));
    message->setFont(Style::font(Style::TextSize::caption));
    Style::setTextColour(*message, Style::secondary(message->palette()));
    message->setFullText(result.message);
    line->addWidget(message, 1, Qt::AlignVCenter);

    if (result.latency) {
        auto* latency = new PlainLabel(1, row);
        latency->setObjectName(QStringLiteral("serviceTestLatency"));
        latency->setFont(Style::monospaced(kLatencyPixels));
        Style::setTextColour(*latency, Style::secondary(latency->palette()));
        latency->setFullText(latencyText(*result.latency));
        line->addWidget(latency, 0, Qt::AlignVCenter);
    }
    return row;
}
