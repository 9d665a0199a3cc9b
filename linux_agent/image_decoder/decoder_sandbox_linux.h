// The decoder process's confinement: resource limits and a system-call filter.
#pragma once

#include <cstdint>

// After this call the process may read and write the descriptors it has, take
// and give back memory that is never executable, and exit; any other system
// call kills it. Its address space grows by at most maxBytes beyond what it has
// now, it may use cpuSeconds of CPU time, and it may neither write files nor
// dump core. False, with nothing confined for certain, when a step fails.
bool EnterDecoderSandbox(uint64_t maxBytes, unsigned cpuSeconds);
