#pragma once

#include <QAudioFormat>

#include "platform/AudioCapture.h"

// Qt Multimedia's description of a PCM format in our terms.
AudioFormat toAudioFormat(const QAudioFormat& format);
