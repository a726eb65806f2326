#pragma once
// How many cores this process may run on. Any thread.

namespace dispatch {

// The cores of the process's CPU affinity (taskset, a container's cpuset), not all the machine
// has. At least 1.
unsigned activeProcessorCount();

} // namespace dispatch
