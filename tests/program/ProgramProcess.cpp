#include "ProgramProcess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace zephyrscope::testing {

namespace {

constexpr int kPollMs = 50;     // how often a condition on files is looked at again
constexpr int kKillWaitMs = 5000; // a killed child is gone well within this

qint64 NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

ProgramProcess::ProgramProcess(Options options)
    : m_options(std::move(options))
    , m_program(ZEPHYRSCOPE_BINARY)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZEPHYRSCOPE_FAKE_SINKS"), QStringLiteral("1"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!m_options.namePlatform)
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!m_options.user.empty()) {
        if (const passwd* entry = ::getpwnam(m_options.user.c_str())) {
            m_uid = entry->pw_uid;
            m_gid = entry->pw_gid;
            m_switchUser = true;
        } else {
            ADD_FAILURE() << "no user '" << m_options.user << "' on this machine";
        }
        copyProgramForOtherUsers();
        // Its own home, so that nothing it caches lands in root's.
        environment.insert(QStringLiteral("HOME"), QString::fromStdString(m_options.workDir.string()));
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    }
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(QString::fromStdString(m_options.workDir.string()));
    m_process.setProgram(QString::fromStdString(m_program));
    const QStringList platform = m_options.namePlatform
        ? QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")}
        : QStringList{};
    m_process.setArguments(platform + m_options.arguments);

    const bool switchUser = m_switchUser;
    const uid_t uid = m_uid;
    const gid_t gid = m_gid;
    const std::optional<rlim_t> limit = m_options.fileSizeLimit;
    const std::optional<rlim_t> openFiles = m_options.openFileLimit;
    const bool stderrReaderGone = m_options.stderrReaderGone;
    // Made before the fork: between fork and exec nothing may allocate.
    char* const* rawArgv = nullptr;
    char* const* rawEnv = nullptr;
    if (!m_options.rawArguments.empty()) {
        for (const QString& entry : environment.toStringList())
            m_rawEnv.push_back(entry.toStdString());
        for (std::string& entry : m_rawEnv)
            m_rawEnvPointers.push_back(entry.data());
        m_rawEnvPointers.push_back(nullptr);
        rawEnv = m_rawEnvPointers.data();
        m_rawArgv = {m_program};
        if (m_options.namePlatform)
            m_rawArgv.insert(m_rawArgv.end(), {"-platform", "offscreen"});
        m_rawArgv.insert(m_rawArgv.end(), m_options.rawArguments.begin(), m_options.rawArguments.end());
        for (std::string& argument : m_rawArgv)
            m_rawArgvPointers.push_back(argument.data());
        m_rawArgvPointers.push_back(nullptr);
        rawArgv = m_rawArgvPointers.data();
    }
    // Between fork and exec only async-signal-safe calls; a failure ends the child
    // with a status no run of the program gives.
    m_process.setChildProcessModifier([switchUser, uid, gid, limit, openFiles, stderrReaderGone, rawArgv, rawEnv] {
        if (stderrReaderGone) {
            int ends[2];
            if (::pipe(ends) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0)
                ::_exit(124);
            ::close(ends[0]);
            ::close(ends[1]);
        }
        const auto lower = [](int resource, rlim_t soft) {
            rlimit value{};
            ::getrlimit(resource, &value);
            value.rlim_cur = soft;
            if (::setrlimit(resource, &value) != 0)
                ::_exit(125);
        };
        if (limit)
            lower(RLIMIT_FSIZE, *limit);
        if (openFiles)
            lower(RLIMIT_NOFILE, *openFiles);
        if (switchUser
            && (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0))
            ::_exit(126);
        // QProcess would exec with re-encoded arguments; exec with the bytes instead.
        if (rawArgv) {
#if defined(__SANITIZE_ADDRESS__)
            // QProcess's child shares the test's memory until it execs (vfork):
            // a frame that execs without returning would leave its poisoned
            // redzones behind on the test's stack, for a false report later.
            __asan_handle_no_return();
#endif
            ::execve(rawArgv[0], rawArgv, rawEnv);
            ::_exit(127);
        }
    });
}

