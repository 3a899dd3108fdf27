#pragma once

#include <QCoroTask>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

#include "platform/CancelToken.h"
#include "platform/HttpAnswer.h"
#include "platform/HttpRequest.h"
#include "transcription/HttpTiming.h"

class HttpClient;

// The settings screen's service test: five probes sent at once (two OpenAI
// chat models, the OpenAI transcription, DashScope recognition of the bundled
// test recording, DeepSeek chat), one result row per probe. Main thread only.
// Nothing of a probe is logged, stored or retried.
class APITester : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<TestResult> results READ results NOTIFY resultsChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
public:
    struct TestResult
    {
        enum class Status { pending, success, failure };

        QUuid id;   // new for every row value
        QString model;
        Status status = Status::pending;
        QString message;
        std::optional<double> latency;   // seconds

        static TestResult make(QString model, Status status, QString message,
                               std::optional<double> latency = std::nullopt);
    };

    // The test recording among the application's resources.
    static constexpr auto kTestAudioPath = ":/test_audio.m4a";

    explicit APITester(HttpClient& http, HttpTiming timing = {},
                       QString testAudioPath = kTestAudioPath, QObject* parent = nullptr);
    // Aborts the probes still under way.
    ~APITester() override;

    // Replaces the rows and starts the probes; returns at once. Rows 3
    // (DashScope) and 4 (DeepSeek) fail at once without their key; the OpenAI
    // rows are always probed.
    void runAll(const QString& openAIKey, const QString& dashScopeKey, const QString& deepSeekKey);

    const QList<TestResult>& results() const { return m_results; }
    bool isRunning() const { return m_isRunning; }

signals:
    void resultsChanged();
    void isRunningChanged();

private:
    // What one probe needs; probes never touch the tester, which may go first
    // (the client is the app's and outlives it).
    struct Probe
    {
        HttpClient* http;
        HttpTiming timing;
        QString testAudioPath;
        CancelToken cancel;
    };
    struct Outcome
    {
        TestResult::Status status;
        QString message;
    };
    // Reads an answer of status 200.
    using AnswerReader = std::function<Outcome(const HttpAnswer&)>;

    static QCoro::Task<TestResult> testChat(QString apiKey, QString model, QString endpoint,
                                            Probe probe);
    static QCoro::Task<TestResult> testWhisper(QString apiKey, Probe probe);
    static QCoro::Task<TestResult> testDashScopeASR(QString apiKey, Probe probe);
    // Sends `request` and turns the answer into the row, with the failures
    // shared by every probe; `started` is when the probe began.
    static QCoro::Task<TestResult> exchange(HttpClient& http, QString model, HttpRequest request,
                                            QElapsedTimer started, CancelToken cancel,
                                            AnswerReader readAnswer);

    QCoro::Task<void> runProbe(int row, QCoro::Task<TestResult> probe, int run);
    void setRunning(bool running);

    HttpClient& m_http;
    HttpTiming m_timing;
    QString m_testAudioPath;
    QList<TestResult> m_results;
    bool m_isRunning = false;
    // The current run: probes of an earlier one write nothing.
    int m_run = 0;
    int m_outstanding = 0;
    CancelToken m_runCancel;
};

Q_DECLARE_METATYPE(APITester::TestResult)
