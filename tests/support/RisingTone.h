#pragma once

#include <QByteArray>
#include <optional>

struct DecodedAudio;

// A microphone signal whose pitch tells when it was fed: a tone rising
// linearly from kStartHz by kSweep Hz per second of the feed, so that
// where a recording's audio starts and ends can be read off the audio
// itself, lossy encoding and all.
namespace RisingTone {

inline constexpr int kRate = 16000;   // s16le mono, the test microphone's format
inline constexpr double kStartHz = 200.0;
inline constexpr double kSweep = 40.0;

// Frames [firstFrame, firstFrame + frames) of the tone.
QByteArray pcm(qint64 firstFrame, int frames);

// The feed time (seconds from its first frame) of decoded sample `at`,
// read from the pitch around it; none when it holds no clean tone there.
std::optional<double> fedTimeOfSample(const DecodedAudio& audio, qsizetype at);

}
