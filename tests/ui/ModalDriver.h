#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

// Acts once on the first modal window of type T to open, from inside its modal
// loop, the way a user would answer it. Bounded: when none opens in time, the
// test fails and every modal window is cancelled so that the test ends.
// Lives on the test's stack; stops when destroyed.
template <typename T>
class ModalDriver {
public:
    explicit ModalDriver(std::function<void(T*)> act, int timeoutMs = 10000)
        : m_act(std::move(act))
        , m_deadline(timeoutMs)
    {
        m_poll.setInterval(5);
        QObject::connect(&m_poll, &QTimer::timeout, [this] { poll(); });
        m_poll.start();
    }

    bool acted() const { return m_acted; }

private:
    void poll()
    {
        if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget()); window && window->isVisible()) {
            // Keys go to the focus widget, and a window shown on a loaded machine
            // gets its activation and focus a little later: act once it has them
            // (or, where no window manager hands them out, after kActivationWaitMs).
            if (!m_seenVisible.isValid())
                m_seenVisible.start();
            const bool focused = window->isActiveWindow() && QApplication::focusWidget();
            if (!focused && !m_seenVisible.hasExpired(kActivationWaitMs))
                return;
            m_poll.stop();
            m_acted = true;
            m_act(window);
            return;
        }
        if (m_deadline.hasExpired()) {
            m_poll.stop();
            ADD_FAILURE() << "No modal " << T::staticMetaObject.className() << " opened in time";
            for (int i = 0; i < 16 && QApplication::activeModalWidget(); ++i) {
                QWidget* top = QApplication::activeModalWidget();
                if (auto* dialog = qobject_cast<QDialog*>(top))
                    dialog->done(QDialog::Rejected);
                top->hide();
            }
        }
    }

    static constexpr int kActivationWaitMs = 3000;

    std::function<void(T*)> m_act;
    QElapsedTimer m_seenVisible;
    QDeadlineTimer m_deadline;
    QTimer m_poll;
    bool m_acted = false;
};
