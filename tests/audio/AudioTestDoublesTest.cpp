// The doubles that later tests of the recorder stand on: they must behave
// like the real capture and writer in what those tests rely on.
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <mutex>

#include "support/EventLoop.h"
#include "support/MemoryAudioFileWriter.h"
#include "support/ToneCapture.h"

namespace {

struct Delivered
{
    mutable std::mutex mutex;
    QByteArray data;
    std::vector<int> frames;
    std::vector<QString> failures;
    std::set<std::thread::id> threads;

    void connect(AudioCapture& capture)
    {
        capture.setBufferHandler([this](const AudioBuffer& b) {
            std::lock_guard lock(mutex);
            data += b.data;
            frames.push_back(b.frameCount());
            threads.insert(std::this_thread::get_id());
        });
        capture.setFailureHandler([this](const QString& message) {
            std::lock_guard lock(mutex);
            failures.push_back(message);
            threads.insert(std::this_thread::get_id());
        });
    }
    size_t buffers() const { std::lock_guard lock(mutex); return frames.size(); }
};

ToneCapture::Options fast(double speed = 20.0)
{
    ToneCapture::Options options;
    options.format = {16000, 2, AudioSampleFormat::float32};
    options.speed = speed;
    return options;
}

} // namespace

TEST(ToneCapture, DeliversAContinuousToneIn4096FrameBuffersAtItsPaceOnItsOwnThread)
{
    const ToneCapture::Options options = fast();
    ToneCapture capture(options);
    Delivered delivered;
    delivered.connect(capture);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(capture.start());
    EXPECT_TRUE(capture.isRunning());
    ASSERT_TRUE(waitUntil([&] { return delivered.buffers() >= 5; }));
    const double perBuffer = 1000.0 * AudioCapture::kBufferFrames / 16000 / options.speed;
    EXPECT_GE(clock.elapsed(), 5 * perBuffer * 0.9) << "faster than its pace";
    capture.stop();
    EXPECT_FALSE(capture.isRunning());

    std::lock_guard lock(delivered.mutex);
    ASSERT_GE(delivered.frames.size(), 5u);
    for (size_t i = 0; i + 1 < delivered.frames.size(); ++i)
        EXPECT_EQ(delivered.frames[i], AudioCapture::kBufferFrames);
    EXPECT_LT(delivered.frames.back(), AudioCapture::kBufferFrames);
    const qint64 total = capture.framesDelivered();
    EXPECT_EQ(delivered.data.size(), total * options.format.bytesPerFrame());
    EXPECT_TRUE(delivered.data == ToneCapture::tone(options.format, options.signal, 0, int(total)).data);
    ASSERT_EQ(delivered.threads.size(), 1u);
    EXPECT_EQ(*delivered.threads.begin(), capture.captureThreadId());
    EXPECT_NE(capture.captureThreadId(), std::this_thread::get_id());
}

TEST(ToneCapture, PauseHandsOnTheRemainderAndResumeContinuesTheTone)
{
    const ToneCapture::Options options = fast();
    ToneCapture capture(options);
    Delivered delivered;
    delivered.connect(capture);
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(waitUntil([&] { return delivered.buffers() >= 2; }));
    capture.pause();
    EXPECT_FALSE(capture.isRunning());
    const size_t atPause = delivered.buffers();
    spinFor(100);
    EXPECT_EQ(delivered.buffers(), atPause);
    const qint64 framesAtPause = capture.framesDelivered();
    QElapsedTimer sinceResume;
    sinceResume.start();
    ASSERT_TRUE(capture.start());
    ASSERT_TRUE(waitUntil([&] { return delivered.buffers() >= atPause + 2; }));
    capture.stop();
    const double heardSinceResume = sinceResume.nsecsElapsed() / 1e9 * options.speed * options.format.sampleRate;

    std::lock_guard lock(delivered.mutex);
    // The pause's 100 ms were not heard: the tone goes on where it stopped,
    // and no more came after the resume than the time since then holds.
    EXPECT_TRUE(delivered.data
                == ToneCapture::tone(options.format, options.signal, 0, int(capture.framesDelivered())).data);
    EXPECT_LE(double(capture.framesDelivered() - framesAtPause), heardSinceResume + 1);   // + rounding
}

