#pragma once

#include <QObject>

#include "sync/AuthStateChange.h"

// One subscriber's view of the auth-state changes: its own first element
// (the stored session once checked, or none), then every change. The stream
// ends when its owner deletes it.
class AuthStateStream : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void changed(const AuthStateChange& change);
};
