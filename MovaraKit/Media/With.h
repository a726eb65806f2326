#pragma once
// Configure-and-return: `with(value, [](auto& v) { ... })` runs the closure once on the value
// and hands the value back, so an object can be set up in one expression. An exception thrown
// by the closure passes through. For an empty optional or a null pointer the closure is not
// run and the emptiness is handed back.

#include <memory>
#include <optional>
#include <utility>

template <class T, class F>
T with(T value, F&& apply)
{
    std::forward<F>(apply)(value);
    return value;
}

template <class T, class F>
std::optional<T> with(std::optional<T> value, F&& apply)
{
    if (!value)
        return std::nullopt;
    std::forward<F>(apply)(*value);
    return value;
}

// Objects are held by shared_ptr, so "none" is a null pointer: treat it as the empty optional.
template <class T, class F>
std::shared_ptr<T> with(std::shared_ptr<T> value, F&& apply)
{
    if (!value)
        return value;
    std::forward<F>(apply)(value);
    return value;
}
