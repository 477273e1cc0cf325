#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the UI thread. The handler
// only writes the signal's number into a pipe; the notifier reads it from the main loop.
//
// The handler also arms a 2-second alarm for a quit signal (not for a SIGHUP that
// asks for the logs to be reopened): should the UI thread be stuck in a call
// that does not return (a blocking open, a pipeline that will not stop), the alarm
// ends the process with the status the signal asks for. The log is written one whole
// line per write, so what it holds then is whole.
// One instance at a time; the previous handlers come back when it is destroyed.
class SignalNotifier final : public QObject {
    Q_OBJECT

public:
    // How long the quit path may take after a signal before the process is ended.
    static constexpr unsigned kQuitGraceS = 2;

    // What SIGHUP is: a quit signal (a terminal closed), or a request to reopen
    // the logs (logrotate's postrotate, for a run that never ends by itself),
    // which arms no alarm.
    enum class HangUp { Quits, Reopens };

    explicit SignalNotifier(HangUp hangUp = HangUp::Quits, QObject* parent = nullptr);
    ~SignalNotifier() override;

signals:
    void signalled(int signalNumber);

private:
    void readPipe();

    int m_readEnd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
