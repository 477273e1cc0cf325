#include "MallocArenas.h"

#include <cstdlib>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace zephyrscope {

int MallocArenaLimit(long cores)
{
    return kMallocArenasPerCore * static_cast<int>(cores < 1 ? 1 : cores);
}

int CapMallocArenas()
{
#if defined(__GLIBC__)
    if (std::getenv("MALLOC_ARENA_MAX"))
        return 0;
    const int limit = MallocArenaLimit(::sysconf(_SC_NPROCESSORS_ONLN));
    return mallopt(M_ARENA_MAX, limit) == 1 ? limit : 0;
#else
    return 0;
#endif
}

} // namespace zephyrscope
