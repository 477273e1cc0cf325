#include "CommandLine.h"
#include "SampleLine.h"
#include "XvfbServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

// The program as built, run as a script would run it, on Qt's offscreen platform.
// The URLs name a closed port on the loopback address, so whichever player the
// build links, every one of them fails and the run goes to its failure countdown.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(m_dir.path());
        m_process.setProgram(QStringLiteral(ZEPHYRSCOPE_BINARY));
        // What the program reports goes to stderr; that is what these tests read.
        m_process.setReadChannel(QProcess::StandardError);
    }
    void TearDown() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    void start(const QStringList& arguments)
    {
        m_process.setArguments(arguments);
        m_process.start();
        ASSERT_TRUE(m_process.waitForStarted(10000));
    }

    // Waits, bounded, until the program has written needle to stderr.
    bool waitForStderr(const QByteArray& needle, int timeoutMs = 15000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!m_stderr.contains(needle)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
                return false;
            if (m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
                m_stderr += m_process.readAllStandardError();
        }
        return true;
    }

    void signal(int signalNumber) { ASSERT_EQ(::kill(static_cast<pid_t>(m_process.processId()), signalNumber), 0); }

    int exitStatus(int timeoutMs = 15000)
    {
        if (!m_process.waitForFinished(timeoutMs))
            return -1;
        m_stderr += m_process.readAllStandardError();
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }

    QByteArray contents(const QString& name) const
    {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QStringList logsInWorkingDirectory() const
    {
        return QDir(m_dir.path()).entryList({QStringLiteral("*.dat")}, QDir::Files);
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stderr;
};

TEST_F(ProgramTest, TerminatedRunStopsWithItsLogClosedAndStatus143)
{
    // Qt's own options are not arguments of the program: this is a URL and a log.
    start({QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("http://127.0.0.1:9/clip.mp4"),
           QStringLiteral("run.dat")});
    ASSERT_TRUE(waitForStderr("Cannot play 'http://127.0.0.1:9/clip.mp4': "))
        << m_stderr.toStdString();
    signal(SIGTERM);
    EXPECT_EQ(exitStatus(), 143) << m_stderr.toStdString();
    EXPECT_FALSE(m_stderr.contains("Error Command Lines input!"));
    EXPECT_EQ(contents(QStringLiteral("run.dat")).toStdString(), zephyrscope::kLogHeader);
}

TEST_F(ProgramTest, OnADisplayInterruptedRunWithoutArgumentsLogsUnderTheDefaultNameAndEndsWith130)
{
    // Only where someone can press Open does a run without arguments wait for it.
    XvfbServer server;
    if (server.display().isEmpty())
        GTEST_SKIP() << "Xvfb is not available";
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    m_process.setProcessEnvironment(environment);

    start({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return contents(logsInWorkingDirectory().value(0)).size() > 0; }, 15000));
    signal(SIGINT);
    EXPECT_EQ(exitStatus(), 130) << m_stderr.toStdString();
    const QStringList logs = logsInWorkingDirectory();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{14}\\.dat$")).match(logs[0]).hasMatch());
    EXPECT_EQ(contents(logs[0]).toStdString(), zephyrscope::kLogHeader);
}

TEST_F(ProgramTest, LogInAMissingFolderIsReportedAndEndsWithStatus2)
{
    start({QStringLiteral("http://127.0.0.1:9/clip.mp4"), QStringLiteral("missing/run.dat")});
    EXPECT_EQ(exitStatus(), 2);
    EXPECT_TRUE(m_stderr.contains("Cannot create log file 'missing/run.dat': No such file or directory\n"))
        << m_stderr.toStdString();
}

TEST_F(ProgramTest, OffscreenThreeArgumentsAreNamedAndEndWithTheUsageStatusAndNoLog)
{
    // Offscreen nobody could press Open, so the run ends at once, without the
    // dialog's texts: its parameters are not "ignored", the run is over.
    start({QStringLiteral("a.wpl"), QStringLiteral("b.dat"), QStringLiteral("c")});
    EXPECT_EQ(exitStatus(), 64) << m_stderr.toStdString();
    EXPECT_TRUE(m_stderr.contains("zephyrscope: too many arguments (3)\nUsage: ")) << m_stderr.toStdString();
    EXPECT_FALSE(m_stderr.contains(zephyrscope::kCommandLineUsageError));
    EXPECT_FALSE(m_stderr.contains(zephyrscope::kCommandLineIgnored));
    EXPECT_FALSE(m_stderr.contains("Cannot play"));
    EXPECT_TRUE(QDir(m_dir.path()).entryList(QDir::Files).isEmpty());
}

TEST_F(ProgramTest, UnattendedRunThatCannotPlayEndsByItselfWithStatus3)
{
    // The countdown runs its full 15 seconds.
    start({QStringLiteral("http://127.0.0.1:9/clip.mp4"), QStringLiteral("run.dat")});
    EXPECT_EQ(exitStatus(40000), 3) << m_stderr.toStdString();
    EXPECT_EQ(contents(QStringLiteral("run.dat")).toStdString(), zephyrscope::kLogHeader);
}

TEST_F(ProgramTest, OnADisplaySignalWhileAMessageBoxIsUpQuitsWithoutTheNextMessageOrALog)
{
    XvfbServer server;
    if (server.display().isEmpty())
        GTEST_SKIP() << "Xvfb is not available";
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    m_process.setProcessEnvironment(environment);

    start({QStringLiteral("a.wpl"), QStringLiteral("b.dat"), QStringLiteral("c")});
    // The usage box is modal and nobody answers it: the run waits in it.
    ASSERT_TRUE(waitForStderr("Error Command Lines input!")) << m_stderr.toStdString();
    signal(SIGTERM);
    EXPECT_EQ(exitStatus(), 143) << m_stderr.toStdString();
    EXPECT_FALSE(m_stderr.contains(zephyrscope::kCommandLineIgnored));
    EXPECT_TRUE(logsInWorkingDirectory().isEmpty());
}

TEST_F(ProgramTest, OnADisplayTerminatedRunClosesTheCountdownAndItsLog)
{
    XvfbServer server;
    if (server.display().isEmpty())
        GTEST_SKIP() << "Xvfb is not available";
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), server.display());
    m_process.setProcessEnvironment(environment);

    start({QStringLiteral("http://127.0.0.1:9/clip.mp4"), QStringLiteral("run.dat")});
    ASSERT_TRUE(waitForStderr("Cannot play 'http://127.0.0.1:9/clip.mp4'")) << m_stderr.toStdString();
    signal(SIGTERM);
    EXPECT_EQ(exitStatus(), 143) << m_stderr.toStdString();
    EXPECT_EQ(contents(QStringLiteral("run.dat")).toStdString(), zephyrscope::kLogHeader);
}

TEST_F(ProgramTest, FileSizeLimitGivesAWriteErrorInsteadOfKillingTheRun)
{
    // Too small for the header: the write fails with EFBIG, where an unhandled
    // SIGXFSZ would have killed the process.
    m_process.setChildProcessModifier([] {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 64;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    start({QStringLiteral("http://127.0.0.1:9/clip.mp4"), QStringLiteral("small.dat")});
    EXPECT_EQ(exitStatus(), 2) << m_stderr.toStdString();
    EXPECT_TRUE(m_stderr.contains("Cannot create log file 'small.dat': File too large\n")) << m_stderr.toStdString();
}
