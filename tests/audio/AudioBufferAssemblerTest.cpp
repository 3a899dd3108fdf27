#include <gtest/gtest.h>
#include <numeric>

#include "platform/AudioBufferAssembler.h"

namespace {

const AudioFormat kStereo16{48000, 2, AudioSampleFormat::int16};   // 4 bytes a frame
constexpr int kFrames = AudioCapture::kBufferFrames;

QByteArray numberedBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 7 % 251);
    return bytes;
}

} // namespace

TEST(AudioBufferAssembler, CutsAnyPiecesIntoWholeBuffersAndFlushesTheRemainder)
{
    const struct
    {
        const char* name;
        std::vector<qsizetype> pieces;   // bytes handed over per read
        std::vector<int> expectedFrames; // frames of each delivered buffer, flush included
    } cases[] = {
        {"one exact buffer", {kFrames * 4}, {kFrames}},
        {"pieces of a live input", std::vector<qsizetype>(10, 7100), {kFrames, kFrames, kFrames, kFrames, 1366}},
        {"frames split across pieces", {3, 5, 16381, 3}, {kFrames, 2}},
        {"one piece of several buffers", {kFrames * 4 * 3 + 40}, {kFrames, kFrames, kFrames, 10}},
        {"a trailing partial frame is dropped", {kFrames * 4 + 6}, {kFrames, 1}},
        {"nothing", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qsizetype total = std::accumulate(c.pieces.begin(), c.pieces.end(), qsizetype(0));
        const QByteArray input = numberedBytes(total);
        std::vector<AudioBuffer> delivered;
        AudioBufferAssembler assembler(kStereo16, kFrames,
                                       [&](const AudioBuffer& b) { delivered.push_back(b); });
        qsizetype at = 0;
        for (const qsizetype piece : c.pieces) {
            assembler.append(input.constData() + at, piece);
            at += piece;
        }
        assembler.flush();
        assembler.flush();   // a second flush has nothing left to deliver

        std::vector<int> frames;
        QByteArray joined;
        for (const AudioBuffer& b : delivered) {
            EXPECT_EQ(b.format, kStereo16);
            frames.push_back(b.frameCount());
            joined += b.data;
        }
        EXPECT_EQ(frames, c.expectedFrames);
        EXPECT_TRUE(joined == input.left(joined.size())) << "bytes reordered or altered";
        EXPECT_EQ(joined.size(), total / 4 * 4);
        EXPECT_EQ(assembler.pendingFrames(), 0);
    }
}

TEST(AudioBufferAssembler, DeliversEachBufferAsSoonAsItIsFull)
{
    int delivered = 0;
    AudioBufferAssembler assembler(kStereo16, kFrames, [&](const AudioBuffer&) { ++delivered; });
    const QByteArray bytes = numberedBytes(kFrames * 4);
    assembler.append(bytes.constData(), bytes.size() - 4);
    EXPECT_EQ(delivered, 0);
    EXPECT_EQ(assembler.pendingFrames(), kFrames - 1);
    assembler.append(bytes.constData(), 4);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(assembler.pendingFrames(), 0);
}
