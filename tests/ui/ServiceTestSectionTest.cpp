// The settings screen's service test section on the real tester and the
// fixture's services on loopback: the button and spinner while a test runs,
// each row as its probe ends (dot, model, message, latency), the keys read
// at the press, messages shown as plain text in at most two lines, and a new
// section starting without rows.
#include <QPushButton>

#include "ViewFixture.h"
#include "ui/Dot.h"
#include "ui/PlainLabel.h"
#include "ui/ServiceTestSection.h"
#include "ui/Spinner.h"
#include "ui/Style.h"

using namespace sessiontest;

namespace {

struct ShownRow
{
    QString model;
    QString message;
    QColor dot;
    bool hasLatency;
};

}  // namespace

class ServiceTestSectionTest : public ViewFixture
{
protected:
    ServiceTestSection& open(int width = 460)
    {
        if (!session)
            buildReady();
        section = std::make_unique<ServiceTestSection>(*session);
        section->resize(width, 300);
        section->show();
        return *section;
    }

    QPushButton* button() const { return shown<QPushButton>(*section, "serviceTestButton"); }
    bool spinnerShown() const { return shown<Spinner>(*section, "serviceTestSpinner") != nullptr; }

    QList<QWidget*> rows() const
    {
        QList<QWidget*> found;
        for (QWidget* row : section->findChildren<QWidget*>("serviceTestRow")) {
            if (row->isVisibleTo(section.get()))
                found << row;
        }
        // Layout order is top to bottom.
        std::sort(found.begin(), found.end(), [](QWidget* a, QWidget* b) { return a->y() < b->y(); });
        return found;
    }

    ShownRow rowAt(int index) const
    {
        QWidget* row = rows().at(index);
        return {shown<PlainLabel>(*row, "serviceTestModel")->fullText(),
                shown<PlainLabel>(*row, "serviceTestMessage")->fullText(),
                shown<Dot>(*row, "serviceTestDot")->colour(),
                shown<PlainLabel>(*row, "serviceTestLatency") != nullptr};
    }

    bool finished() const { return !section->tester().isRunning(); }
    // The rows the tester holds that are no longer pending.
    qsizetype probesEnded() const
    {
        const QList<APITester::TestResult>& results = section->tester().results();
        return std::count_if(results.begin(), results.end(), [](const APITester::TestResult& result) {
            return result.status != APITester::TestResult::Status::pending;
        });
    }

    std::unique_ptr<ServiceTestSection> section;
};

