#pragma once

#include <QObject>
#include <memory>

// The shared state behind CancelToken; its signal fires once, on the first cancel.
class CancelNotifier : public QObject
{
    Q_OBJECT
public:
    bool isCancelled() const { return m_cancelled; }
    void cancel();

signals:
    void cancelled();

private:
    bool m_cancelled = false;
};

// A handle for cancelling a task: copies share one flag and one signal. The task
// checks isCancelled() after every co_await and aborts its in-flight work when
// the signal fires; whoever started the task keeps a copy and calls cancel().
// Main thread only.
class CancelToken
{
public:
    CancelToken();

    void cancel() const;
    bool isCancelled() const;
    // A new token that fires when this one or `other` fires, at once when
    // either already has.
    CancelToken orWith(const CancelToken& other) const;
    // Emits CancelNotifier::cancelled() on the first cancel().
    const CancelNotifier* notifier() const { return m_state.get(); }

private:
    std::shared_ptr<CancelNotifier> m_state;
};
