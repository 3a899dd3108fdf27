#include "platform/ffmpeg/FfmpegAudioFileProbe.h"

#include <memory>

#include "platform/ffmpeg/FfmpegAudioFileWriter.h"
#include "platform/ffmpeg/FfmpegError.h"
#include "platform/ffmpeg/Mp4Remux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

struct InputCloser
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFreer
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFreer
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFreer
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

} // namespace

namespace {

struct Measured
{
    qint64 samples = 0;
    int sampleRate = 0;

    double seconds() const { return double(samples) / sampleRate; }
};

Result<Measured, QString> measure(const QString& path)
{
    const auto failed = [&](const QString& what, int code) {
        return QStringLiteral("Cannot read audio file %1: %2 (%3)").arg(path, what, ffmpegErrorText(code));
    };

    AVFormatContext* rawInput = nullptr;
    int rc = avformat_open_input(&rawInput, ffmpegFileUrl(path).constData(), nullptr, nullptr);
    if (rc < 0)
        return failed(QStringLiteral("opening it failed"), rc);
    const std::unique_ptr<AVFormatContext, InputCloser> input(rawInput);
    if ((rc = avformat_find_stream_info(input.get(), nullptr)) < 0)
        return failed(QStringLiteral("reading its streams failed"), rc);
    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream < 0 || !decoder)
        return failed(QStringLiteral("it has no audio stream"), stream < 0 ? stream : AVERROR_DECODER_NOT_FOUND);

    const std::unique_ptr<AVCodecContext, CodecFreer> codec(avcodec_alloc_context3(decoder));
    const std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    const std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!codec || !packet || !frame)
        return failed(QStringLiteral("allocating the decoder failed"), AVERROR(ENOMEM));
    if ((rc = avcodec_parameters_to_context(codec.get(), input->streams[stream]->codecpar)) < 0
        || (rc = avcodec_open2(codec.get(), decoder, nullptr)) < 0)
        return failed(QStringLiteral("opening the decoder failed"), rc);

    qint64 samples = 0;
    const auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame.get()) >= 0) {
            samples += frame->nb_samples;
            av_frame_unref(frame.get());
        }
    };
    // A file cut short ends in a read error: what came before it counts. A
    // packet the decoder rejects (torn by the cut) adds nothing.
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream && avcodec_send_packet(codec.get(), packet.get()) >= 0)
            drain();
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    if (samples == 0 || codec->sample_rate <= 0)
        return QStringLiteral("Cannot read audio file %1: it holds no audio").arg(path);
    return Measured{samples, codec->sample_rate};
}

} // namespace

Result<double, QString> probeAudioSeconds(const QString& path)
{
    const Result<Measured, QString> measured = measure(path);
    if (!measured.ok())
        return measured.error();
    return measured.value().seconds();
}

Result<double, QString> finishLeftoverAudioFile(const QString& path)
{
    const Result<Measured, QString> measured = measure(path);
    if (!measured.ok())
        return measured.error();
    if (!isFragmentedMp4(path))
        return measured.value().seconds();
    QString error;
    // A file that cannot be rewritten still plays as it is.
    if (!rewriteAsPlainM4a(path, FfmpegAudioFileWriter::encoderDelay(measured.value().sampleRate), &error,
                           true))
        return measured.value().seconds();
    return probeAudioSeconds(path);
}
