#include "platform/Accessibility.h"

Accessibility::~Accessibility() = default;
