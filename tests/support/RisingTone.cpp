#include "support/RisingTone.h"

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "support/DecodedAudio.h"

namespace RisingTone {

namespace {
constexpr double kAmplitude = 0.3;   // of full scale
}

QByteArray pcm(qint64 firstFrame, int frames)
{
    QByteArray data(frames * 2, Qt::Uninitialized);
    for (int i = 0; i < frames; ++i) {
        const double t = double(firstFrame + i) / kRate;
        const double phase = 2.0 * std::numbers::pi * (kStartHz * t + kSweep * t * t / 2.0);
        const auto sample = qint16(std::lround(kAmplitude * 32767.0 * std::sin(phase)));
        std::memcpy(data.data() + 2 * i, &sample, 2);
    }
    return data;
}

std::optional<double> fedTimeOfSample(const DecodedAudio& audio, qsizetype at)
{
    const qsizetype window = audio.sampleRate / 5;
    const qsizetype from = at - window / 2;
    if (from < 1 || from + window > qsizetype(audio.samples.size()))
        return std::nullopt;
    // Upward zero crossings, placed between samples by linear interpolation;
    // their mean spacing is the period at the middle of the window.
    std::vector<double> crossings;
    for (qsizetype i = from; i < from + window; ++i) {
        const float before = audio.samples[size_t(i - 1)];
        const float after = audio.samples[size_t(i)];
        if (before < 0.0f && after >= 0.0f)
            crossings.push_back(double(i - 1) + before / (before - after));
    }
    if (crossings.size() < 10)
        return std::nullopt;
    const double period = (crossings.back() - crossings.front()) / double(crossings.size() - 1);
    const double frequency = audio.sampleRate / period;
    const double middle = (crossings.back() + crossings.front()) / 2.0;
    return (frequency - kStartHz) / kSweep + (double(at) - middle) / audio.sampleRate;
}

}
