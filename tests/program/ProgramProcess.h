#pragma once

#include <QProcess>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/types.h>

namespace zephyrscope::testing {

// What a run of the program left behind when it ended.
struct ProgramResult {
    // The exit status; -1 when the run had to be killed because it did not end
    // in time, -2 when a signal ended it.
    int exitStatus = -1;
    bool endedByItself = false;
    double seconds = 0.0;
    std::string stderrText;
    // What the run wrote to its stdout, a pipe (a log written to /dev/stdout).
    std::string stdoutText;
};

// Runs build/zephyrscope the way an unattended script does: offscreen, with the
// synced fake sinks and no display, in a working folder of the test's choosing.
// stdout and stderr are kept apart.
// Every wait is bounded; a run that does not end in time is killed and counted
// as hung. Lives on the test's stack; the destructor kills a run still going.
class ProgramProcess {
public:
    struct Options {
        Options() = default;
        Options(std::filesystem::path dir, QStringList programArguments)
            : workDir(std::move(dir))
            , arguments(std::move(programArguments))
        {
        }

        std::filesystem::path workDir;
        // The program's own arguments (URL and log); "-platform offscreen" goes first
        // unless namePlatform is false, when QT_QPA_PLATFORM is unset as well and
        // the program has to find out by itself that there is no display.
        QStringList arguments;
        bool namePlatform = true;
        // Runs the child as this user (a name from the password database) with its
        // own group and no supplementary groups: root ignores permission bits, so
        // a run that must meet them cannot run as root.
        std::string user;
        // A file-size limit in bytes for the child, set between fork and exec.
        std::optional<rlim_t> fileSizeLimit;
        // An open-file limit (the soft RLIMIT_NOFILE) for the child, set likewise.
        std::optional<rlim_t> openFileLimit;
        // Gives the child a stderr pipe whose reader has already gone, as when
        // whatever read the run's messages has ended; nothing is captured then.
        bool stderrReaderGone = false;
        // Arguments as exact bytes, for names that are not UTF-8 (QProcess would
        // re-encode them); when given, they replace arguments.
        std::vector<std::string> rawArguments;
    };

    explicit ProgramProcess(Options options);
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess&) = delete;
    ProgramProcess& operator=(const ProgramProcess&) = delete;

    // Starts the run; false (with a test failure) when it cannot start.
    bool start();
    // Waits, bounded, until the run has written needle to stderr.
    bool waitForStderr(const std::string& needle, int timeoutMs = 20000);
    // Waits, bounded, until condition holds; looks again every 50 ms or at once
    // when the run ends. False when the time is up or the run has ended without it.
    bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);
    void sendSignal(int signalNumber);
    // Waits, bounded, for the end of the run; kills it when it does not end in time.
    ProgramResult finish(int timeoutMs = 60000);

    const std::string& stderrSoFar();
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    // The child's process id, which is also its main (UI) thread's id.
    pid_t pid() const { return static_cast<pid_t>(m_process.processId()); }

    // Starts, runs to the end (bounded) and returns what the run left.
    static ProgramResult run(Options options, int timeoutMs = 60000);

private:
    void copyProgramForOtherUsers();

    void readStderr();

    Options m_options;
    QProcess m_process;
    std::string m_stderr;
    std::string m_stdout;
    qint64 m_startedMs = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_switchUser = false;
    // The program as run: the build's, or for another user a copy that user can
    // reach (a build under a 0700 home cannot be executed by anyone else).
    std::string m_program;
    std::filesystem::path m_programCopyDir;
    std::vector<std::string> m_rawArgv;
    std::vector<char*> m_rawArgvPointers;
    std::vector<std::string> m_rawEnv;
    std::vector<char*> m_rawEnvPointers;
};

} // namespace zephyrscope::testing
