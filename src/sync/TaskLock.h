#pragma once

#include <QMetaObject>
#include <coroutine>
#include <list>
#include <memory>
#include <optional>

#include "platform/CancelToken.h"

// A lock for tasks on the main thread, handed out first come, first served.
// A task waiting for it resumes at a later turn of the event loop, once every
// earlier asker has let go, or at once (without the lock) when its
// CancelToken fires. Holders may outlive the lock.
class TaskLock
{
    struct State;
    struct Waiter
    {
        std::coroutine_handle<> handle;
        bool granted = false;
        QMetaObject::Connection onCancel;
    };

public:
    // The lock while it lives; releases it on destruction.
    class Holder
    {
    public:
        explicit Holder(std::shared_ptr<State> state) : m_state(std::move(state)) {}
        Holder(Holder&& other) noexcept = default;
        Holder& operator=(Holder&& other) noexcept;
        ~Holder();

    private:
        std::shared_ptr<State> m_state;
    };

    // `co_await lock.acquire(cancel)` gives the Holder, or none when `cancel`
    // fired first. Keep the awaitable in a named variable (GCC 12 mishandles
    // temporaries inside a co_await).
    class Acquire
    {
    public:
        Acquire(std::shared_ptr<State> state, CancelToken cancel)
            : m_state(std::move(state)), m_cancel(std::move(cancel)) {}
        bool await_ready();
        void await_suspend(std::coroutine_handle<> handle);
        std::optional<Holder> await_resume();

    private:
        std::shared_ptr<State> m_state;
        CancelToken m_cancel;
        std::shared_ptr<Waiter> m_waiter = std::make_shared<Waiter>();
        bool m_cancelledBeforeWaiting = false;
    };

    TaskLock();

    Acquire acquire(CancelToken cancel) { return Acquire(m_state, std::move(cancel)); }
    bool isHeld() const;

private:
    std::shared_ptr<State> m_state;
};
