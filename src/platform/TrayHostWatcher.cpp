#include "platform/TrayHostWatcher.h"

TrayHostWatcher::TrayHostWatcher(QObject* parent) : QObject(parent) {}

TrayHostWatcher::~TrayHostWatcher() = default;
