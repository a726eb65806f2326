#pragma once
// Runs a block once per flag, however many threads ask at the same time; later callers wait
// until the first call has finished.

#include <functional>
#include <mutex>

namespace dispatch {

using OnceFlag = std::once_flag;

inline void once(OnceFlag& flag, const std::function<void()>& block)
{
    std::call_once(flag, block);
}

} // namespace dispatch
