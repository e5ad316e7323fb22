#pragma once

// This process's memory as /proc/self/status tells it, for the benchmarks that report it.
namespace ProcessMemory {

// A kB field of /proc/self/status ("VmRSS:", "VmHWM:") in MiB; -1 when unreadable.
double statusMiB(const char* field);

// Starts the peak ("VmHWM:") afresh from the memory in use now (the heap's free pages go back
// first), so that what came before (an import, a load) does not count.
void resetPeak();

} // namespace ProcessMemory
