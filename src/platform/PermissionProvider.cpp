#include "platform/PermissionProvider.h"

PermissionProvider::~PermissionProvider() = default;
