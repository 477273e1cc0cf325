#include "PlatformPlugins.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>

#include <string>
#include <vector>

QStringList AvailablePlatforms()
{
    QStringList folders;
    for (const QString& path : qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << path + QLatin1String("/platforms");
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM_PLUGIN_PATH"))
        folders << qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QLatin1String("/platforms");

    QStringList names;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& file : dir.entryList({QStringLiteral("*.so")}, QDir::Files)) {
            const QJsonObject meta = QPluginLoader(dir.filePath(file)).metaData().value(QLatin1String("MetaData")).toObject();
            for (const QJsonValue& key : meta.value(QLatin1String("Keys")).toArray())
                names << key.toString();
        }
    }
    return names;
}

QString RequestedPlatform(const std::vector<std::string>& arguments)
{
    QString name;
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-platform" || arguments[i] == "--platform")
            name = QString::fromStdString(arguments[i + 1]);
    }
    // A list ("wayland;xcb") is tried in turn by Qt, which falls back by itself.
    if (name.isEmpty() && !qEnvironmentVariable("QT_QPA_PLATFORM").contains(QLatin1Char(';')))
        name = qEnvironmentVariable("QT_QPA_PLATFORM");
    return name.section(QLatin1Char(':'), 0, 0);
}
