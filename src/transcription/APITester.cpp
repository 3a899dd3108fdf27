#include "transcription/APITester.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUrl>

#include "platform/AuthorisedRequest.h"
#include "platform/Graphemes.h"
#include "transcription/DashScopeASRService.h"
#include "platform/HttpClient.h"
#include "transcription/MultipartFormData.h"
#include "transcription/OpenAIWhisperService.h"
#include "transcription/PostProcessor.h"
#include "transcription/ServiceAddresses.h"

namespace {

using Status = APITester::TestResult::Status;

constexpr auto kChatQuestion = "Who are you? Answer in one sentence.";
constexpr int kChatMaxTokens = 50;
constexpr int kShownSuccessLength = 80;
constexpr int kShownErrorLength = 100;

const QString kTesting = QStringLiteral("Testing...");
const QString kNoKey = QStringLiteral("No API key configured");
const QString kNoTestAudio = QStringLiteral("Test audio file not found in bundle");
const QString kEmpty = QStringLiteral("(empty)");

// The row labels, in row order.
const QString kRowModels[] = {
    QStringLiteral("gpt-4o-mini"),
    QStringLiteral("gpt-4o"),
    QString::fromLatin1(OpenAIWhisperService::kModel),
    QString::fromLatin1(DashScopeASRService::kModel),
    QString::fromLatin1(PostProcessor::kDeepSeekModel),
};
enum Row { openAIMini, openAI4o, openAITranscription, dashScope, deepSeek };

QString shownSuccess(const QString& text)
{
    if (Graphemes::count(text) <= kShownSuccessLength)
        return text;
    return Graphemes::left(text, kShownSuccessLength) + QStringLiteral("...");
}

QString shownError(const QString& text) { return Graphemes::left(text, kShownErrorLength); }

std::optional<QByteArray> readTestAudio(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

// The rows decide about empty keys before any probe starts: a probe sends
// whatever key it has.
HttpRequest probeRequest(const QUrl& url, const QString& apiKey, const QByteArray& type,
                         const HttpTiming& timing)
{
    return *AuthorisedRequest::post(url, apiKey, type, timing.serviceTestTimeout,
                                    AuthorisedRequest::EmptyKey::send);
}

}  // namespace

APITester::TestResult APITester::TestResult::make(QString model, Status status, QString message,
                                                  std::optional<double> latency)
{
    return {QUuid::createUuid(), std::move(model), status, std::move(message), latency};
}

APITester::APITester(HttpClient& http, HttpTiming timing, QString testAudioPath, QObject* parent)
    : QObject(parent), m_http(http), m_timing(timing), m_testAudioPath(std::move(testAudioPath))
{
}

APITester::~APITester() { m_runCancel.cancel(); }

void APITester::runAll(const QString& openAIKey, const QString& dashScopeKey,
                       const QString& deepSeekKey)
{
    // A run still under way is dropped: its rows are about to disappear.
    m_runCancel.cancel();
    m_runCancel = CancelToken();
    const int run = ++m_run;
    setRunning(true);

    m_results.clear();
    for (const QString& model : kRowModels)
        m_results << TestResult::make(model, Status::pending, kTesting);
    if (dashScopeKey.isEmpty())
        m_results[dashScope] = TestResult::make(kRowModels[dashScope], Status::failure, kNoKey);
    if (deepSeekKey.isEmpty())
        m_results[deepSeek] = TestResult::make(kRowModels[deepSeek], Status::failure, kNoKey);
    emit resultsChanged();

    // Counted before any probe starts: one without its recording ends at once.
    m_outstanding = 3 + int(!dashScopeKey.isEmpty()) + int(!deepSeekKey.isEmpty());
    const Probe probe{&m_http, m_timing, m_testAudioPath, m_runCancel};
    const QString openAIChat = ServiceAddresses::openAIChatCompletions().toString();
    runProbe(openAIMini, testChat(openAIKey, kRowModels[openAIMini], openAIChat, probe), run);
    runProbe(openAI4o, testChat(openAIKey, kRowModels[openAI4o], openAIChat, probe), run);
    runProbe(openAITranscription, testWhisper(openAIKey, probe), run);
    if (!dashScopeKey.isEmpty())
        runProbe(dashScope, testDashScopeASR(dashScopeKey, probe), run);
    if (!deepSeekKey.isEmpty()) {
        runProbe(deepSeek,
                 testChat(deepSeekKey, kRowModels[deepSeek],
                          ServiceAddresses::deepSeekChatCompletions().toString(), probe),
                 run);
    }
}

QCoro::Task<void> APITester::runProbe(int row, QCoro::Task<TestResult> probe, int run)
{
    const QPointer<APITester> self(this);
    const TestResult result = co_await std::move(probe);
    if (!self || run != m_run)
        co_return;
    m_results[row] = result;
    emit resultsChanged();
    if (--m_outstanding == 0)
        setRunning(false);
}

void APITester::setRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    emit isRunningChanged();
}

