#include "SignalNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// The write end, for the handler; a handler can reach nothing else.
volatile sig_atomic_t s_writeEnd = -1;
// The first quit signal taken; the alarm ends the process with its status.
volatile sig_atomic_t s_quitSignal = 0;
// SIGHUP asks for the logs to be reopened, not for the run to end.
volatile sig_atomic_t s_hangUpReopens = 0;

constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction s_previous[std::size(kQuitSignals)];
struct sigaction s_previousAlarm;

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending signal; losing this one changes nothing.
    [[maybe_unused]] const ssize_t n = ::write(s_writeEnd, &byte, 1);
    if (signalNumber == SIGHUP && s_hangUpReopens) {
        errno = savedErrno;
        return;
    }
    if (s_quitSignal == 0) {
        s_quitSignal = signalNumber;
        ::alarm(SignalNotifier::kQuitGraceS);
    }
    errno = savedErrno;
}

void onQuitAlarm(int)
{
    // The quit path has not ended the process in time: the UI thread is stuck.
    // Its log needs no closing (each line went in with one write), so end here.
    static constexpr char kMessage[] = "zephyrscope: the quit path did not end in time; exiting\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    ::_exit(128 + s_quitSignal);
}

} // namespace

SignalNotifier::SignalNotifier(HangUp hangUp, QObject* parent)
    : QObject(parent)
{
    s_hangUpReopens = hangUp == HangUp::Reopens ? 1 : 0;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("Cannot create signal pipe: ") + std::strerror(errno));
    m_readEnd = fds[0];
    s_writeEnd = fds[1];

    m_notifier = std::make_unique<QSocketNotifier>(m_readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalNotifier::readPipe);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kQuitSignals); ++i)
        ::sigaction(kQuitSignals[i], &action, &s_previous[i]);

    struct sigaction alarmAction {};
    alarmAction.sa_handler = onQuitAlarm;
    sigemptyset(&alarmAction.sa_mask);
    ::sigaction(SIGALRM, &alarmAction, &s_previousAlarm);
}

SignalNotifier::~SignalNotifier()
{
    for (std::size_t i = 0; i < std::size(kQuitSignals); ++i)
        ::sigaction(kQuitSignals[i], &s_previous[i], nullptr);
    // The quit path has run: nothing is stuck, and the alarm must not end what follows.
    ::alarm(0);
    ::sigaction(SIGALRM, &s_previousAlarm, nullptr);
    m_notifier.reset();
    ::close(s_writeEnd);
    s_writeEnd = -1;
    ::close(m_readEnd);
}

void SignalNotifier::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_readEnd, &byte, 1) == 1)
        emit signalled(byte);
}
