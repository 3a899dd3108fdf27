#pragma once

#include <utility>
#include <variant>

// The outcome of an operation that can fail: a value or an error, never both.
// Built implicitly from either, so a coroutine can co_return a value or an error.
template <typename T, typename E>
class Result
{
public:
    Result(T value) : m_outcome(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : m_outcome(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_outcome.index() == 0; }
    const T& value() const { return std::get<0>(m_outcome); }
    const E& error() const { return std::get<1>(m_outcome); }

private:
    std::variant<T, E> m_outcome;
};
