#pragma once

#include <QCoroTask>
#include <memory>
#include <optional>

#include "support/EventLoop.h"

namespace detail {
template <typename T>
QCoro::Task<void> storeResult(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> out)
{
    out->emplace(co_await task);
}
}

// Runs the event loop until `task` has finished or `timeoutMs` passed; returns
// its result, or none when it did not finish in time.
template <typename T>
std::optional<T> runTask(QCoro::Task<T> task, int timeoutMs = 5000)
{
    // Shared and owned by the runner: a task that outlives the wait writes
    // into a live object, never into this frame.
    auto result = std::make_shared<std::optional<T>>();
    detail::storeResult(std::move(task), result);
    waitUntil([&] { return result->has_value(); }, timeoutMs);
    return *result;
}