QCoro::Task<APITester::TestResult> APITester::testChat(QString apiKey, QString model,
                                                       QString endpoint, Probe probe)
{
    QElapsedTimer started;
    started.start();
    const QUrl url(endpoint, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        co_return TestResult::make(model, Status::failure, QStringLiteral("Invalid endpoint"));

    HttpRequest request = probeRequest(url, apiKey, "application/json", probe.timing);
    request.body = QJsonDocument(QJsonObject{
                                     {"model", model},
                                     {"messages", QJsonArray{QJsonObject{
                                                      {"role", "user"},
                                                      {"content", QLatin1String(kChatQuestion)}}}},
                                     {"max_tokens", kChatMaxTokens},
                                 })
                       .toJson(QJsonDocument::Compact);

    co_return co_await exchange(*probe.http, model, std::move(request), started, probe.cancel,
                                [](const HttpAnswer& answer) -> Outcome {
                                    const auto json = answer.bodyJson();
                                    if (!json.ok())
                                        return {Status::failure, shownError(json.error().description())};
                                    const std::optional<QString> content =
                                        PostProcessor::messageContent(json.value());
                                    return {Status::success, content ? shownSuccess(*content) : kEmpty};
                                });
}

QCoro::Task<APITester::TestResult> APITester::testWhisper(QString apiKey, Probe probe)
{
    const QString model = kRowModels[openAITranscription];
    QElapsedTimer started;
    started.start();
    const std::optional<QByteArray> audio = readTestAudio(probe.testAudioPath);
    if (!audio)
        co_return TestResult::make(model, Status::failure, kNoTestAudio);

    // Unlike a slice upload: the text parts first, then the file.
    MultipartFormData form(MultipartFormData::newBoundary());
    form.appendMultipart(QStringLiteral("model"), model);
    form.appendMultipart(QStringLiteral("response_format"), QStringLiteral("text"));
    form.appendFile(QStringLiteral("file"), QStringLiteral("test.m4a"), QStringLiteral("audio/m4a"),
                    *audio);

    HttpRequest request = probeRequest(ServiceAddresses::openAITranscriptions(), apiKey,
                                       form.contentType(), probe.timing);
    request.body = form.finished();

    co_return co_await exchange(*probe.http, model, std::move(request), started, probe.cancel,
                                [](const HttpAnswer& answer) -> Outcome {
                                    const std::optional<QString> text = answer.bodyText();
                                    return {Status::success,
                                            text ? shownSuccess(text->trimmed()) : kEmpty};
                                });
}

QCoro::Task<APITester::TestResult> APITester::testDashScopeASR(QString apiKey, Probe probe)
{
    const QString model = kRowModels[dashScope];
    QElapsedTimer started;
    started.start();
    const std::optional<QByteArray> audio = readTestAudio(probe.testAudioPath);
    if (!audio)
        co_return TestResult::make(model, Status::failure, kNoTestAudio);

    HttpRequest request = probeRequest(ServiceAddresses::dashScopeGeneration(), apiKey,
                                       "application/json", probe.timing);
    request.body = QJsonDocument(DashScopeASRService::requestBody(*audio, std::nullopt))
                       .toJson(QJsonDocument::Compact);

    co_return co_await exchange(
        *probe.http, model, std::move(request), started, probe.cancel, [](const HttpAnswer& answer) -> Outcome {
            const auto json = answer.bodyJson();
            if (!json.ok())
                return {Status::failure, shownError(json.error().description())};
            const std::optional<QStringList> texts = DashScopeASRService::recognizedTexts(json.value());
            if (!texts)
                return {Status::failure, QStringLiteral("Unexpected response format")};
            const QString joined = texts->join(QLatin1Char(' '));
            // Two empty texts join to a space: still nothing was recognised.
            if (joined.trimmed().isEmpty())
                return {Status::failure, QStringLiteral("Empty transcription result")};
            return {Status::success, shownSuccess(joined)};
        });
}

QCoro::Task<APITester::TestResult> APITester::exchange(HttpClient& http, QString model,
                                                       HttpRequest request,
                                                       QElapsedTimer started, CancelToken cancel,
                                                       AnswerReader readAnswer)
{
    const HttpResult result = co_await http.send(std::move(request), cancel);
    const double latency = double(started.nsecsElapsed()) / 1e9;
    if (!result.ok())
        co_return TestResult::make(model, Status::failure, shownError(result.error().description()),
                                   latency);
    const HttpAnswer& answer = result.value();
    if (!answer.statusCode)
        co_return TestResult::make(model, Status::failure, QStringLiteral("Invalid response"), latency);
    if (*answer.statusCode != 200) {
        co_return TestResult::make(model, Status::failure,
                                   QStringLiteral("HTTP %1: ").arg(*answer.statusCode)
                                       + shownError(answer.bodyTextOr(QString())),
                                   latency);
    }
    const Outcome outcome = readAnswer(answer);
    co_return TestResult::make(model, outcome.status, outcome.message, latency);
}
