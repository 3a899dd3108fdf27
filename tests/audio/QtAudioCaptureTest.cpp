#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

#include "support/PulseTestServer.h"
#include "platform/qt/QtAudioCapture.h"
#include "support/EventLoop.h"
#include "support/TempHome.h"

namespace {

// What a capture handed to its handlers, gathered on the capture thread.
class Captured
{
public:
    void connect(AudioCapture& capture)
    {
        capture.setBufferHandler([this](const AudioBuffer& buffer) {
            std::lock_guard lock(m_mutex);
            m_data += buffer.data;
            m_bufferFrames.push_back(buffer.frameCount());
            m_formats.insert(buffer.format.description());
            m_threads.insert(QThread::currentThread());
        });
        capture.setFailureHandler([this](const QString& message) {
            std::lock_guard lock(m_mutex);
            m_failures.push_back(message);
        });
    }

    QByteArray data() const { std::lock_guard lock(m_mutex); return m_data; }
    std::vector<int> bufferFrames() const { std::lock_guard lock(m_mutex); return m_bufferFrames; }
    std::set<QString> formats() const { std::lock_guard lock(m_mutex); return m_formats; }
    std::set<QThread*> threads() const { std::lock_guard lock(m_mutex); return m_threads; }
    std::vector<QString> failures() const { std::lock_guard lock(m_mutex); return m_failures; }
    qsizetype bytes() const { std::lock_guard lock(m_mutex); return m_data.size(); }

private:
    mutable std::mutex m_mutex;
    QByteArray m_data;
    std::vector<int> m_bufferFrames;
    std::set<QString> m_formats;
    std::set<QThread*> m_threads;
    std::vector<QString> m_failures;
};

// Mono s16le frames of a pattern that never repeats within a test, so that
// any lost, doubled or reordered piece shows.
QByteArray pattern(int frames, quint32 seed)
{
    QByteArray pcm(frames * 2, Qt::Uninitialized);
    quint32 state = seed;
    for (int i = 0; i < frames; ++i) {
        state = state * 1664525u + 1013904223u;
        const qint16 sample = qint16(state >> 16);
        std::memcpy(pcm.data() + 2 * i, &sample, 2);
    }
    return pcm;
}

// Every buffer is a full 4096 frames except those that end a capture run.
void expectWholeBuffersExceptAt(const std::vector<int>& frames, const std::set<size_t>& shortAllowed)
{
    for (size_t i = 0; i < frames.size(); ++i) {
        if (shortAllowed.count(i))
            EXPECT_LE(frames[i], AudioCapture::kBufferFrames) << "buffer " << i;
        else
            EXPECT_EQ(frames[i], AudioCapture::kBufferFrames) << "buffer " << i;
    }
}

class QtAudioCaptureSoundServer : public testing::Test
{
protected:
    void SetUp() override
    {
        const QString error = server.start();
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    }

    TempHome home;
    PulseTestServer server{home.path() + "/runtime"};
};

} // namespace

TEST(QtAudioCapture, StartFailsAtOnceWithAClearErrorWhenNoServerRuns)
{
    TempHome home;
    PulseTestServer notStarted(home.path() + "/runtime");
    QElapsedTimer clock;
    clock.start();

    QtAudioCapture capture;
    Captured captured;
    captured.connect(capture);
    EXPECT_FALSE(capture.format().isValid());
    EXPECT_FALSE(capture.start());
    EXPECT_EQ(capture.errorString(), "No audio input device (is a sound server running?)");
    EXPECT_FALSE(capture.isRunning());
    capture.stop();
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(captured.data().isEmpty());
    EXPECT_TRUE(captured.failures().empty());
}

