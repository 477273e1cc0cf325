#include "SignalNotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// The write end, for the handler; a handler can reach nothing else.
volatile sig_atomic_t s_writeEnd = -1;
struct sigaction s_previousInt;
struct sigaction s_previousTerm;

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a pending signal; losing this one changes nothing.
    [[maybe_unused]] const ssize_t n = ::write(s_writeEnd, &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalNotifier::SignalNotifier(QObject* parent)
    : QObject(parent)
{
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
    ::sigaction(SIGINT, &action, &s_previousInt);
    ::sigaction(SIGTERM, &action, &s_previousTerm);
}

SignalNotifier::~SignalNotifier()
{
    ::sigaction(SIGINT, &s_previousInt, nullptr);
    ::sigaction(SIGTERM, &s_previousTerm, nullptr);
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
