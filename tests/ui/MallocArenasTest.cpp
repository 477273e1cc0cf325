#include "MallocArenas.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <malloc.h>

namespace {

// The arenas glibc's malloc has made so far: one <heap> each in malloc_info.
int arenasInUse()
{
    char* text = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    malloc_info(0, out);
    std::fclose(out);
    int count = 0;
    for (const char* at = text; (at = std::strstr(at, "<heap nr=")); ++at)
        ++count;
    std::free(text);
    return count;
}

// In a child process of its own (the cap is the whole process's): caps the
// arenas or not, has threads allocate at once while all of them live, and
// exits with the number of arenas malloc made.
int arenasMadeByThreads(bool cap, int threads)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (cap && zephyrscope::CapMallocArenas() == 0)
            ::_exit(255);
        std::barrier allAllocated(threads + 1);
        // Kept where the main thread sees them, so no allocation can be optimised away.
        std::vector<void*> blocks(static_cast<std::size_t>(threads));
        std::vector<std::thread> workers;
        for (int i = 0; i < threads; ++i)
            workers.emplace_back([&, i] {
                blocks[static_cast<std::size_t>(i)] = std::malloc(4096);
                allAllocated.arrive_and_wait(); // all threads hold their block: none can have gone
                allAllocated.arrive_and_wait();
            });
        allAllocated.arrive_and_wait();
        const int arenas = arenasInUse();
        allAllocated.arrive_and_wait();
        for (auto& worker : workers)
            worker.join();
        for (void* block : blocks)
            std::free(block);
        ::_exit(arenas);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MallocArenas, TwoPerCoreAtLeastOneCore)
{
    EXPECT_EQ(zephyrscope::MallocArenaLimit(2), 4);
    EXPECT_EQ(zephyrscope::MallocArenaLimit(16), 32);
    EXPECT_EQ(zephyrscope::MallocArenaLimit(0), 2);
    EXPECT_EQ(zephyrscope::MallocArenaLimit(-1), 2); // sysconf's failure
}

TEST(MallocArenas, CappedThreadsShareArenasUncappedOnesTakeTheirOwn)
{
    if (std::getenv("MALLOC_ARENA_MAX"))
        GTEST_SKIP() << "MALLOC_ARENA_MAX is set: the environment rules the arenas";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator stands in for glibc's malloc: there are no arenas to count";
#endif
    const int limit = zephyrscope::MallocArenaLimit(::sysconf(_SC_NPROCESSORS_ONLN));
    const int threads = limit + 4;
    EXPECT_GT(arenasMadeByThreads(false, threads), limit) << "glibc's own limit is eight per core";
    const int capped = arenasMadeByThreads(true, threads);
    EXPECT_GE(capped, 1);
    EXPECT_LE(capped, limit);
}

TEST(MallocArenas, LeavesTheEnvironmentsLimitAlone)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("MALLOC_ARENA_MAX", "3", 1);
        ::_exit(zephyrscope::CapMallocArenas());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a cap was set over MALLOC_ARENA_MAX";
}

} // namespace
