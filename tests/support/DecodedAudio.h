#pragma once

#include <QString>
#include <vector>

// A file decoded back with libavformat/libavcodec: what a reader of the slice
// gets. `error` is set when the file could not be read at all.
struct DecodedAudio
{
    QString error;
    QString containerNames;   // the demuxer's names ("mov,mp4,m4a,3gp,3g2,mj2")
    QString codecName;        // "aac"
    int sampleRate = 0;
    int channelCount = 0;
    std::vector<float> samples;   // the first channel

    static DecodedAudio decode(const QString& path);

    double seconds() const { return sampleRate > 0 ? double(samples.size()) / sampleRate : 0.0; }
    // The share of the signal's power (0 to 1) at `frequency`, over the
    // middle half: near 1 for a clean tone there, near 0 for noise or a tone
    // played at the wrong speed.
    double powerShareAt(double frequency) const;
    double rms() const;
};
