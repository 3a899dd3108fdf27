#include "platform/ffmpeg/Mp4Remux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/PrivateFiles.h"
#include "platform/ffmpeg/FfmpegError.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct InputCloser
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

struct OutputCloser
{
    void operator()(AVFormatContext* context) const
    {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

struct PacketFreer
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;

bool copyPackets(const QString& source, const QString& target, int primingSamples, QString* error,
                 bool sourceMayBeCut)
{
    const auto failed = [&](const char* step, int code) {
        *error = QStringLiteral("Cannot remux %1 into %2: %3 failed (%4)")
                     .arg(source, target, QLatin1String(step), ffmpegErrorText(code));
        return false;
    };

    AVFormatContext* rawInput = nullptr;
    int rc = avformat_open_input(&rawInput, ffmpegFileUrl(source).constData(), nullptr, nullptr);
    if (rc < 0)
        return failed("opening the source", rc);
    Input input(rawInput);
    if ((rc = avformat_find_stream_info(input.get(), nullptr)) < 0)
        return failed("reading the source's streams", rc);

    AVFormatContext* rawOutput = nullptr;
    const QByteArray targetUrl = ffmpegFileUrl(target);
    rc = avformat_alloc_output_context2(&rawOutput, nullptr, "ipod", targetUrl.constData());
    if (rc < 0)
        return failed("creating the muxer", rc);
    Output output(rawOutput);

    // Source stream index -> target stream index; only audio is kept.
    std::vector<int> mapping(input->nb_streams, -1);
    std::vector<int64_t> priming(input->nb_streams, 0);   // in the source's time base
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* in = input->streams[i];
        if (in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        AVStream* out = avformat_new_stream(output.get(), nullptr);
        if (!out)
            return failed("adding a stream", AVERROR(ENOMEM));
        if ((rc = avcodec_parameters_copy(out->codecpar, in->codecpar)) < 0)
            return failed("copying the stream parameters", rc);
        out->codecpar->codec_tag = 0;
        out->time_base = in->time_base;
        mapping[i] = out->index;
        if (in->codecpar->sample_rate > 0)
            priming[i] = av_rescale_q(primingSamples, AVRational{1, in->codecpar->sample_rate},
                                      in->time_base);
    }
    if (output->nb_streams == 0)
        return failed("finding an audio stream", AVERROR_STREAM_NOT_FOUND);

    // FFmpeg would create the file readable by everyone.
    if (!PrivateFiles::createFile(target))
        return failed("creating the target", AVERROR(errno));
    if ((rc = avio_open(&output->pb, targetUrl.constData(), AVIO_FLAG_WRITE)) < 0)
        return failed("creating the target", rc);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    rc = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (rc < 0)
        return failed("writing the header", rc);

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    while ((rc = av_read_frame(input.get(), packet.get())) >= 0) {
        if (sourceMayBeCut && (packet->flags & AV_PKT_FLAG_CORRUPT)) {   // torn by the cut
            av_packet_unref(packet.get());
            rc = AVERROR_EOF;
            break;
        }
        const int to = mapping[packet->stream_index];
        if (to < 0) {
            av_packet_unref(packet.get());
            continue;
        }
        // A negative start makes the muxer write the edit list that skips it.
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= priming[packet->stream_index];
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= priming[packet->stream_index];
        av_packet_rescale_ts(packet.get(), input->streams[packet->stream_index]->time_base,
                             output->streams[to]->time_base);
        packet->stream_index = to;
        packet->pos = -1;
        if ((rc = av_interleaved_write_frame(output.get(), packet.get())) < 0)
            return failed("writing a packet", rc);
    }
    if (rc != AVERROR_EOF && !sourceMayBeCut)
        return failed("reading a packet", rc);
    if ((rc = av_write_trailer(output.get())) < 0)
        return failed("writing the index", rc);
    if ((rc = avio_closep(&output->pb)) < 0)
        return failed("closing the target", rc);
    return true;
}

} // namespace

bool remuxToPlainM4a(const QString& source, const QString& target, int primingSamples,
                     QString* error, bool sourceMayBeCut)
{
    if (copyPackets(source, target, primingSamples, error, sourceMayBeCut))
        return true;
    QFile::remove(target);
    return false;
}

QString plainM4aTempPath(const QString& path)
{
    const QFileInfo info(path);
    return info.dir().filePath(QStringLiteral(".%1.remux.m4a").arg(info.fileName()));
}

bool rewriteAsPlainM4a(const QString& path, int primingSamples, QString* error, bool sourceMayBeCut)
{
    const QString temp = plainM4aTempPath(path);
    if (!remuxToPlainM4a(path, temp, primingSamples, error, sourceMayBeCut))
        return false;
    if (std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = QStringLiteral("Cannot replace %1 with its plain form: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temp);
        return false;
    }
    return true;
}

bool isFragmentedMp4(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // Top-level boxes: a 32-bit size (1: a 64-bit size follows the type,
    // 0: to the end of the file) and a four-letter type.
    for (qint64 at = 0; at + 8 <= file.size();) {
        file.seek(at);
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            return false;
        if (header.mid(4, 4) == "moof")
            return true;
        quint64 size = qFromBigEndian<quint32>(header.constData());
        if (size == 1 && header.size() == 16)
            size = qFromBigEndian<quint64>(header.constData() + 8);
        if (size < 8)
            return false;
        at += qint64(size);
    }
    return false;
}
