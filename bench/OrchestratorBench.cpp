// Dictation latency benchmark: the time from the end of a recording to its
// finished cleaned text when slices are transcribed while the recording goes
// on (only the last slice and the polish remain after the stop), against
// sending the whole recording as one file after the stop. Both run through the
// real orchestrator, store, recognition client and post-processor; the cloud
// services are one fake on loopback whose recognition latency grows with the
// audio length. The clock is scaled so that a run takes seconds.
// Usage: orchestrator_bench [recording-seconds] [slice-seconds] [runs]
#include <QCoreApplication>
#include <QCoroTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "store/DatabaseManager.h"
#include "store/Logger.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "support/HttpFake.h"
#include "support/TempHome.h"
#include "transcription/OpenAIWhisperService.h"
#include "platform/HttpClient.h"
#include "transcription/PostProcessor.h"
#include "transcription/TranscriptionOrchestrator.h"
#include "Median.h"

namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::duration<double, std::milli>;

// One second of audio or of service time lasts this long here.
constexpr Ms kScale = 10ms;
// The services, in unscaled seconds: a cloud recogniser needs a fixed round
// trip plus about a tenth of the audio's length; polishing does not depend on
// how the text was recognised.
constexpr double kRecognitionFixed = 0.5;
constexpr double kRecognitionPerAudioSecond = 0.1;
constexpr double kPolishing = 1.0;
// AAC at 48 kbit/s on the scaled clock. Real sizes would make the loopback
// upload itself, which the clock does not scale, a large part of the result.
constexpr int kBytesPerAudioSecond = 6000 / 100;

// A slice file: its length in audio seconds, which the fake service reads,
// then filler of the slice's scaled size.
QByteArray sliceAudio(int seconds)
{
    return "audio-seconds=" + QByteArray::number(seconds) + ";"
        + QByteArray(seconds * kBytesPerAudioSecond, '\x5a');
}

double audioSeconds(const QByteArray& body)
{
    static const QRegularExpression marker(QStringLiteral("audio-seconds=(\\d+);"));
    return marker.match(QString::fromLatin1(body)).captured(1).toDouble();
}

std::chrono::milliseconds scaled(double seconds)
{
    return std::chrono::milliseconds(qRound64(seconds * kScale.count()));
}

// Precise, so that the simulated recording keeps its pace.
QCoro::Task<> waitFor(std::chrono::milliseconds duration)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(std::max(duration, 0ms));
    co_await timer;
}

class Bench
{
public:
    Bench()
    {
        qputenv("TALVEX_OPENAI_BASE_URL", m_service.url().toEncoded());
        m_service.setResponder([](const HttpFake::Request& request) {
            if (request.path == "/v1/chat/completions") {
                HttpFake::Answer a = HttpFake::Answer::json(
                    200, R"({"choices":[{"message":{"content":"Polished text."}}]})");
                a.delay = scaled(kPolishing);
                return a;
            }
            HttpFake::Answer a = HttpFake::Answer::text(200, "some recognised words");
            a.delay = scaled(kRecognitionFixed
                             + kRecognitionPerAudioSecond * audioSeconds(request.body));
            return a;
        });
    }

    // Records `recordingSeconds` of audio sealed every `sliceSeconds`, stops,
    // and returns the milliseconds from the stop to the finished text.
    QCoro::Task<double> dictate(int recordingSeconds, int sliceSeconds)
    {
        Recording recording;
        recording.id = newRecordId();
        recording.userId = QStringLiteral("local");
        recording.createdAt = QDateTime::currentDateTimeUtc();
        recording.status = RecordingStatus::recording;
        recording.updatedAt = recording.createdAt;
        m_db.insertRecording(recording);

        QElapsedTimer clock;
        clock.start();
        int index = 0;
        for (int start = 0; start < recordingSeconds; start += sliceSeconds) {
            const int end = std::min(start + sliceSeconds, recordingSeconds);
            co_await waitFor(scaled(end) - std::chrono::milliseconds(clock.elapsed()));
            sealSlice(recording, ++index, end - start);
        }

        // The stop: the last slice is sealed and handed over just above.
        QElapsedTimer sinceStop;
        sinceStop.start();
        recording.status = RecordingStatus::recorded;
        recording.duration = recordingSeconds;
        recording.sliceCount = index;
        m_db.updateRecording(recording);
        const Recording done = co_await m_orchestrator.finalizeRecording(recording);
        const double elapsed = double(sinceStop.nsecsElapsed()) / 1e6;
        if (done.status != RecordingStatus::completed || !done.cleanedText) {
            std::fprintf(stderr, "recording ended %s: %s\n", qPrintable(toText(done.status)),
                         qPrintable(done.error.value_or(QStringLiteral("?"))));
            co_return -1.0;
        }
        co_return elapsed;
    }

private:
    void sealSlice(const Recording& recording, int index, int seconds)
    {
        Slice slice;
        slice.id = newRecordId();
        slice.userId = recording.userId;
        slice.recordingId = recording.id;
        slice.sliceIndex = index;
        slice.filename = RecordingFileManager::generateSliceFilename(
            recording.id, index, QDateTime::currentDateTime());
        slice.duration = seconds;
        slice.updatedAt = QDateTime::currentDateTimeUtc();
        QFile file(*m_files.sliceFilePath(slice.filename));
        if (file.open(QIODevice::WriteOnly))
            file.write(sliceAudio(seconds));
        file.close();
        m_db.insertSlice(slice);
        m_orchestrator.onSliceReady(slice);
    }

