#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zephyrscope::bench {

// What /proc says about a running process at one moment.
struct ProcessSnapshot {
    double wallSeconds = 0.0; // since the child was started
    double cpuSeconds = 0.0;  // user + system, all threads so far
    long rssKb = 0;           // VmRSS
    long anonRssKb = 0;       // RssAnon: VmRSS less the mapped files (libraries) and shared memory
    long peakRssKb = 0;       // VmHWM
    int openFds = 0;          // entries of /proc/PID/fd
    int eventFds = 0;         // of them eventfds ("anon_inode:[eventfd]")
    int threads = 0;          // Threads
};

// A program run as a child with its output in a file, watched through /proc
// while it runs and reaped with wait4 for its resource usage.
class ChildProcess {
public:
    // environment: "NAME=value" to set and "NAME" alone to remove.
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 const std::filesystem::path& workDir, const std::filesystem::path& outputFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // From the start to now, or to the end once reaped.
    double elapsedSeconds() const;
    // Reads /proc/PID; all zeros once the process has gone.
    ProcessSnapshot snapshot() const;

    // Lets the process run for up to duration, calling watch every period with a
    // fresh snapshot. Returns whether it has ended.
    bool watchFor(std::chrono::milliseconds duration, std::chrono::milliseconds period,
                  const std::function<void(const ProcessSnapshot&)>& watch = {});
    // Waits for the end, calling watch every period with a fresh snapshot; kills
    // the process when timeout passes. Returns whether it ended by itself.
    bool wait(std::chrono::milliseconds timeout, std::chrono::milliseconds period,
              const std::function<void(const ProcessSnapshot&)>& watch = {});
    void terminate(); // SIGTERM, then wait for the end

    int exitStatus() const { return m_exitStatus; } // -1 while running; 128+N after signal N
    const rusage& usage() const { return m_usage; }
    double usageCpuSeconds() const;
    double usagePeakRssMb() const { return static_cast<double>(m_usage.ru_maxrss) / 1024.0; }

private:
    bool reap(int flags);

    pid_t m_pid = -1;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_ended;
    int m_exitStatus = -1;
    rusage m_usage {};
};

} // namespace zephyrscope::bench
