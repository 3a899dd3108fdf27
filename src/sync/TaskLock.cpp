#include "sync/TaskLock.h"

#include <QTimer>
#include <algorithm>

struct TaskLock::State
{
    bool held = false;
    std::list<std::shared_ptr<Waiter>> queue;

    // Hands the lock to the first waiter, or frees it.
    void release()
    {
        if (queue.empty()) {
            held = false;
            return;
        }
        const std::shared_ptr<Waiter> next = queue.front();
        queue.pop_front();
        next->granted = true;
        QObject::disconnect(next->onCancel);
        // Later, never inside the releasing task's own step.
        QTimer::singleShot(0, [handle = next->handle] { handle.resume(); });
    }
};

TaskLock::TaskLock() : m_state(std::make_shared<State>()) {}

bool TaskLock::isHeld() const { return m_state->held; }

TaskLock::Holder& TaskLock::Holder::operator=(Holder&& other) noexcept
{
    if (this != &other) {
        if (m_state)
            m_state->release();
        m_state = std::move(other.m_state);
    }
    return *this;
}

TaskLock::Holder::~Holder()
{
    if (m_state)
        m_state->release();
}

bool TaskLock::Acquire::await_ready()
{
    if (m_cancel.isCancelled()) {
        m_cancelledBeforeWaiting = true;
        return true;
    }
    if (m_state->held)
        return false;
    m_state->held = true;
    m_waiter->granted = true;
    return true;
}

void TaskLock::Acquire::await_suspend(std::coroutine_handle<> handle)
{
    m_waiter->handle = handle;
    m_state->queue.push_back(m_waiter);
    // Queued, so that cancel() returns before the waiter resumes.
    m_waiter->onCancel = QObject::connect(
        m_cancel.notifier(), &CancelNotifier::cancelled, m_cancel.notifier(),
        [state = m_state, waiter = std::weak_ptr<Waiter>(m_waiter)] {
            const std::shared_ptr<Waiter> waiting = waiter.lock();
            const auto it = std::find(state->queue.begin(), state->queue.end(), waiting);
            // Granted meanwhile: it resumes with the lock.
            if (!waiting || it == state->queue.end())
                return;
            state->queue.erase(it);
            waiting->handle.resume();
        },
        Qt::QueuedConnection);
}

std::optional<TaskLock::Holder> TaskLock::Acquire::await_resume()
{
    QObject::disconnect(m_waiter->onCancel);
    if (m_cancelledBeforeWaiting || !m_waiter->granted)
        return std::nullopt;
    return Holder(m_state);
}