TEST_F(QtAudioCaptureSoundServer, DeliversTheFedPcmIn4096FrameBuffersOnTheCaptureThread)
{
    QtAudioCapture capture;
    const AudioFormat expected{PulseTestServer::kRate, 1, AudioSampleFormat::int16};
    ASSERT_EQ(capture.format(), expected);
    Captured captured;
    captured.connect(capture);
    ASSERT_TRUE(capture.start()) << capture.errorString().toStdString();
    EXPECT_TRUE(capture.isRunning());

    const int frames = 9 * AudioCapture::kBufferFrames + 1500;
    const QByteArray fed = pattern(frames, 7);
    const QString fedError = server.feed(fed, 4.0);
    ASSERT_TRUE(fedError.isEmpty()) << fedError.toStdString();
    ASSERT_TRUE(waitUntil([&] { return captured.bufferFrames().size() >= 9; }));
    // The last 1500 frames are on their way through the server; nothing
    // observable tells when they have reached the input, so give them time.
    spinFor(500);
    EXPECT_EQ(captured.bufferFrames().size(), 9u) << "a short buffer before stop";

    capture.stop();
    EXPECT_FALSE(capture.isRunning());
    const std::vector<int> buffers = captured.bufferFrames();
    ASSERT_EQ(buffers.size(), 10u);
    expectWholeBuffersExceptAt(buffers, {9});
    EXPECT_EQ(buffers.back(), 1500) << "stop delivers the remainder";
    EXPECT_TRUE(captured.data() == fed) << "captured bytes differ from the fed PCM";
    EXPECT_EQ(captured.formats(), std::set<QString>{expected.description()});
    ASSERT_EQ(captured.threads().size(), 1u);
    EXPECT_NE(*captured.threads().begin(), QThread::currentThread());
    EXPECT_TRUE(captured.failures().empty());
    EXPECT_FALSE(capture.start()) << "a stopped capture does not start again";
}

TEST_F(QtAudioCaptureSoundServer, PauseDeliversWhatCameAndResumeGoesOnWithoutLoss)
{
    QtAudioCapture capture;
    Captured captured;
    captured.connect(capture);
    ASSERT_TRUE(capture.start()) << capture.errorString().toStdString();

    const QByteArray before = pattern(3 * AudioCapture::kBufferFrames + 700, 11);
    ASSERT_TRUE(server.feed(before, 4.0).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return captured.bufferFrames().size() >= 3; }));
    spinFor(500);
    capture.pause();
    EXPECT_FALSE(capture.isRunning());
    const size_t atPause = captured.bufferFrames().size();
    EXPECT_EQ(captured.data(), before) << "pause delivers everything captured so far";
    spinFor(300);
    EXPECT_EQ(captured.bufferFrames().size(), atPause) << "nothing is delivered while paused";

    ASSERT_TRUE(capture.start()) << capture.errorString().toStdString();
    EXPECT_TRUE(capture.isRunning());
    const QByteArray after = pattern(2 * AudioCapture::kBufferFrames + 300, 13);
    ASSERT_TRUE(server.feed(after, 4.0).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return captured.bytes() >= before.size() + 2 * 4096 * 2; }));
    spinFor(500);
    capture.stop();

    EXPECT_TRUE(captured.data() == before + after) << "audio lost or doubled across the pause";
    expectWholeBuffersExceptAt(captured.bufferFrames(), {atPause - 1, captured.bufferFrames().size() - 1});
}

TEST_F(QtAudioCaptureSoundServer, ReportsTheServerDyingMidCapture)
{
    QtAudioCapture capture;
    Captured captured;
    captured.connect(capture);
    ASSERT_TRUE(capture.start()) << capture.errorString().toStdString();
    ASSERT_TRUE(server.feed(pattern(AudioCapture::kBufferFrames + 2000, 17), 4.0).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !captured.bufferFrames().empty(); }));
    spinFor(300);

    server.kill();
    ASSERT_TRUE(waitUntil([&] { return !captured.failures().empty(); }));
    EXPECT_FALSE(capture.isRunning());
    ASSERT_EQ(captured.failures().size(), 1u);
    EXPECT_TRUE(captured.failures().front().contains("stopped: the sound server failed"))
        << captured.failures().front().toStdString();
    EXPECT_EQ(captured.bytes(), (AudioCapture::kBufferFrames + 2000) * 2)
        << "what came before the failure is delivered";
    EXPECT_FALSE(capture.start()) << "a failed input does not claim to run again";
    EXPECT_EQ(capture.errorString(), captured.failures().front());
    capture.stop();
    EXPECT_EQ(captured.failures().size(), 1u);
}

TEST_F(QtAudioCaptureSoundServer, StartFailsAtOnceWhenTheServerWentAwayAfterTheDeviceWasFound)
{
    QtAudioCapture capture;
    ASSERT_TRUE(capture.format().isValid());
    server.kill();
    Captured captured;
    captured.connect(capture);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(capture.start());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(capture.errorString().startsWith("Could not open the audio input"))
        << capture.errorString().toStdString();
    EXPECT_FALSE(capture.isRunning());
    capture.stop();
    EXPECT_TRUE(captured.data().isEmpty());
    EXPECT_TRUE(captured.failures().empty());
}
