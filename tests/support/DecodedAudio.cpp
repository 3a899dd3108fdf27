#include "support/DecodedAudio.h"

#include <QFile>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// Appends the first channel of a decoded frame, whatever its sample format.
void appendFirstChannel(const AVFrame* frame, std::vector<float>& out)
{
    const auto format = AVSampleFormat(frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    const int stride = planar ? 1 : frame->ch_layout.nb_channels;
    const uint8_t* data = frame->extended_data[0];
    for (int i = 0; i < frame->nb_samples; ++i) {
        const int at = i * stride;
        switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_FLT: out.push_back(reinterpret_cast<const float*>(data)[at]); break;
        case AV_SAMPLE_FMT_S16: out.push_back(reinterpret_cast<const int16_t*>(data)[at] / 32768.0f); break;
        case AV_SAMPLE_FMT_S32: out.push_back(float(reinterpret_cast<const int32_t*>(data)[at] / 2147483648.0)); break;
        default: return;
        }
    }
}

} // namespace

DecodedAudio DecodedAudio::decode(const QString& path)
{
    DecodedAudio result;
    AVFormatContext* input = nullptr;
    const QByteArray url = "file:" + QFile::encodeName(path);
    if (avformat_open_input(&input, url.constData(), nullptr, nullptr) < 0) {
        result.error = "cannot open " + path;
        return result;
    }
    AVCodecContext* codec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const AVCodec* decoder = nullptr;
    const int stream = avformat_find_stream_info(input, nullptr) < 0
        ? -1 : av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    result.containerNames = QString::fromLatin1(input->iformat->name);
    if (stream < 0 || !decoder) {
        result.error = "no audio stream in " + path;
    } else {
        codec = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(codec, input->streams[stream]->codecpar);
        if (avcodec_open2(codec, decoder, nullptr) < 0) {
            result.error = "cannot open the decoder";
        } else {
            result.codecName = QString::fromLatin1(decoder->name);
            result.sampleRate = codec->sample_rate;
            result.channelCount = codec->ch_layout.nb_channels;
            const auto drain = [&] {
                while (avcodec_receive_frame(codec, frame) >= 0) {
                    appendFirstChannel(frame, result.samples);
                    av_frame_unref(frame);
                }
            };
            // A truncated file ends in a read error: keep what came before it.
            while (av_read_frame(input, packet) >= 0) {
                if (packet->stream_index == stream && avcodec_send_packet(codec, packet) >= 0)
                    drain();
                av_packet_unref(packet);
            }
            avcodec_send_packet(codec, nullptr);
            drain();
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&input);
    return result;
}

double DecodedAudio::powerShareAt(double frequency) const
{
    // Goertzel's single-bin DFT.
    const size_t from = samples.size() / 4;
    const size_t to = samples.size() * 3 / 4;
    if (to <= from || sampleRate <= 0)
        return 0.0;
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * frequency / sampleRate);
    double previous = 0.0, beforePrevious = 0.0, energy = 0.0;
    for (size_t i = from; i < to; ++i) {
        const double current = samples[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
        energy += double(samples[i]) * samples[i];
    }
    const double binPower = previous * previous + beforePrevious * beforePrevious
        - coefficient * previous * beforePrevious;
    const double n = double(to - from);
    return energy > 0.0 ? (2.0 * binPower / n) / energy : 0.0;
}

double DecodedAudio::rms() const
{
    double sum = 0.0;
    for (float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}
