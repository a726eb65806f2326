#include "Platform/Dispatch/ProcessorCount.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace dispatch {

unsigned activeProcessorCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace dispatch
