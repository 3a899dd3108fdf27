#include "platform/ffmpeg/FfmpegAudioFileWriter.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/PrivateFiles.h"
#include "platform/ffmpeg/FfmpegError.h"
#include "platform/ffmpeg/Mp4Remux.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kFallbackSampleRate = 48000;

AVSampleFormat toAvSampleFormat(AudioSampleFormat format)
{
    switch (format) {
    case AudioSampleFormat::uint8: return AV_SAMPLE_FMT_U8;
    case AudioSampleFormat::int16: return AV_SAMPLE_FMT_S16;
    case AudioSampleFormat::int32: return AV_SAMPLE_FMT_S32;
    case AudioSampleFormat::float32: return AV_SAMPLE_FMT_FLT;
    case AudioSampleFormat::unknown: break;
    }
    return AV_SAMPLE_FMT_NONE;
}

// The input's rate when the encoder supports it, else a rate it does.
int encoderSampleRate(const AVCodec* codec, int inputRate)
{
    if (!codec->supported_samplerates)
        return inputRate;
    for (const int* rate = codec->supported_samplerates; *rate; ++rate) {
        if (*rate == inputRate)
            return inputRate;
    }
    return kFallbackSampleRate;
}

} // namespace

// The FFmpeg state of one open slice: muxer, AAC encoder, converter to mono
// float planes and a FIFO that cuts the converted samples into AAC frames.
struct FfmpegAudioFileWriter::Encoder
{
    AVFormatContext* muxer = nullptr;
    AVCodecContext* codec = nullptr;
    SwrContext* converter = nullptr;
    AVAudioFifo* fifo = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::vector<float> converted;
    int64_t nextPts = 0;

    ~Encoder()
    {
        av_packet_free(&packet);
        av_frame_free(&frame);
        if (fifo)
            av_audio_fifo_free(fifo);
        swr_free(&converter);
        avcodec_free_context(&codec);
        if (muxer) {
            if (muxer->pb)
                avio_closep(&muxer->pb);
            avformat_free_context(muxer);
        }
    }

    // Converts `frames` input frames (nullptr: the converter's delayed tail)
    // into the FIFO.
    int convert(const uint8_t* input, int frames)
    {
        if (input && frames == 0)
            return 0;
        const int room = swr_get_out_samples(converter, frames);
        if (room < 0)
            return room;
        converted.resize(size_t(room));
        uint8_t* out = reinterpret_cast<uint8_t*>(converted.data());
        const uint8_t** in = input ? &input : nullptr;
        const int made = swr_convert(converter, &out, room, in, input ? frames : 0);
        if (made <= 0)
            return made;
        void* planes[] = {converted.data()};
        return av_audio_fifo_write(fifo, planes, made) < made ? AVERROR(ENOMEM) : made;
    }

    int writeSilence(int samples)
    {
        const std::vector<float> silence(size_t(samples), 0.0f);
        void* planes[] = {const_cast<float*>(silence.data())};
        return av_audio_fifo_write(fifo, planes, samples) < samples ? AVERROR(ENOMEM) : 0;
    }

    // Encodes every whole AAC frame in the FIFO; with `all`, the last short
    // one too.
    int encodeFifo(bool all)
    {
        while (av_audio_fifo_size(fifo) >= codec->frame_size
               || (all && av_audio_fifo_size(fifo) > 0)) {
            int rc = av_frame_make_writable(frame);
            if (rc < 0)
                return rc;
            frame->nb_samples = std::min(av_audio_fifo_size(fifo), codec->frame_size);
            if (av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), frame->nb_samples)
                < frame->nb_samples)
                return AVERROR(EIO);
            frame->pts = nextPts;
            nextPts += frame->nb_samples;
            if ((rc = encode(frame)) < 0)
                return rc;
        }
        return 0;
    }

    // Sends one frame (nullptr: end of stream) and writes the packets it gives.
    int encode(const AVFrame* input)
    {
        int rc = avcodec_send_frame(codec, input);
        if (rc < 0)
            return rc;
        while ((rc = avcodec_receive_packet(codec, packet)) >= 0) {
            av_packet_rescale_ts(packet, codec->time_base, muxer->streams[0]->time_base);
            packet->stream_index = 0;
            rc = av_write_frame(muxer, packet);
            av_packet_unref(packet);
            if (rc < 0)
                return rc;
        }
        return rc == AVERROR(EAGAIN) || rc == AVERROR_EOF ? 0 : rc;
    }
};

