#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the UI thread. The handler only
// writes the signal's number into a pipe; the notifier reads it from the main loop.
// One instance at a time; the previous handlers come back when it is destroyed.
class SignalNotifier final : public QObject {
    Q_OBJECT

public:
    explicit SignalNotifier(QObject* parent = nullptr);
    ~SignalNotifier() override;

signals:
    void signalled(int signalNumber);

private:
    void readPipe();

    int m_readEnd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
