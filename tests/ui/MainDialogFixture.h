#pragma once

#include "CZephyrscopeDlg.h"
#include "FakeClock.h"
#include "FakePlayer.h"
#include "ModalDriver.h"

#include "SampleLine.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

// Runs the main dialog with a fake player and a fake clock, in a scratch folder
// that is the current directory for the test (default log names land there).
class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_previousDir = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
    }
    void TearDown() override { QDir::setCurrent(m_previousDir); }

    std::string path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)).toStdString(); }

    void makeDialog(std::vector<std::string> arguments = {"zephyrscope"})
    {
        dialog = std::make_unique<CZephyrscopeDlg>(
            [this](QWidget* area) {
                auto fake = std::make_unique<zephyrscope::testing::FakePlayer>();
                player = fake.get();
                videoArea = area;
                return fake;
            },
            std::move(arguments), clock);
    }

    // Runs the dialog modally and calls act on it from inside its loop. act must end
    // the dialog; if it does not, the test fails and the dialog is ended for it.
    int run(const std::function<void(CZephyrscopeDlg&)>& act, std::vector<std::string> arguments = {"zephyrscope"})
    {
        makeDialog(std::move(arguments));
        ModalDriver<CZephyrscopeDlg> driver([&](CZephyrscopeDlg* d) {
            act(*d);
            if (!d->isEnded()) {
                ADD_FAILURE() << "The main dialog is still running";
                d->quit(99);
            }
        });
        return dialog->DoModal();
    }

    static QByteArray contents(const std::string& file)
    {
        QFile f(QString::fromStdString(file));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static int lineCount(const std::string& file) { return static_cast<int>(contents(file).count('\n')); }

    QTemporaryDir m_dir;
    QString m_previousDir;
    zephyrscope::testing::FakeClock clock;
    std::unique_ptr<CZephyrscopeDlg> dialog;
    zephyrscope::testing::FakePlayer* player = nullptr;
    QWidget* videoArea = nullptr;
};

inline const std::string kHeader = zephyrscope::kLogHeader;

inline QPushButton* button(CZephyrscopeDlg& d, int id)
{
    return qobject_cast<QPushButton*>(d.GetDlgItem(id));
}

inline void click(CZephyrscopeDlg& d, int id)
{
    QTest::mouseClick(d.GetDlgItem(id), Qt::LeftButton);
}

// True when no one holds the file's lock, that is, the run has closed its log.
inline bool unlocked(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// The last n calls of a journal.
inline std::vector<std::string> tail(const std::vector<std::string>& journal, std::size_t n)
{
    return {journal.end() - static_cast<std::ptrdiff_t>(std::min(n, journal.size())), journal.end()};
}
