#include "platform/ffmpeg/FfmpegError.h"

#include <QFile>

extern "C" {
#include <libavutil/error.h>
}

QString ffmpegErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

QByteArray ffmpegFileUrl(const QString& path)
{
    return "file:" + QFile::encodeName(path);
}
