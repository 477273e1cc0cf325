// zephyrscope_screenshots OUTDIR CLIP
//
// Runs the program's main dialog on CLIP on a real X display (Xvfb will do) and
// saves pictures of it and of its three other dialogs, as the X server shows
// them, video included: main.png while the clip plays, about.png, open.png and,
// once the clip has ended, countdown.png. Ends when the countdown is answered.
#include "CAutoShutdownDlg.h"
#include "CZephyrscopeDlg.h"
#include "PlayerFactory.h"
#include "Resource.h"
#include "SystemClock.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

bool grab(QWidget* window, const QString& path)
{
    const QPixmap picture = window->screen()->grabWindow(window->winId());
    if (picture.isNull() || !picture.save(path, "PNG")) {
        std::fprintf(stderr, "Cannot write screenshot '%s'\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Waits for a modal dialog of type T to be on top, gives it settleMs to draw, then acts.
template <typename T>
void whenModal(int settleMs, std::function<void(T*)> act)
{
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, settleMs, act] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            QTimer::singleShot(settleMs, dialog, [dialog, act] { act(dialog); });
        }
    });
    poll->start(50);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb") || app.arguments().size() != 3) {
        std::fprintf(stderr, "usage: zephyrscope_screenshots OUTDIR CLIP   (on an X11 display)\n");
        return 2;
    }
    const QDir out(app.arguments().at(1));
    const std::string clip = app.arguments().at(2).toStdString();
    const std::string log = QDir::temp().filePath("zephyrscope-screenshots.dat").toStdString();

    zephyrscope::SystemClock clock;
    CZephyrscopeDlg dialog(&CreatePlayer, {"zephyrscope", clip, log}, clock);
    bool ok = true;

    // While the clip plays: the main dialog, then the About and Open dialogs over it.
    QTimer::singleShot(2500, &dialog, [&] {
        ok &= grab(&dialog, out.filePath("main.png"));
        whenModal<CDialog>(300, [&](CDialog* about) {
            ok &= grab(about, out.filePath("about.png"));
            static_cast<QPushButton*>(about->GetDlgItem(IDOK))->click();
        });
        static_cast<QPushButton*>(dialog.GetDlgItem(IDC_ABOUT))->click();

        whenModal<CDialog>(300, [&](CDialog* open) {
            static_cast<QLineEdit*>(open->GetDlgItem(IDC_URL))->setText("rtsp://127.0.0.1:8554/live");
            QTimer::singleShot(100, open, [&, open] {
                ok &= grab(open, out.filePath("open.png"));
                static_cast<QPushButton*>(open->GetDlgItem(IDCANCEL))->click();
            });
        });
        static_cast<QPushButton*>(dialog.GetDlgItem(IDC_OPEN))->click();

        // After the clip: the countdown, caught a few seconds in; its OK ends the run.
        whenModal<CAutoShutdownDlg>(3000, [&](CAutoShutdownDlg* countdown) {
            ok &= grab(countdown, out.filePath("countdown.png"));
            static_cast<QPushButton*>(countdown->GetDlgItem(IDOK))->click();
        });
    });

    dialog.DoModal();
    QFile::remove(QString::fromStdString(log));
    return ok ? 0 : 1;
}