QString FfmpegAudioFileWriter::remuxTempPath(const QString& path)
{
    return plainM4aTempPath(path);
}

int FfmpegAudioFileWriter::encoderDelay(int sampleRate)
{
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    AVCodecContext* codec = aac ? avcodec_alloc_context3(aac) : nullptr;
    if (!codec)
        return 0;
    codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec->sample_rate = encoderSampleRate(aac, sampleRate);
    codec->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    codec->bit_rate = kBitRate;
    codec->time_base = AVRational{1, codec->sample_rate};
    const int delay = avcodec_open2(codec, aac, nullptr) >= 0 ? codec->initial_padding : 0;
    avcodec_free_context(&codec);
    return delay;
}

FfmpegAudioFileWriter::FfmpegAudioFileWriter() = default;

FfmpegAudioFileWriter::~FfmpegAudioFileWriter()
{
    close();
}

bool FfmpegAudioFileWriter::open(const QString& path, const AudioFormat& format)
{
    if (m_state != State::unopened) {
        m_error = QStringLiteral("Cannot open slice file %1: this writer was already used").arg(path);
        return false;
    }
    m_path = path;
    m_format = format;
    m_state = State::failed;   // until every step below has succeeded

    const AVSampleFormat inputFormat = toAvSampleFormat(format.sampleFormat);
    if (!format.isValid() || inputFormat == AV_SAMPLE_FMT_NONE) {
        m_error = QStringLiteral("Cannot open slice file %1: unusable audio format (%2)")
                      .arg(path, format.description());
        return false;
    }
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!aac) {
        m_error = QStringLiteral("Cannot open slice file %1: no AAC encoder").arg(path);
        return false;
    }

    auto encoder = std::make_unique<Encoder>();
    const QByteArray url = ffmpegFileUrl(path);
    int rc = avformat_alloc_output_context2(&encoder->muxer, nullptr, "ipod", url.constData());
    if (rc < 0)
        return fail(QStringLiteral("creating the muxer"), rc);

    const int rate = encoderSampleRate(aac, format.sampleRate);
    AVCodecContext* codec = encoder->codec = avcodec_alloc_context3(aac);
    codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec->sample_rate = rate;
    codec->ch_layout = AV_CHANNEL_LAYOUT_MONO;
    codec->bit_rate = kBitRate;
    codec->time_base = AVRational{1, rate};
    if (encoder->muxer->oformat->flags & AVFMT_GLOBALHEADER)
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((rc = avcodec_open2(codec, aac, nullptr)) < 0)
        return fail(QStringLiteral("opening the AAC encoder"), rc);

    AVStream* stream = avformat_new_stream(encoder->muxer, nullptr);
    if (!stream)
        return fail(QStringLiteral("adding the audio stream"), AVERROR(ENOMEM));
    stream->time_base = codec->time_base;
    if ((rc = avcodec_parameters_from_context(stream->codecpar, codec)) < 0)
        return fail(QStringLiteral("describing the audio stream"), rc);

    AVChannelLayout inputLayout;
    av_channel_layout_default(&inputLayout, format.channelCount);
    rc = swr_alloc_set_opts2(&encoder->converter, &codec->ch_layout, AV_SAMPLE_FMT_FLTP, rate,
                             &inputLayout, inputFormat, format.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inputLayout);
    // Downmix by averaging: FFmpeg's default adds the channels at -3 dB each,
    // which lifts a centred voice by 3 dB and clips it when it is loud.
    if (rc >= 0)
        rc = av_opt_set_double(encoder->converter, "rematrix_maxval", 1.0, 0);
    if (rc < 0 || (rc = swr_init(encoder->converter)) < 0)
        return fail(QStringLiteral("setting up the sample converter"), rc);

    encoder->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, codec->frame_size * 8);
    encoder->frame = av_frame_alloc();
    encoder->packet = av_packet_alloc();
    if (!encoder->fifo || !encoder->frame || !encoder->packet)
        return fail(QStringLiteral("allocating buffers"), AVERROR(ENOMEM));
    encoder->frame->format = AV_SAMPLE_FMT_FLTP;
    encoder->frame->sample_rate = rate;
    encoder->frame->nb_samples = codec->frame_size;
    av_channel_layout_copy(&encoder->frame->ch_layout, &codec->ch_layout);
    if ((rc = av_frame_get_buffer(encoder->frame, 0)) < 0)
        return fail(QStringLiteral("allocating buffers"), rc);

    // FFmpeg would create the file readable by everyone.
    if (!PrivateFiles::createFile(path))
        return fail(QStringLiteral("creating the file"), AVERROR(errno));
    if ((rc = avio_open(&encoder->muxer->pb, url.constData(), AVIO_FLAG_WRITE)) < 0) {
        QFile::remove(path);
        return fail(QStringLiteral("creating the file"), rc);
    }
    // Without per-packet flushing FFmpeg keeps whole fragments in its write
    // buffer, and a crash would leave an empty file. Fragments are cut by
    // append() itself (frag_custom), each one as soon as its buffer is encoded.
    encoder->muxer->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+empty_moov+default_base_moof+frag_custom", 0);
    rc = avformat_write_header(encoder->muxer, &options);
    av_dict_free(&options);
    if (rc < 0) {
        encoder.reset();
        QFile::remove(path);
        return fail(QStringLiteral("writing the file header"), rc);
    }

    m_primingSamples = codec->initial_padding;
    m_encoder = std::move(encoder);
    m_state = State::open;
    return true;
}

