#pragma once

namespace zephyrscope {

// glibc's malloc gives threads arenas of their own, up to eight per core, and
// an arena keeps what was freed in it. Every pipeline the player builds starts
// its streaming threads afresh, and they take arenas the last pipeline's threads
// left: an always-on run that reopens its channel after each outage then grows
// by megabytes while its heap in use stays flat. A few arenas per core still
// spare the streaming threads from queueing on one lock.
constexpr int kMallocArenasPerCore = 2;

// The arenas for cores cores (at least one core is counted).
int MallocArenaLimit(long cores);

// Caps this process's arenas at MallocArenaLimit of the cores online, unless
// MALLOC_ARENA_MAX in the environment says otherwise (glibc has read it then).
// Call before any thread starts. Returns the cap set; 0 when none was (the
// environment's rules, or the C library is not glibc).
int CapMallocArenas();

} // namespace zephyrscope