    HttpFake m_service;
    RecordingFileManager m_files;
    Logger m_logger{m_files.logsDirectory()};
    DatabaseManager m_db{m_files.baseDirectory()};
    HttpClient m_http;
    PostProcessor m_postProcessor{
        m_http,
        {.apiKeyProvider = [] { return QStringLiteral("sk-bench"); },
         .deepSeekApiKeyProvider = [] { return QString(); },
         .modelProvider = [] { return QStringLiteral("gpt-4o-mini"); },
         .systemPromptProvider = [] { return QStringLiteral("Polish the text."); },
         .glossaryProvider = [] { return QString(); }},
        m_logger};
    TranscriptionOrchestrator m_orchestrator{
        [this] {
            return std::make_unique<OpenAIWhisperService>(
                m_http, [] { return QStringLiteral("sk-bench"); }, &m_logger);
        },
        m_postProcessor,
        m_db,
        m_files,
        m_logger,
        // The orchestrator's own waits run on the same scaled clock.
        {.retryWaitUnit = scaled(1), .pollInterval = scaled(0.5)}};
};

QCoro::Task<int> run(int recordingSeconds, int sliceSeconds, int runs)
{
    Bench bench;
    std::vector<double> sliced;
    std::vector<double> whole;
    for (int i = 0; i < runs; ++i) {
        sliced.push_back(co_await bench.dictate(recordingSeconds, sliceSeconds));
        whole.push_back(co_await bench.dictate(recordingSeconds, recordingSeconds));
    }
    if (*std::min_element(sliced.begin(), sliced.end()) < 0
        || *std::min_element(whole.begin(), whole.end()) < 0)
        co_return 1;

    const double s = median(sliced);
    const double w = median(whole);
    std::printf("Scaled clock: 1 s = %.0f ms. Recognition %.1f s + %.2f s per audio second, "
                "polishing %.1f s, poll %.1f s.\n",
                kScale.count(), kRecognitionFixed, kRecognitionPerAudioSecond, kPolishing, 0.5);
    std::printf("%d s recording, %d s slices, median of %d runs, from the stop to the cleaned text:\n",
                recordingSeconds, sliceSeconds, runs);
    std::printf("  slices transcribed during the recording: %8.1f ms (%5.1f s unscaled)\n", s,
                s / kScale.count());
    std::printf("  whole recording sent after the stop:     %8.1f ms (%5.1f s unscaled)\n", w,
                w / kScale.count());
    std::printf("  ratio whole / sliced:                    %8.2f\n", w / s);
    co_return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int recordingSeconds = args.value(1, QStringLiteral("120")).toInt();
    const int sliceSeconds = args.value(2, QStringLiteral("30")).toInt();
    const int runs = args.value(3, QStringLiteral("5")).toInt();
    if (recordingSeconds <= 0 || sliceSeconds <= 0 || runs <= 0) {
        std::fprintf(stderr, "usage: orchestrator_bench [recording-seconds] [slice-seconds] [runs]\n");
        return 2;
    }

    TempHome home;   // a private data folder for the store, slices and logs
    int exitCode = 1;
    bool finished = false;
    auto task = [&]() -> QCoro::Task<> {
        exitCode = co_await run(recordingSeconds, sliceSeconds, runs);
        finished = true;
        QCoreApplication::quit();
    };
    QTimer::singleShot(0, [&] { task(); });
    app.exec();
    return finished ? exitCode : 1;
}