bool FfmpegAudioFileWriter::append(const AudioBuffer& buffer)
{
    if (m_state != State::open) {
        ++m_failedAppends;
        if (m_error.isEmpty())
            m_error = QStringLiteral("Cannot append to slice file %1: it is not open").arg(m_path);
        return false;
    }
    if (buffer.format != m_format) {
        ++m_failedAppends;
        m_error = QStringLiteral("Cannot append to slice file %1: buffer in %2, file opened for %3")
                      .arg(m_path, buffer.format.description(), m_format.description());
        return false;
    }
    const auto* samples = reinterpret_cast<const uint8_t*>(buffer.data.constData());
    int rc = m_encoder->convert(samples, buffer.frameCount());
    if (rc >= 0)
        rc = m_encoder->encodeFifo(false);
    // Out to disk now, as a fragment of its own: a crash loses only what the
    // encoder still holds back, not the audio of a whole fragment.
    if (rc >= 0)
        rc = av_write_frame(m_encoder->muxer, nullptr);
    if (rc < 0) {
        ++m_failedAppends;
        return fail(QStringLiteral("writing audio"), rc);
    }
    return true;
}

bool FfmpegAudioFileWriter::close()
{
    switch (m_state) {
    case State::closed:
        return m_closedComplete;
    case State::unopened:
    case State::failed:
        m_encoder.reset();   // keeps the fragments written before the failure
        m_state = State::closed;
        return m_closedComplete = false;
    case State::open:
        break;
    }
    const bool finished = finishFragmentedFile();
    m_encoder.reset();
    m_state = State::closed;
    return m_closedComplete = finished && replaceWithPlainFile();
}

bool FfmpegAudioFileWriter::finishFragmentedFile()
{
    Encoder& encoder = *m_encoder;
    int rc = 0;
    while (rc >= 0 && (rc = encoder.convert(nullptr, 0)) > 0) {
    }
    // An MP4 track without samples is dropped from the plain file, leaving
    // no audio at all: a slice that got no audio holds one frame of silence.
    if (rc >= 0 && encoder.nextPts == 0 && av_audio_fifo_size(encoder.fifo) == 0)
        rc = encoder.writeSilence(encoder.codec->frame_size);
    if (rc >= 0)
        rc = encoder.encodeFifo(true);
    if (rc >= 0)
        rc = encoder.encode(nullptr);
    if (rc >= 0)
        rc = av_write_trailer(encoder.muxer);
    if (rc >= 0)
        rc = avio_closep(&encoder.muxer->pb);
    return rc >= 0 || fail(QStringLiteral("finishing the file"), rc);
}

bool FfmpegAudioFileWriter::replaceWithPlainFile()
{
    QString error;
    if (rewriteAsPlainM4a(m_path, m_primingSamples, &error))
        return true;
    m_error = error + QStringLiteral("; the fragmented file was kept");
    return false;
}

bool FfmpegAudioFileWriter::fail(const QString& what, int code)
{
    m_error = QStringLiteral("Slice file %1: %2 failed (%3)").arg(m_path, what, ffmpegErrorText(code));
    m_state = State::failed;
    return false;
}
