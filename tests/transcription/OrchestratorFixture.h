#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <memory>

#include "support/QStringPrinter.h"
#include "support/RecordPrinter.h"
#include "ServiceFixture.h"
#include "platform/Preferences.h"
#include "store/DatabaseManager.h"
#include "store/RecordId.h"
#include "store/RecordingFileManager.h"
#include "store/TimeText.h"
#include "support/TempHome.h"
#include "transcription/PostProcessor.h"
#include "transcription/ProviderFactory.h"
#include "transcription/TranscriptionOrchestrator.h"

namespace orchestratortest {

inline QByteArray chatAnswer(const QString& content)
{
    return R"({"choices":[{"message":{"role":"assistant","content":")" + content.toUtf8()
        + R"("}}]})";
}

// An old time, so that a fresh stamp is always later.
inline QDateTime longAgo() { return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC); }

}  // namespace orchestratortest

// A real store and data folder in a temporary home, the real provider factory
// and post-processor talking to the fake services, and an orchestrator with
// shrunken waits. The OpenAI fake answers transcriptions through `transcribe`
// (given the slice index found in the uploaded audio and the attempt number)
// and chat requests through `polish`.
class OrchestratorFixture : public ServiceFixture
{
protected:
    static constexpr auto kTranscriptions = "/v1/audio/transcriptions";
    static constexpr auto kChat = "/v1/chat/completions";

    void SetUp() override
    {
        ServiceFixture::SetUp();
        prefs.setValue(PrefKey::apiKey, "sk-openai-test");
        prefs.setValue(PrefKey::dashScopeApiKey, "sk-dash-test");
        clock.start();
        openAI.setResponder([this](const HttpFake::Request& request) {
            arrivals.append(clock.elapsed());
            if (request.path == kChat)
                return polish(request);
            const int slice = sliceOf(request.body);
            return transcribe(slice, ++attempts[slice]);
        });
    }

    // The slice whose audio (as addSlice writes it) a request carries; 0 for none.
    static int sliceOf(const QByteArray& body)
    {
        static const QRegularExpression marker("audio of slice (\\d+)");
        const auto match = marker.match(QString::fromLatin1(body));
        return match.hasMatch() ? match.captured(1).toInt() : 0;
    }

    // A recording as the controller leaves it at the stop.
    Recording addRecording()
    {
        Recording r;
        r.id = newRecordId();
        r.userId = "local";
        r.createdAt = orchestratortest::longAgo();
        r.duration = 61.5;
        r.status = RecordingStatus::recorded;
        r.deviceId = "device-1";
        r.updatedAt = orchestratortest::longAgo();
        db.insertRecording(r);
        return *db.fetchRecording(r.id);
    }

    // A slice row and, unless told otherwise, its audio file.
    // `filename` replaces the recorder's name (as a synced row might).
    Slice addSlice(const Recording& recording, int index, SliceStatus status = SliceStatus::pending,
                   std::optional<QString> rawText = std::nullopt, bool withFile = true,
                   std::optional<QString> filename = std::nullopt)
    {
        Slice s;
        s.id = newRecordId();
        s.userId = recording.userId;
        s.recordingId = recording.id;
        s.sliceIndex = index;
        s.filename = filename.value_or(RecordingFileManager::generateSliceFilename(
            recording.id, index, orchestratortest::longAgo()));
        s.status = status;
        s.rawText = std::move(rawText);
        s.duration = 30;
        s.updatedAt = orchestratortest::longAgo();
        if (withFile)
            writeFile(files.recordingsDirectory() + "/" + s.filename, index);
        db.insertSlice(s);
        return *db.fetchSlice(s.id);
    }

    static void writeFile(const QString& path, int sliceIndex)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write("m4a audio of slice " + QByteArray::number(sliceIndex) + " end");
    }

    void addGlossary(const QString& userId, const QString& content, int second)
    {
        const QDateTime at = orchestratortest::longAgo().addSecs(second);
        db.insertGlossaryItem({newRecordId(), userId, content, std::nullopt, at, at});
    }

    QList<HttpFake::Request> requestsTo(const HttpFake& fake, const QByteArray& path) const
    {
        QList<HttpFake::Request> found;
        for (const HttpFake::Request& r : fake.requests()) {
            if (r.path == path)
                found << r;
        }
        return found;
    }

    // Lines of the orchestrator, in order.
    QStringList orchestratorLines()
    {
        return logMessages().filter(QRegularExpression("^Orchestrator: "));
    }

    // A new orchestrator with other waits.
    void rebuild(OrchestratorTiming waits)
    {
        orchestrator = std::make_unique<TranscriptionOrchestrator>(
            makeProviderFactory(http, prefs, &logger, recognitionTiming), postProcessor, db, files, logger, waits);
    }

    std::optional<Recording> finalize(const Recording& recording, CancelToken cancel = {},
                                      int timeoutMs = 5000)
    {
        return runTask(orchestrator->finalizeRecording(recording, cancel), timeoutMs);
    }

    bool sliceSettles(const Slice& slice, int timeoutMs = 5000)
    {
        return waitUntil([&] {
            const auto s = db.fetchSlice(slice.id);
            return s && (s->status == SliceStatus::completed || s->status == SliceStatus::failed);
        }, timeoutMs);
    }

    std::function<HttpFake::Answer(int slice, int attempt)> transcribe = [](int slice, int) {
        return HttpFake::Answer::text(200, "text " + QByteArray::number(slice) + "\n");
    };
    std::function<HttpFake::Answer(const HttpFake::Request&)> polish = [](const HttpFake::Request&) {
        return HttpFake::Answer::json(200, orchestratortest::chatAnswer("Polished."));
    };
    std::map<int, int> attempts;
    QList<qint64> arrivals;   // ms since the test began, one per OpenAI request
    QElapsedTimer clock;

    TempHome home;
    RecordingFileManager files;
    DatabaseManager db{files.baseDirectory()};
    Preferences prefs{home.configHome() + "/Talvex/Talvex.conf"};
    // Ample for an answer on loopback, also on a busy machine.
    HttpTiming recognitionTiming{.serviceRequestTimeout = 3s};
    // A long time-out: a polishing request that ends early was aborted.
    HttpTiming polishTiming{.serviceRequestTimeout = 20s};
    PostProcessor postProcessor{http, {.apiKeyProvider = [this] { return prefs.apiKey(); },
                                 .deepSeekApiKeyProvider = [this] { return prefs.deepSeekApiKey(); },
                                 .modelProvider = [this] { return prefs.postProcessModel(); },
                                 .systemPromptProvider = [] { return QString("Polish."); },
                                 .glossaryProvider =
                                     [this] { return db.fetchGlossaryPrompt("local").value_or(""); }},
                                logger, polishTiming};
    OrchestratorTiming orchestratorTiming{.retryWaitUnit = 10ms, .pollInterval = 10ms};
    std::unique_ptr<TranscriptionOrchestrator> orchestrator =
        std::make_unique<TranscriptionOrchestrator>(makeProviderFactory(http, prefs, &logger, recognitionTiming),
                                                    postProcessor, db, files, logger,
                                                    orchestratorTiming);
};
