#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>

// A private virtual X display for one test, started on a free display number and
// stopped when the object goes. display() is empty when Xvfb is missing or did not start.
class XvfbServer {
public:
    XvfbServer()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return;
        // -displayfd: the server picks a free display and writes its number to stdout.
        m_server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("800x600x24")});
        if (!m_server.waitForStarted(5000))
            return;
        QByteArray number;
        while (!number.contains('\n') && m_server.waitForReadyRead(10000))
            number += m_server.readAllStandardOutput();
        if (number.contains('\n'))
            m_display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    }
    ~XvfbServer()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(5000)) {
                m_server.kill();
                m_server.waitForFinished(5000);
            }
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const QString& display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};
