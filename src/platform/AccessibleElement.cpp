#include "platform/AccessibleElement.h"

AccessibleElement::~AccessibleElement() = default;
