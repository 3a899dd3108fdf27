#include "platform/KeySynthesizer.h"

KeySynthesizer::~KeySynthesizer() = default;
