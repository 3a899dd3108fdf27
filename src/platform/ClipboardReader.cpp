#include "platform/ClipboardReader.h"

ClipboardReader::~ClipboardReader() = default;
