#pragma once

#include <QObject>
#include <memory>

// Whether something on the desktop shows tray icons: a StatusNotifierWatcher
// with a host on the session bus, or an X system tray. A host can start after
// the application (a panel restarted, a session whose panel comes up late);
// appeared() tells when. Main thread only.
class TrayHostWatcher : public QObject
{
    Q_OBJECT
public:
    ~TrayHostWatcher() override;

    virtual bool isAvailable() const = 0;

signals:
    // A tray host announced itself and is there now (it may have been
    // there before).
    void appeared();

protected:
    explicit TrayHostWatcher(QObject* parent = nullptr);
};