ProgramProcess::~ProgramProcess()
{
    if (running()) {
        m_process.kill();
        m_process.waitForFinished(kKillWaitMs);
    }
    if (!m_programCopyDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_programCopyDir, ec);
    }
}

void ProgramProcess::copyProgramForOtherUsers()
{
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "zephyrscope-program-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create folder '" << pattern << "' for a copy of the program";
        return;
    }
    m_programCopyDir = pattern;
    const fs::path copy = m_programCopyDir / "zephyrscope";
    std::error_code ec;
    fs::copy_file(ZEPHYRSCOPE_BINARY, copy, ec);
    const fs::perms readAndRun = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
        | fs::perms::others_read | fs::perms::others_exec;
    if (!ec)
        fs::permissions(m_programCopyDir, readAndRun, ec);
    if (!ec)
        fs::permissions(copy, readAndRun, ec);
    if (ec) {
        ADD_FAILURE() << "cannot copy the program to '" << copy.string() << "': " << ec.message();
        return;
    }
    m_program = copy.string();
}

bool ProgramProcess::start()
{
    m_startedMs = NowMs();
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        ADD_FAILURE() << "cannot start " << m_program << ": " << m_process.errorString().toStdString();
        return false;
    }
    return true;
}

void ProgramProcess::readStderr()
{
    m_stderr += m_process.readAllStandardError().toStdString();
    // Read as it comes, so that its pipe never fills.
    m_stdout += m_process.readAllStandardOutput().toStdString();
}

const std::string& ProgramProcess::stderrSoFar()
{
    readStderr();
    return m_stderr;
}

bool ProgramProcess::waitForStderr(const std::string& needle, int timeoutMs)
{
    return waitUntil([&] { return m_stderr.find(needle) != std::string::npos; }, timeoutMs);
}

bool ProgramProcess::waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        readStderr();
        if (condition())
            return true;
        if (deadline.hasExpired() || !running())
            return false;
        // Wakes on output or on the end of the run, else after the poll period.
        if (!m_process.waitForReadyRead(static_cast<int>(std::min<qint64>(kPollMs, deadline.remainingTime() + 1))))
            m_process.waitForFinished(1);
    }
}

void ProgramProcess::sendSignal(int signalNumber)
{
    ASSERT_TRUE(running());
    ASSERT_EQ(::kill(static_cast<pid_t>(m_process.processId()), signalNumber), 0);
}

ProgramResult ProgramProcess::finish(int timeoutMs)
{
    ProgramResult result;
    QDeadlineTimer deadline(timeoutMs);
    while (running() && !deadline.hasExpired()) {
        m_process.waitForFinished(static_cast<int>(std::min<qint64>(1000, deadline.remainingTime() + 1)));
        readStderr();
    }
    if (running()) {
        m_process.kill();
        m_process.waitForFinished(kKillWaitMs);
        readStderr();
        result.stderrText = m_stderr;
        ADD_FAILURE() << "the run did not end within " << timeoutMs << " ms; stderr:\n" << m_stderr;
        return result;
    }
    readStderr();
    result.seconds = static_cast<double>(NowMs() - m_startedMs) / 1000.0;
    result.stderrText = m_stderr;
    result.stdoutText = m_stdout;
    result.endedByItself = true;
    result.exitStatus = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    if (result.exitStatus >= 124 && result.exitStatus <= 127)
        ADD_FAILURE() << "the child could not be set up before exec (status " << result.exitStatus << ")";
    return result;
}

ProgramResult ProgramProcess::run(Options options, int timeoutMs)
{
    ProgramProcess process(std::move(options));
    if (!process.start())
        return {};
    return process.finish(timeoutMs);
}

} // namespace zephyrscope::testing
