// zephyrscope_icon_export: writes the program's own icon, as the window shows it,
// into an icon theme folder for the desktop: DIR/NxN/apps/zephyrscope.png for
// each size N given. Run at build time; the icon is drawn in code, so the
// installed images come from the same drawing.
#include "MainFrameIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImageWriter>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt warns of a missing XDG_RUNTIME_DIR, which drawing to files does not use; at
// build time that would only look like a fault.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtDebugMsg && !message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
        std::fprintf(stderr, "zephyrscope_icon_export: %s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: zephyrscope_icon_export DIR SIZE...\n");
        return 64;
    }
    // Images only: no display is needed or wanted at build time.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietMessages);
    QGuiApplication application(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 16 || size > 512) {
            std::fprintf(stderr, "zephyrscope_icon_export: a size is 16 to 512 pixels, not '%s'\n", argv[i]);
            return 64;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString path = folder + QStringLiteral("/zephyrscope.png");
        QImageWriter writer(path, "png");
        if (!QDir().mkpath(folder) || !writer.write(MainFrameIconImage(size).toImage())) {
            std::fprintf(stderr, "Cannot write icon '%s': %s\n", path.toLocal8Bit().constData(),
                         writer.errorString().toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