TEST_F(ServiceTestSectionTest, LatenciesShowWithOneDecimal)
{
    const std::pair<double, QString> cases[] = {
        {1.234, "1.2s"}, {0.96, "1.0s"}, {0.04, "0.0s"}, {29.96, "30.0s"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(ServiceTestSection::latencyText(seconds), text) << seconds;
}

// Before a test: the button alone. While one runs: the button disabled, the
// spinner, and each row changing as its probe ends, a slow one staying grey
// without a latency; at the end both come back.
TEST_F(ServiceTestSectionTest, RowsFollowTheProbesAsTheyEnd)
{
    prefs.setValue(PrefKey::deepSeekApiKey, "sk-deep");
    services.deepSeek.setResponder([](const HttpFake::Request&) {
        HttpFake::Answer answer = chatAnswer("I am DeepSeek.");
        answer.heldAs = "deepseek";
        return answer;
    });
    open();
    EXPECT_EQ(shownNames(*section), QStringList{"serviceTestButton"});
    EXPECT_EQ(button()->text(), "Test All");

    QTest::mouseClick(button(), Qt::LeftButton);
    EXPECT_FALSE(button()->isEnabled());
    EXPECT_TRUE(spinnerShown());

    const QColor grey = ServiceTestSection::kPendingColour;
    struct Expected
    {
        const char* model;
        QString message;
        QColor dot;
        bool hasLatency;
    };
    const Expected whileSlow[] = {
        {"gpt-4o-mini", "Polished text.", Style::green, true},
        {"gpt-4o", "Polished text.", Style::green, true},
        {"gpt-4o-mini-transcribe", "words 1", Style::green, true},
        {"qwen3-asr-flash", "No API key configured", Style::red, false},
        {"deepseek-chat", "Testing...", grey, false},
    };
    ASSERT_TRUE(waitUntil([&] { return services.deepSeek.requests().size() == 1 && probesEnded() == 4; }));
    ASSERT_EQ(rows().size(), 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const ShownRow row = rowAt(i);
        EXPECT_EQ(row.model, whileSlow[i].model);
        EXPECT_EQ(row.message, whileSlow[i].message);
        EXPECT_EQ(row.dot, whileSlow[i].dot);
        EXPECT_EQ(row.hasLatency, whileSlow[i].hasLatency);
    }
    EXPECT_FALSE(button()->isEnabled());
    EXPECT_TRUE(spinnerShown());

    ASSERT_TRUE(services.deepSeek.release("deepseek"));
    ASSERT_TRUE(waitUntil([&] { return finished(); }));
    EXPECT_TRUE(button()->isEnabled());
    EXPECT_FALSE(spinnerShown());
    const ShownRow last = rowAt(4);
    EXPECT_EQ(last.message, "I am DeepSeek.");
    EXPECT_EQ(last.dot, Style::green);
    const QString latency = shown<PlainLabel>(*rows().at(4), "serviceTestLatency")->fullText();
    EXPECT_EQ(latency, ServiceTestSection::latencyText(*section->tester().results().at(4).latency));
}

// The keys are read as stored at the press, empty ones included: with all
// three empty the test still runs and the rows show what came back.
TEST_F(ServiceTestSectionTest, TheKeysAreThoseStoredAtThePress)
{
    struct Case
    {
        const char* name;
        QString openAI, dashScope, deepSeek;
    };
    const Case cases[] = {
        {"all empty", "", "", ""},
        {"all set after the section was made", "sk-open", "sk-dash", "sk-deep"},
    };
    const auto refuse = [](const HttpFake::Request&) {
        return HttpFake::Answer::json(401, R"({"error":"bad key"})");
    };
    services.openAI.setResponder(refuse);
    services.dashScope.setResponder(refuse);
    services.deepSeek.setResponder(refuse);
    open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        prefs.setValue(PrefKey::apiKey, c.openAI);
        prefs.setValue(PrefKey::dashScopeApiKey, c.dashScope);
        prefs.setValue(PrefKey::deepSeekApiKey, c.deepSeek);
        const qsizetype before = services.openAI.requests().size();
        QTest::mouseClick(button(), Qt::LeftButton);
        ASSERT_TRUE(waitUntil([&] { return finished(); }));

        const QList<HttpFake::Request> sent = services.openAI.requests().mid(before);
        ASSERT_EQ(sent.size(), 3);
        for (const HttpFake::Request& request : sent)
            EXPECT_EQ(request.header("Authorization"), ("Bearer " + c.openAI).toUtf8().trimmed());   // the fake drops the trailing space
        ASSERT_EQ(rows().size(), 5);
        for (int i = 0; i < 5; ++i) {
            SCOPED_TRACE(i);
            const bool probed = i < 3 || (i == 3 ? !c.dashScope.isEmpty() : !c.deepSeek.isEmpty());
            const ShownRow row = rowAt(i);
            EXPECT_EQ(row.message, probed ? R"(HTTP 401: {"error":"bad key"})" : "No API key configured");
            EXPECT_EQ(row.dot, Style::red);
            EXPECT_EQ(row.hasLatency, probed);
        }
    }
    EXPECT_EQ(services.dashScope.requests().size(), 1);
    EXPECT_EQ(services.deepSeek.requests().size(), 1);
    EXPECT_EQ(services.deepSeek.requests().at(0).header("Authorization"), "Bearer sk-deep");
}

// What a service answers is shown as written, never as markup, and a long
// message is cut after its second line with the whole text kept.
TEST_F(ServiceTestSectionTest, MessagesShowAsPlainTextInTwoLinesAtMost)
{
    const QString markup = "<b>x</b>";
    const QString longAnswer = QString("word ").repeated(16).trimmed();   // 79 characters: not cut by the tester
    polish = [&](const HttpFake::Request& request) {
        return chatAnswer(request.body.contains("\"gpt-4o-mini\"") ? markup : longAnswer);
    };
    open(300);
    QTest::mouseClick(button(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return finished(); }));

    auto* plain = shown<PlainLabel>(*rows().at(0), "serviceTestMessage");
    EXPECT_EQ(plain->text(), markup);
    EXPECT_GE(plain->sizeHint().width(), plain->fontMetrics().horizontalAdvance(markup));

    auto* cut = shown<PlainLabel>(*rows().at(1), "serviceTestMessage");
    EXPECT_EQ(cut->fullText(), longAnswer);
    EXPECT_TRUE(cut->isElided());
    EXPECT_TRUE(cut->text().endsWith(QStringLiteral("…")));
    const int lineHeight = cut->fontMetrics().lineSpacing();
    EXPECT_LE(cut->heightForWidth(cut->width()), 2 * lineHeight + 1);
    EXPECT_GT(cut->heightForWidth(cut->width()), lineHeight);
}

// The tester is the section's: a section closed while probes wait goes with
// its tester, and a new one shows the button alone.
TEST_F(ServiceTestSectionTest, ANewSectionStartsWithoutRows)
{
    services.openAI.setResponder([](const HttpFake::Request&) {
        HttpFake::Answer answer = chatAnswer("late");
        answer.heldAs = "late";
        return answer;
    });
    open();
    QTest::mouseClick(button(), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return services.openAI.requests().size() == 3; }));
    EXPECT_EQ(rows().size(), 5);
    section.reset();
    services.openAI.release("late");   // the probes were aborted: nothing may reach the old rows
    spinFor(50);

    open();
    EXPECT_EQ(shownNames(*section), QStringList{"serviceTestButton"});
    EXPECT_TRUE(button()->isEnabled());
}
