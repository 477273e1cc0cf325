#include "AfxMessageBox.h"

#include "RedactedUrl.h"
#include "Resource.h"

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

#include <iostream>

QString ApplicationName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

int AfxMessageBox(const std::string& message)
{
    const std::string text = zephyrscope::RedactedText(message);
    // stderr keeps the message for unattended runs, where no one reads the screen.
    std::cerr << text << std::endl;
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return IDOK;

    QMessageBox box(QMessageBox::Warning, ApplicationName(), QString::fromStdString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
    return IDOK;
}
