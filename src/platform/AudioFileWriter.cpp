#include "platform/AudioFileWriter.h"

AudioFileWriter::~AudioFileWriter() = default;
