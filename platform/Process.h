#pragma once
// Facts about the running process, and the process-wide pseudo-random generator.
#include <chrono>
#include <filesystem>

namespace kestrine::platform {

// The directory of the running executable, as the operating system reports it (not argv[0]).
std::filesystem::path ExecutableDirectory();

void SleepMs(unsigned milliseconds);

// Marks the calling thread as throughput work that never takes the processor from a running
// thread when it wakes (SCHED_BATCH): it runs when a processor is free or when its turn comes.
// For threads that feed the user-interface thread one item at a time and wait for it, which
// would otherwise interrupt the very thread they wait for. Best effort: false when the system
// refuses.
bool RunAsBatchWork();

// Whether process `pid` runs: it exists and is not a zombie that its parent has yet to reap.
bool ProcessAlive(int pid);

// The process's pseudo-random generator, shared by everything that draws random values. Safe to
// call from any thread.
void Randomize();                        // seed from the clock
void RandSeed(unsigned long long seed);  // seed with a fixed value (tests)
int Random(int range);                   // uniform in [0, range); 0 when range <= 0

}  // namespace kestrine::platform