TEST(ToneCapture, StagedFailures)
{
    ToneCapture::Options refusing = fast();
    refusing.startError = "No audio input device";
    ToneCapture refused(refusing);
    Delivered nothing;
    nothing.connect(refused);
    EXPECT_FALSE(refused.start());
    EXPECT_EQ(refused.errorString(), "No audio input device");
    EXPECT_FALSE(refused.isRunning());
    refused.stop();
    EXPECT_EQ(nothing.buffers(), 0u);

    ToneCapture failing(fast());
    Delivered delivered;
    delivered.connect(failing);
    ASSERT_TRUE(failing.start());
    ASSERT_TRUE(waitUntil([&] { return delivered.buffers() >= 1; }));
    failing.failWith("The audio input stopped");
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(delivered.mutex);
        return !delivered.failures.empty();
    }));
    EXPECT_FALSE(failing.isRunning());
    failing.stop();
    std::lock_guard lock(delivered.mutex);
    EXPECT_EQ(delivered.failures, std::vector<QString>{"The audio input stopped"});
    EXPECT_EQ(delivered.threads, std::set<std::thread::id>{failing.captureThreadId()});
}

TEST(MemoryAudioFileWriter, KeepsEveryWritersAudioAndFailsAsTold)
{
    const AudioFormat format{16000, 1, AudioSampleFormat::int16};
    const AudioBuffer buffer = ToneCapture::tone(format, {}, 0, 4096);
    auto log = std::make_shared<MemoryAudioFileWriter::Log>();
    {
        const AudioFileWriterFactory factory = MemoryAudioFileWriter::factory(log);
        std::unique_ptr<AudioFileWriter> first = factory();
        ASSERT_TRUE(first->open("/slices/1.m4a", format));
        EXPECT_TRUE(first->append(buffer));
        EXPECT_TRUE(first->append(AudioBuffer{format, buffer.data.left(200)}));
        std::unique_ptr<AudioFileWriter> second = factory();
        ASSERT_TRUE(second->open("/slices/2.m4a", format));
    }
    MemoryAudioFileWriter::Failures failures;
    failures.appendsBeforeFailure = 1;
    std::unique_ptr<AudioFileWriter> failing = MemoryAudioFileWriter::factory(log, failures)();
    ASSERT_TRUE(failing->open("/slices/3.m4a", format));
    EXPECT_TRUE(failing->append(buffer));
    EXPECT_FALSE(failing->append(buffer));
    EXPECT_FALSE(failing->append(buffer));
    EXPECT_EQ(failing->failedAppends(), 2);
    EXPECT_FALSE(failing->close());

    failures = {};
    failures.openError = "Cannot open slice file";
    std::unique_ptr<AudioFileWriter> refused = MemoryAudioFileWriter::factory(log, failures)();
    EXPECT_FALSE(refused->open("/slices/4.m4a", format));
    EXPECT_EQ(refused->errorString(), "Cannot open slice file");

    const QList<MemoryAudioFileWriter::File> files = log->files();
    ASSERT_EQ(files.size(), 4);
    EXPECT_EQ(files[0].path, "/slices/1.m4a");
    EXPECT_EQ(files[0].bufferFrames, (QList<int>{4096, 100}));
    EXPECT_EQ(files[0].frames(), 4196);
    EXPECT_TRUE(files[0].closed) << "released writers are closed";
    EXPECT_EQ(files[1].frames(), 0);
    EXPECT_EQ(files[2].frames(), 4096);
    EXPECT_EQ(files[2].failedAppends, 2);
    EXPECT_FALSE(files[3].opened);
}
